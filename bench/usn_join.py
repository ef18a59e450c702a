#!/usr/bin/env python3
"""Times `qst -d IMG -e -u -r C:\\` with and without -U on an NTFS image whose
change journal is full (32 MiB of version 3 records after a sparse start,
four per file, as Windows writes them for a file made, written, closed and
its times set), and `qst --journal-only` listing the same journal. (The
Sleuth Kit 4.11's usnjls prints no record of these journals, nor of a real
Windows one, so it cannot stand beside them.)

    bench/usn_join.py [--files 100000] [--journal-mb 32] [--qst build/qst] [--image IMG]

The image is made with mkntfs and filled through an ntfs-3g mount (root and
/dev/fuse); the journal is written as the named stream `$J` of a file
`$UsnJrnl` (ntfs-3g's streams_interface=windows) whose `$FILE_NAME` is then
patched to stand in `$Extend`. --image reuses an image made by
bench/image_walk.py (the journal is added to a copy). Needs the Debian
packages sleuthkit (istat, ifind) and time.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from image_walk import make_image  # noqa: E402
from measure import measure, print_table  # noqa: E402

T0 = 133500000000000000  # 2024-01-17, as a FILETIME


def v3_record(file_ref, usn, time, reason, name):
    encoded = name.encode("utf-16-le")
    length = (0x4C + len(encoded) + 7) // 8 * 8
    r = bytearray(length)
    struct.pack_into("<IHH", r, 0, length, 3, 0)
    struct.pack_into("<Q", r, 0x08, file_ref)
    struct.pack_into("<Q", r, 0x18, 5 | 5 << 48)
    struct.pack_into("<QQIIIIHH", r, 0x28, usn, time, reason, 0, 0, 0x20, len(encoded), 0x4C)
    r[0x4C:0x4C + len(encoded)] = encoded
    return bytes(r)


def journal_bytes(records, size):
    """Records of files 64.. in pages: made, written and closed, times set."""
    out = bytearray()
    usn = 0
    reasons = (0x100, 0x80000102, 0x8000, 0x80008000)
    i = 0
    while len(out) < size:
        record = 64 + (i // 4) % records
        r = v3_record(record | 1 << 48, usn, T0 + i * 10000, reasons[i % 4], f"file-{record}.txt")
        if len(out) % 4096 + len(r) > 4096:
            out += bytes(4096 - len(out) % 4096)
        out += r
        usn += len(r)
        i += 1
    out += bytes((4096 - len(out) % 4096) % 4096)
    return bytes(out), i


def add_journal(image, files, size):
    mount = tempfile.mkdtemp(prefix="qst_usn_mnt_")
    data, count = journal_bytes(files, size)
    subprocess.run(["ntfs-3g", "-o", "streams_interface=windows", image, mount], check=True)
    try:
        path = os.path.join(mount, "$UsnJrnl")
        open(path, "wb").close()
        with open(path + ":$J", "wb") as stream:
            stream.seek(64 << 20)  # the freed start of a journal that wrapped
            stream.write(data)
    finally:
        subprocess.run(["umount", mount], check=True)
        os.rmdir(mount)
    # The file's $FILE_NAME: its parent becomes $Extend (record 11).
    inode = subprocess.run(["ifind", "-n", "$UsnJrnl", image], capture_output=True, text=True,
                           check=True).stdout.split()[0]
    # Where the record lies: the MFT's clusters in order, as istat lists them.
    listing = subprocess.run(["istat", image, "0"], capture_output=True, text=True,
                             check=True).stdout
    data = listing[listing.index("Type: $DATA"):].split("\n", 1)[1]
    clusters = [int(c) for line in data.splitlines() if line and line[0].isdigit()
                for c in line.split()]
    with open(image, "r+b") as f:
        boot = f.read(512)
        cluster = struct.unpack_from("<H", boot, 11)[0] * boot[13]
        offset = int(inode) * 1024
        at = clusters[offset // cluster] * cluster + offset % cluster
        f.seek(at)
        record = bytearray(f.read(1024))
        if record[:4] != b"FILE":
            raise SystemExit(f"record {inode} not found at {at}")
        pos = struct.unpack_from("<H", record, 20)[0]
        while struct.unpack_from("<I", record, pos)[0] != 0x30:
            length = struct.unpack_from("<I", record, pos + 4)[0]
            if length == 0 or pos + length >= 1024:
                raise SystemExit(f"no $FILE_NAME in record {inode}")
            pos += length
        value = pos + struct.unpack_from("<H", record, pos + 20)[0]
        f.seek(at + value)
        f.write(struct.pack("<Q", 11 | 11 << 48))
    return inode, count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--journal-mb", type=int, default=32)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--qst", default=os.path.join(os.path.dirname(__file__), "..", "build", "qst"))
    parser.add_argument("--image")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qst_usn_bench_")
    try:
        image = os.path.join(work, "volume.img")
        if args.image:
            shutil.copyfile(args.image, image)
        else:
            print(f"making {args.files} files in {image} ...", file=sys.stderr)
            make_image(image, args.files, args.files // 2)
        inode, count = add_journal(image, args.files, args.journal_mb << 20)
        print(f"{args.files} files, a journal of {count} records ({args.journal_mb} MiB) "
              f"in record {inode}", file=sys.stderr)
        peers = [
            ("qst -d IMG -e -u -r C:\\", [args.qst, "-d", image, "-e", "-u", "-r", "C:\\"]),
            ("qst -d IMG -U -e -u -r C:\\", [args.qst, "-d", image, "-U", "-e", "-u", "-r", "C:\\"]),
            ("qst -d IMG -U --journal-only --csv",
             [args.qst, "-d", image, "-U", "--journal-only", "--csv"]),
        ]
        rows = [(name, measure(command, args.runs)) for name, command in peers]
        print_table(rows, args.files)
        base, joined = rows[0][1][0], rows[1][1][0]
        print(f"\n-U costs {joined / base:.2f}x the run without it")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
