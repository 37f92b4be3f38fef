#!/usr/bin/env python3
"""Builds the zip archives that the extraction tests read.

    make_zip_fixtures.py OUTDIR

Well-formed archives come from Python's zipfile and from Info-ZIP's zip;
corrupt, encrypted and hostile ones are written byte by byte by ZipBuilder,
which lets every field of the local and central headers differ. Standard
library only.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

# 2021-03-04 05:06:08 as an MS-DOS date and time.
DOS_2021 = ((2021 - 1980) << 25) | (3 << 21) | (4 << 16) | (5 << 11) | (6 << 5) | (8 // 2)
DATE_2021 = (2021, 3, 4, 5, 6, 8)


def deflate(data):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def ut_block(flags, *times):
    body = bytes([flags]) + b"".join(struct.pack("<i", t) for t in times)
    return b"UT" + struct.pack("<H", len(body)) + body


def other_block(tag, size, fill=0xAB):
    return struct.pack("<HH", tag, size) + bytes([fill]) * size


# Traditional PKWARE encryption, for archives whose items the tests decipher.
_CRC_TABLE = []
for _n in range(256):
    _c = _n
    for _ in range(8):
        _c = (_c >> 1) ^ 0xEDB88320 if _c & 1 else _c >> 1
    _CRC_TABLE.append(_c)


class ZipCrypto:
    def __init__(self, password=b""):
        self.k = [305419896, 591751049, 878082192]
        for b in password:
            self._update(b)

    def _crc(self, crc, b):
        return _CRC_TABLE[(crc ^ b) & 0xFF] ^ (crc >> 8)

    def _update(self, b):
        k0 = self._crc(self.k[0], b)
        k1 = ((self.k[1] + (k0 & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k2 = self._crc(self.k[2], k1 >> 24)
        self.k = [k0, k1, k2]

    def encrypt(self, data):
        out = bytearray()
        for p in data:
            t = (self.k[2] & 0xFFFF) | 2
            out.append(p ^ (((t * (t ^ 1)) >> 8) & 0xFF))
            self._update(p)
        return bytes(out)


def encrypt_item(plain_payload, check_byte):
    """12-byte header (11 fixed filler bytes and the check byte) + payload."""
    header = bytes(range(1, 12)) + bytes([check_byte])
    return ZipCrypto(b"").encrypt(header + plain_payload)


class ZipBuilder:
    """Writes archives field by field. Each item is a dict; missing keys take
    consistent defaults, keys prefixed local_ override the local header only."""

    def __init__(self):
        self.items = []

    def add(self, name, data=b"", **kw):
        if isinstance(name, str):
            name = name.encode("utf-8")
        item = dict(name=name, data=data, method=0, flags=0, dos=DOS_2021,
                    made_by=(3 << 8) | 20, ext_attr=(0o100644 << 16), extra=b"",
                    central_extra=b"")
        item.update(kw)
        if "payload" not in item:
            item["payload"] = deflate(data) if item["method"] == 8 else data
        item.setdefault("crc", zlib.crc32(data) & 0xFFFFFFFF)
        item.setdefault("usize", len(data))
        item.setdefault("csize", len(item["payload"]))
        self.items.append(item)
        return item

    def build(self, corrupt_central=None, count=None, zip64_count=None, central_padding=b""):
        out = bytearray()
        central = bytearray()
        for i, it in enumerate(self.items):
            offset = len(out)
            lname = it.get("local_name", it["name"])
            out += struct.pack(
                "<IHHHIIIIHH",
                it.get("local_sig", 0x04034B50), 20, it.get("local_flags", it["flags"]),
                it.get("local_method", it["method"]), it.get("local_dos", it["dos"]),
                it.get("local_crc", it["crc"]), it.get("local_csize", it["csize"]),
                it.get("local_usize", it["usize"]), len(lname), len(it["extra"]))
            out += lname + it["extra"] + it["payload"]
            if it["flags"] & 8:
                out += struct.pack("<IIII", 0x08074B50, it["crc"], it["csize"], it["usize"])
            record = struct.pack(
                "<IHHHHIIIIHHHHHII",
                0x02014B50, it["made_by"], 20, it["flags"], it["method"], it["dos"],
                it["crc"], it["csize"], it["usize"], len(it["name"]),
                len(it["central_extra"]), 0, 0, 0, it["ext_attr"], offset)
            record = bytearray(record + it["name"] + it["central_extra"])
            if corrupt_central == i:
                record[0:4] = b"XXXX"
            central += record
        central += central_padding
        cd_offset = len(out)
        out += central
        n = len(self.items) if count is None else count
        if zip64_count is not None:
            # A zip64 end record and its locator; the classic record then
            # only points at them.
            record_offset = len(out)
            out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, zip64_count,
                               zip64_count, len(central), cd_offset)
            out += struct.pack("<IIQI", 0x07064B50, 0, record_offset, 1)
            out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF,
                               0xFFFFFFFF, 0)
            return bytes(out)
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, n, n, len(central), cd_offset, 0)
        return bytes(out)


def dos_attr_zipinfo(name, attr, date=DATE_2021):
    zi = zipfile.ZipInfo(name, date)
    zi.create_system = 0
    zi.external_attr = attr
    return zi


def unix_zipinfo(name, mode, date=DATE_2021, method=zipfile.ZIP_DEFLATED):
    zi = zipfile.ZipInfo(name, date)
    zi.create_system = 3
    zi.external_attr = mode << 16
    zi.compress_type = method
    return zi


def payload(size, seed=7):
    # Compressible but not trivial: a deterministic mix of text and noise.
    out = bytearray()
    x = seed
    while len(out) < size:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out += b"line %d of the runtime %08x\n" % (len(out), x)
    return bytes(out[:size])


def write(outdir, name, data):
    with open(os.path.join(outdir, name), "wb") as f:
        f.write(data)


def make_all(outdir):
    os.makedirs(outdir, exist_ok=True)

    # An archive with no items: only the end record, at offset 0.
    with zipfile.ZipFile(os.path.join(outdir, "empty.zip"), "w"):
        pass
    write(outdir, "not_a_zip.zip", b"This is a text file, not an archive.\n" * 20)

    # Ordinary items from Python's zipfile, DOS and Unix hosts.
    with zipfile.ZipFile(os.path.join(outdir, "basic.zip"), "w") as z:
        z.writestr(unix_zipinfo("bin/", 0o40755, method=zipfile.ZIP_STORED), b"")
        z.writestr(unix_zipinfo("bin/java.txt", 0o100644), b"java runtime text\n" * 50)
        z.writestr(unix_zipinfo("lib/ro_unix.txt", 0o100444), b"read-only from unix\n")
        zi = dos_attr_zipinfo("ro_dos.txt", 0x01)
        zi.compress_type = zipfile.ZIP_STORED
        z.writestr(zi, b"read-only from dos\n")
        z.writestr(dos_attr_zipinfo("hidden.txt", 0x02 | 0x20), b"hidden\n")
        z.writestr(unix_zipinfo("empty.txt", 0o100644), b"")
        z.writestr(unix_zipinfo("big.bin", 0o100644), payload(200000))
        z.writestr(unix_zipinfo("stored_big.bin", 0o100644, method=zipfile.ZIP_STORED),
                   payload(40000, seed=3))
        z.writestr(unix_zipinfo("D:\\dir\\x.txt", 0o100644), b"drive\n")
        z.writestr(unix_zipinfo("/etc/x", 0o100644), b"etc\n")
        z.writestr(unix_zipinfo("a/b/../lib/x", 0o100644), b"dotdot\n")
        z.writestr(unix_zipinfo("notadir/", 0o100644, method=zipfile.ZIP_STORED), b"")

    # Extended timestamps in the local extra field.
    b = ZipBuilder()
    b.add("ut_write_only.txt", b"1", extra=ut_block(1, 1600000000))
    b.add("ut_zero.txt", b"2", extra=ut_block(1, 0))
    b.add("ut_minus_one.txt", b"3", extra=ut_block(1, -1))
    b.add("ut_after_large.txt", b"4",
          extra=other_block(0xCAFE, 300) + ut_block(7, 1500000000, 1500000100, 1500000200))
    # Flags 7, but the field ends after the write time.
    b.add("ut_truncated.txt", b"5", extra=ut_block(7, 1600000000)[:4 + 1 + 4])
    # Flags 3 but a block holding only the write time, then another block
    # whose bytes must not be taken for the access time.
    blk = b"UT" + struct.pack("<H", 5) + bytes([3]) + struct.pack("<i", 1600000000)
    b.add("ut_block_bound.txt", b"6", extra=blk + other_block(0x7777, 8, 0x11))
    b.add("dos_invalid.txt", b"7", dos=0)
    b.add("dos_invalid_ut.txt", b"8", dos=0, extra=ut_block(1, 1600000000))
    b.add("ut_second_ignored.txt", b"9",
          extra=ut_block(1, 1400000000) + ut_block(1, 1300000000))
    # The central directory's extra field carries a different time; only the
    # local one counts.
    b.add("ut_local_wins.txt", b"10", extra=ut_block(1, 1400000000),
          central_extra=ut_block(1, 1000000000))
    write(outdir, "times.zip", b.build())

    # Encrypted items: the empty password verifies for the first two.
    b = ZipBuilder()
    plain = b"secret runtime bytes\n" * 30
    crc = zlib.crc32(plain)
    b.add("enc_stored.txt", plain, flags=1,
          payload=encrypt_item(plain, crc >> 24))
    defl = deflate(plain)
    b.add("enc_deflated_dd.txt", plain, method=8, flags=1 | 8,
          payload=encrypt_item(defl, (DOS_2021 >> 8) & 0xFF),
          local_crc=0, local_csize=0, local_usize=0)
    wrong = ((crc >> 24) + 1) & 0xFF
    b.add("enc_wrong.txt", plain, flags=1, payload=encrypt_item(plain, wrong))
    write(outdir, "encrypted.zip", b.build())

    # Local headers that disagree with the central record, and other faults.
    b = ZipBuilder()
    b.add("bad_signature.txt", b"a", local_sig=0x04034B51)
    b.add("bad_name_length.txt", b"b", local_name=b"bad_name_length.tx")
    b.add("bad_local_crc.txt", b"c", local_crc=0x12345678)
    b.add("bad_method.txt", b"d", local_method=8)
    b.add("bzip2.txt", b"e" * 100, method=12, payload=b"BZh9" + b"\x00" * 20)
    b.add("crc_mismatch.txt", b"payload with a wrong crc\n", crc=0xDEADBEEF)
    b.add("good.txt", b"good\n")
    b.add("stored_short.txt", b"only ten b", usize=20)
    b.add("deflate_broken.txt", b"x" * 1000, method=8, payload=b"\xff\xff\xff\xff" * 4)
    write(outdir, "corrupt.zip", b.build())

    # A local extra field that runs past the end of the file.
    b = ZipBuilder()
    b.add("short_extra.txt", b"g")
    raw = bytearray(b.build())
    struct.pack_into("<H", raw, 28, 0xFFF0)  # local extra length of item 0
    write(outdir, "extra_past_end.zip", bytes(raw))

    # The second central record is damaged; three items are counted.
    b = ZipBuilder()
    b.add("first.txt", b"first\n")
    b.add("second.txt", b"second\n")
    b.add("third.txt", b"third\n")
    write(outdir, "damaged_central.zip", b.build(corrupt_central=1))
    # The end record counts four items; the directory holds three.
    write(outdir, "truncated_central.zip", b.build(count=4))
    # A zip64 end record that claims three billion items over a directory of
    # one record and 92 bytes of zeros: room for three records at most.
    b = ZipBuilder()
    b.add("real.txt", b"real\n")
    write(outdir, "zip64_billions.zip", b.build(zip64_count=3000000000, central_padding=bytes(92)))

    # Names that clean to something that still climbs, and other hostile ones.
    b = ZipBuilder()
    hostile = [
        "../evil1.txt", "x:/../evil2.txt", "a/../../evil3.txt", "sub/..", "sub\\..",
        "..\\evil4.txt", "sub/.../evil5.txt", "sub/.. /evil6.txt", "/../evil7.txt",
        "C:..\\evil8.txt", "..", "../evildir/",
    ]
    for n in hostile:
        if n.endswith("/"):
            b.add(n, b"", ext_attr=(0o40755 << 16) | 0x10)
        else:
            b.add(n, b"evil\n")
    b.add(b"safe.txt\x00/../../evil9.txt", b"nul\n")
    b.add("ok/inside.txt", b"inside\n")
    b.add("ok/./dot.txt", b"dot\n")
    b.add("a" * 300, b"long raw name\n")
    b.add("b" * 260, b"raw name of 260 bytes\n")
    b.add("c" * 259, b"raw name of 259 bytes\n")
    write(outdir, "hostile.zip", b.build())

    # UTF-8 names with and without general-purpose bit 11.
    b = ZipBuilder()
    b.add("привет/файл.txt", b"utf8 without bit 11\n")
    b.add("日本/テスト.txt", b"utf8 with bit 11\n", flags=0x800)
    b.add(b"bad\xff\xfeutf8.txt", b"invalid bytes\n")
    write(outdir, "names.zip", b.build())

    # Info-ZIP's zip: Unix host, extended timestamps, folder items.
    zipexe = shutil.which("zip")
    if zipexe:
        with tempfile.TemporaryDirectory() as tmp:
            tree = os.path.join(tmp, "tree")
            os.makedirs(os.path.join(tree, "jre", "bin"))
            with open(os.path.join(tree, "jre", "bin", "java.exe"), "wb") as f:
                f.write(payload(70000, seed=11))
            with open(os.path.join(tree, "jre", "release"), "wb") as f:
                f.write(b"JAVA_VERSION=\"17\"\n")
            os.utime(os.path.join(tree, "jre", "release"), (1500000000, 1600000000))
            target = os.path.join(os.path.abspath(outdir), "infozip.zip")
            if os.path.exists(target):
                os.remove(target)
            subprocess.run([zipexe, "-q", "-r", "-6", target, "jre"], cwd=tree, check=True)


if __name__ == "__main__":
    make_all(sys.argv[1])
