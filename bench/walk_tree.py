#!/usr/bin/env python3
"""Walk a tree of many files with `qst -r -e` and with GNU find printing the
same four times, and print wall time, files per second and peak memory side
by side.

    bench/walk_tree.py [--files N] [--qst build/qst] [--ntfs]

With --ntfs the tree is on an ntfs-3g mount, and qst is also timed with one
probe at a time (-j 1), beside a one-thread C walk (xattr_walk.c) asking the
same questions.

--ntfs builds the tree on an NTFS image mounted with ntfs-3g (needs root and
/dev/fuse) instead of the local file system. Peak memory is read with GNU
time (Debian package `time`).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from measure import measure, print_table  # noqa: E402


def make_tree(root, files, per_folder=1000):
    made = 0
    folder = 0
    while made < files:
        sub = os.path.join(root, f"d{folder // 100:03d}", f"e{folder % 100:03d}")
        os.makedirs(sub, exist_ok=True)
        for i in range(min(per_folder, files - made)):
            with open(os.path.join(sub, f"file-{i:05d}.dat"), "wb"):
                pass
        made += per_folder
        folder += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=200000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--qst", default=os.path.join(os.path.dirname(__file__), "..", "build", "qst"))
    parser.add_argument("--ntfs", action="store_true")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qst_bench_")
    mount = None
    try:
        root = os.path.join(work, "tree")
        if args.ntfs:
            image = os.path.join(work, "volume.img")
            mount = root
            os.makedirs(mount)
            size_mb = max(64, args.files * 3 // 1024)
            subprocess.run(["truncate", "-s", f"{size_mb}M", image], check=True)
            subprocess.run(["mkntfs", "-F", "-f", "-q", image], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["ntfs-3g", image, mount], check=True)
        print(f"making {args.files} files under {root} ...", file=sys.stderr)
        make_tree(root, args.files)
        subprocess.run(["sync"])

        peers = [
            ("qst -r -e -u", [args.qst, "-r", "-e", "-u", root]),
            ("find -printf (4 times)", ["find", root, "-printf", "%p |%i |%A+ |%T+ |%C+ |%B+\n"]),
        ]
        if args.ntfs:
            # On FUSE qst keeps 8 probes in flight; one at a time, and a
            # one-thread walk asking the same questions, for comparison.
            walker = os.path.join(work, "xattr_walk")
            subprocess.run(["cc", "-O2", "-o", walker,
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), "xattr_walk.c")],
                           check=True)
            peers[1:1] = [("qst -j 1 -r -e -u", [args.qst, "-j", "1", "-r", "-e", "-u", root]),
                          ("lstat+getxattr, 1 thread", [walker, root])]
        print_table([(name, measure(command, args.runs)) for name, command in peers], args.files)
    finally:
        if mount:
            subprocess.run(["umount", mount])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
