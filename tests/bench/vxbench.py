"""What the benchmark drivers share: running a benchmark program under Wine
and reading its figures (and, held, its peak memory), figures from several
runs, and the rows of scripts/bench.sh's table.

A Row is one line of the table: what is measured, our runs and the
reference's runs (both measured in the same run of the benchmark), the
unit, and the target for the ratio ours / reference (medians).
"""
import os
import re
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'e2e'))
from vxe2e import wine_path  # noqa: E402,F401  (for the drivers)

WINE_RUN = os.path.join(ROOT, 'scripts', 'wine-run.sh')
MIB = 1024 * 1024


def standalone_env(exe):
    """The environment of a driver run alone: the Wine prefix
    wineprefix-bench beside the program unless WINEPREFIX is set."""
    env = dict(os.environ)
    env.setdefault('WINEPREFIX', os.path.join(os.path.dirname(os.path.abspath(exe)),
                                              'wineprefix-bench'))
    return env


def values(out):
    """The key=value figures a benchmark program prints, as text."""
    return dict(re.findall(r'(\w+)=([\d.]+)', out))


def run(cmd, env, timeout=300):
    """Runs a benchmark program to its end: (its figures, its output)."""
    out = subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                         timeout=timeout).stdout
    return values(out), out


def _status_kb(pid, field):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith(field + ':'):
                return int(line.split()[1])
    return 0


def run_held(cmd, env, timeout=120):
    """Runs a benchmark program that, given --hold, prints "before" and
    "after" around what it measures and waits for a line at each: (its
    figures, its peak memory growth in bytes, its output line).

    Wine's own memory counters stay near zero, so the growth of the Linux
    process's resident high-water mark over its size before the work stands
    for the peak private memory (every byte allocated is written, so it is
    resident).
    """
    p = subprocess.Popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline().strip() == 'before'
        before = _status_kb(p.pid, 'VmRSS')
        p.stdin.write('\n')
        p.stdin.flush()
        out = p.stdout.readline()
        assert p.stdout.readline().strip() == 'after'
        peak = _status_kb(p.pid, 'VmHWM')
        p.stdin.write('\n')
        p.stdin.flush()
    finally:
        p.wait(timeout=timeout)
    return values(out), (peak - before) * 1024, out


class Row:
    """ours, reference: lists of figures from several runs (or one figure);
    reference None for a row that stands alone. higher_is_better: the unit
    is a rate (MB/s), so minimum means the worst run. target: text such as
    "<= 1.3"; the ratio is ours / reference, of the medians. A target whose
    limit carries a sign ("<= +48") bounds the difference ours - reference
    of the medians instead, in the row's unit, and the ratio column shows
    that difference."""

    def __init__(self, measure, ours, reference=None, unit='s', target='',
                 reference_name='', higher_is_better=False):
        self.measure = measure
        self.ours = ours if isinstance(ours, list) else [ours]
        self.reference = (reference if isinstance(reference, list) or reference is None
                          else [reference])
        self.unit = unit
        self.target = target
        self.reference_name = reference_name
        self.higher_is_better = higher_is_better

    def ratio(self):
        if not self.reference:
            return None
        return statistics.median(self.ours) / statistics.median(self.reference)

    def is_difference(self):
        return bool(self.reference and self.target) and self.target.split()[-1][:1] in '+-'

    def difference(self):
        return statistics.median(self.ours) - statistics.median(self.reference)

    def met(self):
        """True, False, or None when the row has no target."""
        if self.is_difference():
            value = self.difference()
        else:
            value = self.ratio() if self.reference else statistics.median(self.ours)
        if not self.target or value is None:
            return None
        op, limit = self.target.split()
        return value <= float(limit) if op == '<=' else value >= float(limit)

    def cells(self):
        def show(samples):
            if not samples:
                return '-'
            best = max(samples) if self.higher_is_better else min(samples)
            med = statistics.median(samples)
            if len(samples) == 1:
                return '%s %s' % (number(med), self.unit)
            return '%s / %s %s' % (number(best), number(med), self.unit)
        ratio = self.ratio()
        verdict = {True: 'met', False: 'MISSED', None: ''}[self.met()]
        reference = show(self.reference)
        if self.reference_name:
            reference = '%s: %s' % (self.reference_name, reference)
        if self.is_difference():
            shown = '%+.1f %s' % (self.difference(), self.unit)
        else:
            shown = '-' if ratio is None else '%.2f' % ratio
        return [self.measure, show(self.ours), reference, shown,
                ('%s %s' % (self.target, verdict)).strip() or '-']


def number(x):
    if x == 0:
        return '0'
    if abs(x) >= 100:
        return '%.0f' % x
    if abs(x) >= 10:
        return '%.1f' % x
    if abs(x) >= 1:
        return '%.2f' % x
    return '%.3g' % x


def table(rows):
    head = ['measure', 'ours (best / median)', 'reference (best / median)', 'ratio', 'target']
    lines = [head] + [r.cells() for r in rows]
    widths = [max(len(line[i]) for line in lines) for i in range(len(head))]
    out = []
    for n, line in enumerate(lines):
        out.append('| ' + ' | '.join(c.ljust(w) for c, w in zip(line, widths)) + ' |')
        if n == 0:
            out.append('|' + '|'.join('-' * (w + 2) for w in widths) + '|')
    return '\n'.join(out)
