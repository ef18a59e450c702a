#!/usr/bin/env python3
"""Reads a 64 MiB $LogFile full of records: listed whole
(`qst -d IMG --logfile=LOG --logfile-only --csv`), read and joined to one
path (`qst -d IMG --logfile=LOG -e -u PATH`), and joined to every file of
an image (`qst -d IMG --logfile=LOG -e -u -r C:\\`, and `-L`, the image's own
log) against `-e -u` alone; prints wall time, CPU time and peak memory side
by side.

    bench/logfile.py --image IMG [--records-of N] [--size-mib 64] [--qst build/qst]

IMG is an image made by bench/image_walk.py (or any NTFS image with 4 KiB
clusters and 1 KiB records). The log is built here, as NTFS writes one:
two restart pages, two tail pages, record pages protected by update
sequence numbers, each record a change of a file's $STANDARD_INFORMATION
with the times before and after it, aimed at the records 64 to N, every
64th a whole-record image as a file is made; records go on over pages.
"""
import argparse
import os
import random
import shutil
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from measure import measure_interleaved, print_table  # noqa: E402

PAGE = 4096
DATA = 0x40
BITS = 36  # sequence number bits of an LSN: offsets up to 2^31


def protect(b, at, array, usn):
    struct.pack_into("<HH", b, at + 4, array, PAGE // 512 + 1)
    struct.pack_into("<H", b, at + array, usn)
    for i in range(1, PAGE // 512 + 1):
        tail = at + i * 512 - 2
        b[at + array + 2 * i:at + array + 2 * i + 2] = b[tail:tail + 2]
        struct.pack_into("<H", b, tail, usn)


def client(redo, undo, redo_data, undo_data, record):
    c = bytearray(0x28)
    padded = len(redo_data) + (-len(redo_data)) % 8
    struct.pack_into("<HHHHHHHHHHHHQ", c, 0, redo, undo, 0x28, len(redo_data), 0x28 + padded,
                     len(undo_data), 0, 1, 0x38, 0x18, record % 4 * 2, 0, record // 4)
    return bytes(c) + redo_data + bytes(padded - len(redo_data)) + undo_data


def image(sequence, times):
    v = bytearray(0x38 + 0x18 + 0x48)
    v[0:4] = b"FILE"
    struct.pack_into("<H", v, 0x10, sequence)
    struct.pack_into("<H", v, 0x14, 0x38)
    struct.pack_into("<IIQIH", v, 0x38, 0x10, 0x60, 0, 0x48, 0x18)
    v[0x38 + 0x18:0x38 + 0x38] = times
    return bytes(v)


def make_log(path, size, records_of):
    b = bytearray(b"\xff" * size)
    at = 4 * PAGE + DATA
    rng = random.Random(1)
    base = 130000000000000000
    last = 0
    count = 0
    while True:
        record = rng.randrange(64, records_of)
        t0 = base + rng.randrange(10 ** 15)
        before = struct.pack("<4Q", t0, t0 + 10 ** 9, t0 + 10 ** 9, t0 + 2 * 10 ** 9)
        after = struct.pack("<4Q", t0, t0 + 3 * 10 ** 9, t0 + 3 * 10 ** 9, t0 + 3 * 10 ** 9)
        if count % 64 == 0:
            data = client(2, 0, image(1, after), b"", record)
        else:
            data = client(7, 7, after, before, record)
        length = 0x30 + len(data)
        if at % PAGE + 0x30 > PAGE:
            at = (at + PAGE - 1) // PAGE * PAGE
        if at % PAGE == 0:
            at += DATA
        if at + length + PAGE >= size:
            break
        lsn = (1 << (64 - BITS)) | (at >> 3)
        rec = struct.pack("<QQQIHHIIH6x", lsn, last, last, len(data), 0, 0, 1, count & 0xFFFF,
                          1 if at % PAGE + length > PAGE else 0) + data
        i = 0
        while i < len(rec):
            if at % PAGE == 0:
                at += DATA
            page = at // PAGE * PAGE
            if b[page:page + 4] != b"RCRD":
                b[page:page + PAGE] = bytes(PAGE)
                b[page:page + 4] = b"RCRD"
            n = min(len(rec) - i, PAGE - at % PAGE)
            b[at:at + n] = rec[i:i + n]
            struct.pack_into("<Q", b, page + 8, lsn)
            i += n
            at += n
            if i == len(rec):
                struct.pack_into("<Q", b, page + 0x20, lsn)
        at = (at + 7) // 8 * 8
        last = lsn
        count += 1
    for r in range(2):
        p = r * PAGE
        b[p:p + PAGE] = bytes(PAGE)
        b[p:p + 4] = b"RSTR"
        struct.pack_into("<IIHhh", b, p + 0x10, PAGE, PAGE, 0x30, 1, 1)
        struct.pack_into("<QHHHHIHHQIHH", b, p + 0x30, last, 1, 0xFFFF, 0, 2, BITS, 0xE0, 0x40,
                         size, 0, 0x30, DATA)
        protect(b, p, 0x1E, r + 1)
    for p in range(4 * PAGE, size, PAGE):
        if b[p:p + 4] == b"RCRD":
            protect(b, p, 0x28, 7)
    with open(path, "wb") as f:
        f.write(b)
    return count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--image", required=True)
    parser.add_argument("--records-of", type=int, default=1000000,
                        help="the log's records change MFT records 64 to this")
    parser.add_argument("--size-mib", type=int, default=64)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--qst", default=os.path.join(os.path.dirname(__file__), "..", "build", "qst"))
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="qst_bench_log_")
    try:
        log = os.path.join(work, "LogFile")
        records = make_log(log, args.size_mib << 20, args.records_of)
        print(f"a {args.size_mib} MiB log of {records} records", file=sys.stderr)
        qst, image = args.qst, args.image
        peers = [
            ("qst --logfile=LOG --logfile-only --csv",
             [qst, "-d", image, "--logfile=" + log, "--logfile-only", "--csv"]),
            ("qst --logfile=LOG -e -u one path",
             [qst, "-d", image, "--logfile=" + log, "-e", "-u", "C:\\big\\entry-000000.dat"]),
            ("qst -e -u one path", [qst, "-d", image, "-e", "-u", "C:\\big\\entry-000000.dat"]),
            ("qst -e -u -r C:\\", [qst, "-d", image, "-e", "-u", "-r", "C:\\"]),
            ("qst -L -e -u -r C:\\", [qst, "-d", image, "-L", "-e", "-u", "-r", "C:\\"]),
            ("qst --logfile=LOG -e -u -r C:\\",
             [qst, "-d", image, "--logfile=" + log, "-e", "-u", "-r", "C:\\"]),
        ]
        results = measure_interleaved([command for _, command in peers], args.runs, to_null=True)
        print_table(list(zip([name for name, _ in peers], results)), records, "qst -e -u -r C:\\")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
