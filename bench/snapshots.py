#!/usr/bin/env python3
"""Times `qst -d IMG -S -e -u -r C:\\` (the volume and every shadow copy in
one run) against the road taken by hand: each store mounted with
vshadowmount and read apart, by qst -d and by The Sleuth Kit's fls -m (a
body file with the four times), plus the volume itself.

    bench/snapshots.py [--image vsstest.raw] [--qst build/qst] [--runs 5]

Without --image, ../shared/evidence/vsstest.qcow2 (Windows 7, two stores)
is made raw with qemu-img. Needs root and /dev/fuse (vshadowmount), and the
Debian packages libvshadow-utils, sleuthkit, qemu-utils and time.
"""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from measure import measure  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def total(commands, runs):
    """The figures of several commands run one after another: times and
    lines summed, the highest peak."""
    wall = cpu = lines = rss = 0
    for command in commands:
        w, c, r, n = measure(command, runs)
        wall, cpu, lines, rss = wall + w, cpu + c, lines + n, max(rss, r)
    return wall, cpu, rss, lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--image")
    parser.add_argument("--qst", default=os.path.join(HERE, "..", "build", "qst"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qst_vss_bench_")
    mount = os.path.join(work, "stores")
    os.mkdir(mount)
    image = args.image
    if image is None:
        image = os.path.join(work, "vsstest.raw")
        qcow = os.path.join(HERE, "..", "..", "shared", "evidence", "vsstest.qcow2")
        subprocess.run(["qemu-img", "convert", "-O", "raw", qcow, image], check=True)
    subprocess.run(["vshadowmount", image, mount], check=True, stdout=subprocess.DEVNULL)
    try:
        stores = sorted(os.path.join(mount, s) for s in os.listdir(mount))
        qst = [args.qst, "-e", "-u", "-r", "C:\\"]
        rows = [
            ("qst -d -S (one run)", measure([args.qst, "-d", image, "-S"] + qst[1:], args.runs)),
            (f"qst -d, volume + {len(stores)} stores apart",
             total([[args.qst, "-d", p] + qst[1:] for p in [image] + stores], args.runs)),
            (f"fls -r -m, volume + {len(stores)} stores",
             total([["fls", "-r", "-m", "C:", p] for p in [image] + stores], args.runs)),
        ]
        print(f"{image}: the volume and {len(stores)} shadow copies, best of {args.runs}")
        print(f"{'command':<36}{'wall s':>9}{'cpu s':>9}{'peak RSS KiB':>14}{'lines':>8}")
        for name, (wall, cpu, rss, lines) in rows:
            print(f"{name:<36}{wall:>9.3f}{cpu:>9.3f}{rss:>14}{lines:>8}")
    finally:
        subprocess.run(["umount", mount])
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
