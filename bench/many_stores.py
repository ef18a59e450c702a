#!/usr/bin/env python3
"""How `qst -d IMG -S` grows with the number of shadow copies.

Windows keeps up to 512 stores on a volume. This builds volumes with N
stores from the Windows 7 evidence (two stores): a new catalog holds N
stores, each with a block list of its own (a copy of the newer store's,
naming the same changed blocks), so that every block a store does not hold
is read through each newer store in turn, as on a long-kept volume. Then
`qst -d IMG -S -e -u -r C:\\` is timed for each N (qst's own reader of
stores, alone and with --shadow-storage naming the volume), beside The Sleuth Kit's
`fls -r -m` over every store mounted with vshadowmount (root and /dev/fuse;
left out without them, and past 99 stores, which vshadowmount does not
serve).

    bench/many_stores.py [--qst build/qst] [--stores 16,32,64,96,128,256,512]

Needs qemu-img (the evidence is made raw once), sleuthkit and
libvshadow-utils for the peer.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from measure import measure  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
BLOCK = 0x4000
ENTRY = 128
HEADER = 0x1E00  # the volume's shadow-copy header; the catalog's offset at 0x30


def build(raw, out, stores):
    """A copy of `raw` with `stores` stores, its new catalog and block lists
    written past the end of the volume (the library reads the whole file)."""
    shutil.copyfile(raw, out)
    with open(raw, "rb") as f:
        f.seek(HEADER)
        header = f.read(ENTRY)
        catalog = struct.unpack_from("<Q", header, 0x30)[0]
        f.seek(catalog)
        first = f.read(BLOCK)
        # The newer store's entries: type 2 (identity, creation time), type 3
        # (where its block list, header, ranges and bitmap lie).
        made = first[3 * ENTRY:4 * ENTRY]
        where = first[4 * ENTRY:5 * ENTRY]
        block_list_at = struct.unpack_from("<Q", where, 8)[0]
        f.seek(block_list_at)
        block_list = f.read(BLOCK)
    size = os.path.getsize(raw)
    per_block = BLOCK // ENTRY - 1
    catalog_blocks = (2 * stores + per_block - 1) // per_block
    lists_at = size + catalog_blocks * BLOCK
    entries = []
    for i in range(stores):
        m = bytearray(made)
        struct.pack_into("<I", m, 16, 0x1000 + i)  # a GUID of its own
        struct.pack_into("<Q", m, 0x20, i + 1)
        struct.pack_into("<Q", m, 0x30, struct.unpack_from("<Q", made, 0x30)[0] + i * 6_000_000_000)
        w = bytearray(where)
        w[16:32] = m[16:32]
        struct.pack_into("<Q", w, 8, lists_at + i * BLOCK)
        entries += [bytes(m), bytes(w)]
    with open(out, "r+b") as f:
        f.seek(HEADER + 0x30)
        f.write(struct.pack("<Q", size))
        for b in range(catalog_blocks):
            at = size + b * BLOCK
            block = bytearray(BLOCK)
            block[:ENTRY] = first[:ENTRY]
            nxt = at + BLOCK if b + 1 < catalog_blocks else 0
            struct.pack_into("<QQQ", block, 0x18, b * BLOCK, at, nxt)
            for k, e in enumerate(entries[b * per_block:(b + 1) * per_block]):
                block[(k + 1) * ENTRY:(k + 2) * ENTRY] = e
            f.seek(at)
            f.write(block)
        for i in range(stores):
            at = lists_at + i * BLOCK
            copy = bytearray(block_list)
            struct.pack_into("<QQ", copy, 0x20, at, 0)
            f.seek(at)
            f.write(copy)


def fls_each(work, image, runs):
    """fls -r -m over each store of `image` mounted apart: times and lines
    summed, the highest peak."""
    mount = os.path.join(work, "mount")
    os.makedirs(mount, exist_ok=True)
    subprocess.run(["vshadowmount", image, mount], check=True, stdout=subprocess.DEVNULL)
    try:
        stores = None
        for _ in range(1200):  # the FUSE daemon answers once it has read the catalog
            try:
                stores = sorted(os.listdir(mount))
                break
            except OSError:
                time.sleep(0.1)
        if stores is None:
            raise RuntimeError("vshadowmount did not answer in 2 minutes")
        wall = cpu = rss = lines = 0
        for store in stores:
            w, c, r, n = measure(["fls", "-r", "-m", "C:", os.path.join(mount, store)], runs)
            wall, cpu, rss, lines = wall + w, cpu + c, max(rss, r), lines + n
        return wall, cpu, rss, lines
    finally:
        subprocess.run(["umount", mount])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qst", default=os.path.join(HERE, "..", "build", "qst"))
    parser.add_argument("--stores", default="16,32,64,96,128,256,512")
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="qst_stores_bench_")
    try:
        raw = os.path.join(work, "vsstest.raw")
        qcow = os.path.join(HERE, "..", "..", "shared", "evidence", "vsstest.qcow2")
        subprocess.run(["qemu-img", "convert", "-O", "raw", qcow, raw], check=True)
        peer = os.geteuid() == 0 and os.access("/dev/fuse", os.W_OK) and shutil.which(
            "vshadowmount") and shutil.which("fls")
        print(f"{'stores':>7}{'command':>22}{'wall s':>9}{'cpu s':>9}{'peak RSS KiB':>14}{'lines':>8}")
        for n in (int(s) for s in args.stores.split(",")):
            image = os.path.join(work, f"stores{n}.raw")
            build(raw, image, n)
            rows = [("qst -d -S -r", measure(
                [args.qst, "-d", image, "-S", "-e", "-u", "-r", "C:\\"], args.runs)),
                    # The same reader, the volume named as its own storage.
                    ("qst --shadow-storage", measure(
                        [args.qst, "-d", image, "--shadow-storage=" + image, "-e", "-u", "-r",
                         "C:\\"], args.runs))]
            if peer and n < 100:
                rows.append(("fls -r -m each store", fls_each(work, image, args.runs)))
            for name, (wall, cpu, rss, lines) in rows:
                print(f"{n:>7}{name:>22}{wall:>9.3f}{cpu:>9.3f}{rss:>14}{lines:>8}")
            os.unlink(image)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
