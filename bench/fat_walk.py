#!/usr/bin/env python3
"""Reads every file of a FAT32 and of an exFAT image with
`qst -d IMG -e -r C:\\` and with The Sleuth Kit's `fls -r -m /`, and prints
wall time, files per second and peak memory side by side, at two sizes to
show how each grows with the files.

    bench/fat_walk.py [--files 100000] [--qst build/qst]

The volumes are made with mkfs.vfat and mkfs.exfat; their folders (of 1,000
empty files each, every name a long one) are then written straight into
the images, since this machine's kernel mounts neither file system and a
FUSE driver or mtools would take hours for 100,000 files. The Sleuth Kit
lists the same files (the script checks the counts). Needs dosfstools,
exfatprogs, sleuthkit and time.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from measure import measure_interleaved, print_table  # noqa: E402

PER_FOLDER = 1000
STAMP_DATE = ((2024 - 1980) << 9) | (1 << 5) | 17
STAMP_TIME = (21 << 11) | (20 << 5) | 5


def lfn_checksum(name11):
    s = 0
    for c in name11:
        s = (((s & 1) << 7) + (s >> 1) + c) & 0xFF
    return s


def fat_entries(long_name, short11, attr, cluster):
    """The long-name pieces and the 8.3 entry of one file or folder."""
    units = long_name.encode("utf-16-le")
    units += b"\x00\x00"
    pieces = (len(long_name) + 12) // 13
    units += b"\xff\xff" * (pieces * 13 - len(units) // 2)
    out = bytearray()
    check = lfn_checksum(short11)
    for n in range(pieces, 0, -1):
        chunk = units[(n - 1) * 26:n * 26]
        e = bytearray(32)
        e[0] = n | (0x40 if n == pieces else 0)
        e[1:11] = chunk[0:10]
        e[11] = 0x0F
        e[13] = check
        e[14:26] = chunk[10:22]
        e[28:32] = chunk[22:26]
        out += e
    e = bytearray(32)
    e[0:11] = short11
    e[11] = attr
    struct.pack_into("<HHHHHHHI", e, 14, STAMP_TIME, STAMP_DATE, STAMP_DATE, cluster >> 16,
                     STAMP_TIME, STAMP_DATE, cluster & 0xFFFF, 0)
    e[13] = 57
    return out + e


def make_fat32(path, files):
    size_mb = max(300, files // 400 + 100)
    subprocess.run(["truncate", "-s", f"{size_mb}M", path], check=True)
    subprocess.run(["mkfs.vfat", "-F", "32", "-s", "8", path], check=True, stdout=subprocess.DEVNULL)
    with open(path, "r+b") as f:
        boot = f.read(512)
        sector, per_cluster, reserved, tables = struct.unpack_from("<HBHB", boot, 11)
        table_sectors, = struct.unpack_from("<I", boot, 0x24)
        root, = struct.unpack_from("<I", boot, 0x2C)
        cluster = sector * per_cluster
        table = reserved * sector
        data = table + tables * table_sectors * sector
        next_free = [root + 1]

        def allocate(nbytes):
            count = max(1, -(-nbytes // cluster))
            first = next_free[0]
            next_free[0] += count
            chain = b"".join(struct.pack("<I", first + i + 1) for i in range(count - 1))
            chain += struct.pack("<I", 0x0FFFFFFF)
            for t in range(tables):
                f.seek(table + t * table_sectors * sector + first * 4)
                f.write(chain)
            return first

        def write(first, body):
            f.seek(data + (first - 2) * cluster)
            f.write(body)

        folders = -(-files // PER_FOLDER)
        root_body = bytearray()
        for d in range(folders):
            n = min(PER_FOLDER, files - d * PER_FOLDER)
            body = bytearray()
            dot = bytearray(32)
            dot[0:11] = b".          "
            dot[11] = 0x10
            dotdot = bytearray(dot)
            dotdot[0:11] = b"..         "
            body += dot + dotdot
            for i in range(n):
                short = f"F{i:07d}TXT".encode()
                body += fat_entries(f"file number {i:07d}.txt", short, 0x20, 0)
            first = allocate(len(body) + 32)
            struct.pack_into("<HH", body, 20, first >> 16, 0)
            struct.pack_into("<H", body, 26, first & 0xFFFF)
            write(first, body)
            root_body += fat_entries(f"folder number {d:05d}", f"D{d:07d}   ".encode(), 0x10, first)
        # The root's own chain grows past its first cluster.
        extra = -(-len(root_body) // cluster) - 1
        if extra > 0:
            more = allocate(extra * cluster)
            for t in range(tables):
                f.seek(table + t * table_sectors * sector + root * 4)
                f.write(struct.pack("<I", more))
            write(root, root_body[:cluster])
            write(more, root_body[cluster:])
        else:
            write(root, root_body)


def exfat_set(name, attr, cluster, size, contiguous):
    names = -(-len(name) // 15)
    e = bytearray(32 * (2 + names))
    e[0] = 0x85
    e[1] = 1 + names
    stamp = (5 // 2) | (20 << 5) | (21 << 11) | (17 << 16) | (1 << 21) | ((2024 - 1980) << 25)
    struct.pack_into("<H2xIII", e, 4, attr, stamp, stamp, stamp)
    e[0x14] = 57
    e[0x16] = e[0x17] = e[0x18] = 0x80
    e[32] = 0xC0
    e[33] = 0x01 | (0x02 if contiguous else 0)
    e[35] = len(name)
    h = 0
    for b in name.upper().encode("utf-16-le"):
        h = (((h & 1) << 15) + (h >> 1) + b) & 0xFFFF
    struct.pack_into("<H", e, 36, h)
    struct.pack_into("<QIIQ", e, 40, size, 0, cluster, size)
    units = name.encode("utf-16-le")
    for i in range(names):
        e[64 + 32 * i] = 0xC1
        chunk = units[i * 30:(i + 1) * 30]
        e[64 + 32 * i + 2:64 + 32 * i + 2 + len(chunk)] = chunk
    s = 0
    for i, b in enumerate(e):
        if i not in (2, 3):
            s = (((s & 1) << 15) + (s >> 1) + b) & 0xFFFF
    struct.pack_into("<H", e, 2, s)
    return e


def make_exfat(path, files):
    size_mb = max(300, files // 200 + 100)
    subprocess.run(["truncate", "-s", f"{size_mb}M", path], check=True)
    subprocess.run(["mkfs.exfat", path], check=True, stdout=subprocess.DEVNULL)
    with open(path, "r+b") as f:
        boot = f.read(512)
        table_sector, _, heap_sector, clusters, root = struct.unpack_from("<IIIII", boot, 0x50)
        sector = 1 << boot[0x6C]
        cluster = sector << boot[0x6D]
        heap = heap_sector * sector
        table = table_sector * sector
        f.seek(heap + (root - 2) * cluster)
        root_body = bytearray(f.read(cluster))
        bitmap_cluster = bitmap_size = None
        end = 0
        while end < len(root_body) and root_body[end] != 0:
            if root_body[end] == 0x81:
                bitmap_cluster, bitmap_size = struct.unpack_from("<IQ", root_body, end + 20)
            end += 32
        f.seek(heap + (bitmap_cluster - 2) * cluster)
        bitmap = bytearray(f.read(bitmap_size))
        used = max(i for i in range(len(bitmap) * 8) if bitmap[i // 8] >> (i % 8) & 1)
        next_free = [used + 3]

        def allocate(nbytes):
            count = max(1, -(-nbytes // cluster))
            first = next_free[0]
            next_free[0] += count
            for c in range(first, first + count):
                bitmap[(c - 2) // 8] |= 1 << ((c - 2) % 8)
            return first, count * cluster

        folders = -(-files // PER_FOLDER)
        for d in range(folders):
            n = min(PER_FOLDER, files - d * PER_FOLDER)
            body = b"".join(exfat_set(f"file number {i:07d}.txt", 0x20, 0, 0, False)
                            for i in range(n))
            first, size = allocate(len(body))
            f.seek(heap + (first - 2) * cluster)
            f.write(body)
            entry_set = exfat_set(f"folder number {d:05d}", 0x10, first, size, True)
            root_body[end:end] = entry_set
            end += len(entry_set)
        # The root grows by a chain of its own in the allocation table.
        root_body = bytes(root_body[:end])
        count = -(-len(root_body) // cluster)
        chain = [root] + [allocate(cluster)[0] for _ in range(count - 1)]
        for i, c in enumerate(chain):
            f.seek(table + c * 4)
            f.write(struct.pack("<I", chain[i + 1] if i + 1 < len(chain) else 0xFFFFFFFF))
            f.seek(heap + (c - 2) * cluster)
            f.write(root_body[i * cluster:(i + 1) * cluster].ljust(cluster, b"\0"))
        f.seek(heap + (bitmap_cluster - 2) * cluster)
        f.write(bitmap)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--qst", default=os.path.join(os.path.dirname(__file__), "..", "build", "qst"))
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        for kind, make in (("FAT32", make_fat32), ("exFAT", make_exfat)):
            for files in (args.files // 2, args.files):
                image = os.path.join(work, f"{kind}-{files}.img")
                make(image, files)
                rows = measure_interleaved(
                    [[args.qst, "-d", image, "-e", "-r", "C:\\"], ["fls", "-r", "-m", "/", image]],
                    args.runs, to_null=True)
                print(f"\n{kind}, {files} files")
                print_table([("qst -d -e -r", rows[0]), ("fls -r -m", rows[1])], files,
                            against="fls -r -m")
                os.unlink(image)


if __name__ == "__main__":
    main()
