"""What the benchmark drivers share: figures from several runs, the rows of
scripts/bench.sh's table, and one Wine prefix kept up for a whole run.

A Row is one line of the table: what is measured, our runs and the
reference's runs (both measured in the same run of the benchmark), the
unit, and the target for the ratio ours / reference (medians).
"""
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, 'scripts'))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'e2e'))
import wineprefix  # noqa: E402  (scripts/wineprefix.py)

WINE_RUN = os.path.join(ROOT, 'scripts', 'wine-run.sh')


def figures(samples):
    """(minimum, median) of a list of numbers."""
    return min(samples), statistics.median(samples)


class Row:
    """ours, reference: lists of figures from several runs (or one figure);
    reference None for a row that stands alone. higher_is_better: the unit
    is a rate (MB/s), so minimum means the worst run. target: text such as
    "<= 1.3"; the ratio is ours / reference, of the medians."""

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

    def met(self):
        """True, False, or None when the row has no target."""
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
        return [self.measure, show(self.ours), reference,
                '-' if ratio is None else '%.2f' % ratio,
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


class WinePrefix:
    """One prefix (a clone of the build tree's template) whose wineserver
    and services stay up for the whole benchmark run, so that no timed
    program pays for Wine's start-up and no service inherits a driver's
    pipe. Stopped with wineserver -k at the end."""

    def __init__(self, prefix, display=None):
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG='-all',
                        WINEDLLOVERRIDES='mscoree,mshtml=')
        if display:
            self.env['DISPLAY'] = ':' + display
        wineprefix.make(prefix)

    def __enter__(self):
        subprocess.run(['wineserver', '-p'], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(['wine', 'wineboot'], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=180)
        return self

    def __exit__(self, *exc):
        subprocess.run(['wineserver', '-k'], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(['wineserver', '-w'], env=self.env, timeout=60)
        return False
