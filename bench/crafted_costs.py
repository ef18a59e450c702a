#!/usr/bin/env python3
"""The cost of evidence shaped to be expensive, once and twice over: each
case is built at one size and at twice it, and qst's time and peak memory
printed side by side with the same run without the witness the case aims
at. A linear reader takes about twice the time for twice the evidence.

    bench/crafted_costs.py [--qst build/qst] [--runs 3]

Cases (volumes made with mkntfs and filled through ntfs-3g; needs root and
/dev/fuse; the cross-links are written into the image's bytes):
  tree       a folder of 10,000 files and 1,000 sub-folders, each a chain of
             8 folders (the shape of node_modules), with -I
  crosslink  folders whose $I30 allocations all name the blocks of the
             first, a folder of 20,000 names, with -I and with -I -a
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from measure import measure_interleaved  # noqa: E402


def make_volume(work, name, megabytes, fill):
    image = os.path.join(work, name + ".img")
    mount = os.path.join(work, name + ".mnt")
    os.makedirs(mount)
    subprocess.run(["truncate", "-s", f"{megabytes}M", image], check=True)
    subprocess.run(["mkntfs", "-F", "-f", "-q", image], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["ntfs-3g", image, mount], check=True)
    try:
        fill(mount)
    finally:
        subprocess.run(["umount", mount], check=True)
    return image


def touch(path):
    with open(path, "wb"):
        pass


def fill_tree(scale):
    def fill(mount):
        big = os.path.join(mount, "big")
        os.makedirs(big)
        for i in range(10000 * scale):
            touch(os.path.join(big, f"f{i:06d}"))
        for i in range(1000 * scale):
            chain = os.path.join(big, f"d{i}", *"abcdefg")
            os.makedirs(chain)
            touch(os.path.join(chain, "x"))
    return fill


def fill_folders(count):
    """The first folder holds 20,000 names (an index of some 500 blocks),
    the others 40 each."""
    def fill(mount):
        for f in range(count):
            folder = os.path.join(mount, f"folder{f:05d}")
            os.makedirs(folder)
            for i in range(20000 if f == 0 else 40):
                touch(os.path.join(folder, f"name-{i:05d}.dat"))
    return fill


def fixups(record, undo):
    usa, count = struct.unpack_from("<HH", record, 4)
    for i in range(1, count):
        end, slot = i * 512 - 2, usa + 2 * i
        if end + 2 > len(record):
            break
        if undo:
            record[slot:slot + 2] = record[end:end + 2]
            record[end:end + 2] = record[usa:usa + 2]
        else:
            record[end:end + 2] = record[slot:slot + 2]


def allocation(record):
    at = struct.unpack_from("<H", record, 0x14)[0]
    while at + 0x18 < len(record):
        kind, length = struct.unpack_from("<II", record, at)
        if kind == 0xFFFFFFFF or length == 0:
            break
        if kind == 0xA0 and record[at + 9] == 4:
            return at, length
        at += length
    return None


def crosslink(qst, image, count):
    """Gives every folder the $I30 allocation of the first whose attribute
    has the same length; returns how many were linked."""
    with open(image, "r+b") as f:
        boot = f.read(512)
        cluster = struct.unpack_from("<H", boot, 11)[0] * boot[13]
        mft = struct.unpack_from("<Q", boot, 0x30)[0] * cluster
        rows = subprocess.run([qst, "-d", image, "-e"] +
                              [f"C:\\folder{i:05d}\\" for i in range(count)],
                              capture_output=True, text=True).stdout
        records = [int(line.split("|")[1]) for line in rows.splitlines()
                   if line.startswith("C:\\folder")]

        def load(number):
            f.seek(mft + number * 1024)
            record = bytearray(f.read(1024))
            fixups(record, False)
            return record

        first = load(records[0])
        source = allocation(first)
        linked = 0
        for number in records[1:]:
            record = load(number)
            found = allocation(record)
            if found is None or found[1] != source[1]:
                continue
            at = found[0]
            ident = record[at + 0x0E:at + 0x10]
            record[at:at + source[1]] = first[source[0]:source[0] + source[1]]
            record[at + 0x0E:at + 0x10] = ident
            fixups(record, True)
            f.seek(mft + number * 1024)
            f.write(record)
            linked += 1
        return linked


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qst", default=os.path.join(os.path.dirname(__file__), "..", "build", "qst"))
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    qst = os.path.abspath(args.qst)
    work = tempfile.mkdtemp(prefix="qst_costs_")
    try:
        cases = []
        for scale in (1, 2):
            image = make_volume(work, f"tree{scale}", 400 * scale, fill_tree(scale))
            cases.append((f"tree x{scale}", image, [[], ["-I"]]))
        for count in (1000, 2000):
            image = make_volume(work, f"links{count}", 96 + count // 10, fill_folders(count))
            linked = crosslink(qst, image, count)
            cases.append((f"crosslink {linked} folders", image, [[], ["-I"], ["-I", "-a"]]))
        print(f"{'case':<28}{'options':<10}{'wall s':>9}{'peak RSS KiB':>14}{'rows':>9}")
        for name, image, options in cases:
            commands = [[qst, "-d", image, "-r", "-e", "C:\\"] + o for o in options]
            for o, (wall, _, rss, lines) in zip(options, measure_interleaved(commands, args.runs)):
                print(f"{name:<28}{' '.join(o) or '-':<10}{wall:>9.2f}{rss:>14}{lines:>9}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
