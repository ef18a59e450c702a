#!/usr/bin/env python3
"""How time and memory grow with the number of files: makes bare MFTs (as
copied out of a volume) of --files files each, in folders of 1,000 below the
root, and prints qst's wall time, CPU time and peak memory for each, per
file, so that 1M and 10M files can be set side by side.

    bench/bare_mft.py [--files 1000000 10000000] [--qst build/qst] [--keep DIR]

A 10M-file MFT takes 10 GB of disk; --keep leaves the files in DIR to be
measured again without making them anew.
"""
import argparse
import os
import shutil
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from measure import measure  # noqa: E402

RECORD = 1024
ROOT = 5
FIRST_USER = 16
PER_FOLDER = 1000
# 2024-01-01T00:00:00Z as a FILETIME.
BASE_TIME = 133485408000000000


def record(number, parent, name, folder, time):
    """A whole MFT record: $STANDARD_INFORMATION and one $FILE_NAME, with
    its update sequence applied."""
    units = name.encode("utf-16-le")
    r = bytearray(RECORD)
    r[0:4] = b"FILE"
    struct.pack_into("<HHQHHHHII", r, 4, 0x30, 3, 0, 1, 1, 0x38, 1 | (2 if folder else 0), 0, RECORD)
    struct.pack_into("<I", r, 0x2C, number)
    at = 0x38
    si = struct.pack("<QQQQ", time, time + 1, time + 2, time + 3) + bytes(40)
    struct.pack_into("<IIBBHHHIHBB", r, at, 0x10, 24 + len(si), 0, 0, 0, 0, 0, len(si), 24, 0, 0)
    r[at + 24:at + 24 + len(si)] = si
    at += 24 + len(si)
    value = struct.pack("<QQQQQQQII", parent | 1 << 48, time, time, time, time, 0, 0,
                        0x10000000 if folder else 0x20, 0)
    value += struct.pack("<BB", len(name), 1) + units
    length = (24 + len(value) + 7) // 8 * 8
    struct.pack_into("<IIBBHHHIHBB", r, at, 0x30, length, 0, 0, 0, 0, 1, len(value), 24, 0, 0)
    r[at + 24:at + 24 + len(value)] = value
    at += length
    struct.pack_into("<I", r, at, 0xFFFFFFFF)
    struct.pack_into("<I", r, 0x18, at + 8)
    # Update sequence number 1, the words it covers kept in the array.
    struct.pack_into("<H", r, 0x30, 1)
    for i in (1, 2):
        tail = i * 512 - 2
        r[0x30 + 2 * i:0x32 + 2 * i] = r[tail:tail + 2]
        struct.pack_into("<H", r, tail, 1)
    return bytes(r)


def make_mft(path, files):
    with open(path, "wb") as out:
        out.write(record(0, ROOT, "$MFT", False, BASE_TIME))
        out.write(bytes(RECORD) * (ROOT - 1))
        out.write(record(ROOT, ROOT, ".", True, BASE_TIME))
        out.write(bytes(RECORD) * (FIRST_USER - ROOT - 1))
        number = FIRST_USER
        made = 0
        folder = 0
        while made < files:
            folder_record = number
            out.write(record(number, ROOT, f"d{folder:05d}", True, BASE_TIME + number))
            number += 1
            chunk = []
            for i in range(min(PER_FOLDER, files - made)):
                chunk.append(record(number, folder_record, f"file-{i:04d}.txt", False,
                                    BASE_TIME + number * 10000))
                number += 1
            out.write(b"".join(chunk))
            made += len(chunk)
            folder += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, nargs="+", default=[1000000, 10000000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--qst", default=os.path.join(os.path.dirname(__file__), "..", "build", "qst"))
    parser.add_argument("--keep", help="make the MFTs here and leave them")
    args = parser.parse_args()

    work = args.keep or tempfile.mkdtemp(prefix="qst_bench_mft_")
    os.makedirs(work, exist_ok=True)
    try:
        print(f"{'files':>10}{'wall s':>9}{'cpu s':>9}{'us/file':>9}{'peak RSS KiB':>14}"
              f"{'B/file':>8}{'lines':>10}")
        for files in args.files:
            path = os.path.join(work, f"mft-{files}.bin")
            if not os.path.exists(path):
                print(f"making {path} ...", file=sys.stderr)
                make_mft(path, files)
            wall, cpu, rss, lines = measure([args.qst, "-d", path, "-e", "-u", "-r", "C:\\"],
                                            args.runs)
            print(f"{files:>10}{wall:>9.2f}{cpu:>9.2f}{wall / files * 1e6:>9.3f}{rss:>14}"
                  f"{rss * 1024 / files:>8.1f}{lines:>10}")
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
