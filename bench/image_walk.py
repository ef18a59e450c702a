#!/usr/bin/env python3
"""Reads every file of an NTFS image with `qst -d IMG -e -r C:\\` (also with
the second witness, `-n -a`, each name's index entry, `-I` and `-I -a`, and in
the forms --json, --csv, --bodyfile), with The Sleuth Kit's `fls -r -m /` and with
libfsntfs's `fsntfsinfo -H`, and prints wall time, files per second and peak
memory side by side, with the time of a query for one path and The Sleuth
Kit's `ils -e -m` (one linear pass over the MFT, no paths).

    bench/image_walk.py [--files 100000] [--big 60000] [--qst build/qst] [--image IMG]

The image is made with mkntfs and filled through an ntfs-3g mount (root and
/dev/fuse): --files files in all, --big of them in one folder, the rest in
folders of 1,000. --image reuses an image made before. Needs the Debian
packages sleuthkit, libfsntfs-utils and time.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from measure import measure_interleaved, print_table  # noqa: E402


def make_image(path, files, big):
    size_mb = max(256, files * 4 // 1024 + 128)
    subprocess.run(["truncate", "-s", f"{size_mb}M", path], check=True)
    subprocess.run(["mkntfs", "-F", "-f", "-q", path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    mount = tempfile.mkdtemp(prefix="qst_bench_mnt_")
    subprocess.run(["ntfs-3g", path, mount], check=True)
    try:
        os.makedirs(os.path.join(mount, "big"))
        for i in range(big):
            open(os.path.join(mount, "big", f"entry-{i:06d}.dat"), "wb").close()
        made = big
        folder = 0
        while made < files:
            sub = os.path.join(mount, "tree", f"d{folder // 100:03d}", f"e{folder % 100:03d}")
            os.makedirs(sub)
            for i in range(min(1000, files - made)):
                open(os.path.join(sub, f"file-{i:04d}.txt"), "wb").close()
            made += 1000
            folder += 1
    finally:
        subprocess.run(["umount", mount], check=True)
        os.rmdir(mount)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=100000)
    parser.add_argument("--big", type=int, default=60000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--qst", default=os.path.join(os.path.dirname(__file__), "..", "build", "qst"))
    parser.add_argument("--image")
    parser.add_argument("--no-fls", action="store_true", help="leave fls out (slow on large images)")
    parser.add_argument("--cold", action="store_true",
                        help="drop the page cache before each run (root): the image read from disk")
    parser.add_argument("--pipe", action="store_true",
                        help="time each command through a pipe read here, not to /dev/null")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qst_bench_")
    try:
        image = args.image or os.path.join(work, "volume.img")
        if not args.image:
            print(f"making {args.files} files ({args.big} in one folder) in {image} ...", file=sys.stderr)
            make_image(image, args.files, args.big)
        peers = [
            ("qst -d IMG -e -u -r C:\\", [args.qst, "-d", image, "-e", "-u", "-r", "C:\\"]),
            ("qst -d IMG -e -r C:\\ (local)", [args.qst, "-d", image, "-e", "-r", "C:\\"]),
            ("qst -d IMG --json -r C:\\", [args.qst, "-d", image, "--json", "-r", "C:\\"]),
            ("qst -d IMG --csv -r C:\\", [args.qst, "-d", image, "--csv", "-r", "C:\\"]),
            ("qst -d IMG --bodyfile -r C:\\", [args.qst, "-d", image, "--bodyfile", "-r", "C:\\"]),
            ("qst -d IMG -n -a -e -r C:\\",
             [args.qst, "-d", image, "-n", "-a", "-e", "-r", "C:\\"]),
            ("qst -d IMG -I -e -u -r C:\\",
             [args.qst, "-d", image, "-I", "-e", "-u", "-r", "C:\\"]),
            ("qst -d IMG -I -a -e -u -r C:\\",
             [args.qst, "-d", image, "-I", "-a", "-e", "-u", "-r", "C:\\"]),
            ("qst -d IMG one path",
             [args.qst, "-d", image, "-e", "-u", "C:\\big\\entry-000000.dat"]),
            ("ils -e -m IMG", ["ils", "-e", "-m", image]),
            ("fls -r -m / IMG", ["fls", "-r", "-m", "/", image]),
            ("fsntfsinfo -H IMG", ["fsntfsinfo", "-H", image]),
        ]
        if args.no_fls:
            peers = [p for p in peers if not p[0].startswith("fls")]
        if args.cold:
            cold = ["sh", "-c", 'sync && echo 3 > /proc/sys/vm/drop_caches && exec "$@"', "cold"]
            peers = [(name + " (cold)", cold + command) for name, command in peers
                     if not name.startswith("fsntfsinfo")]
        against = next((name for name, _ in peers if name.startswith("ils")), None)
        results = measure_interleaved([command for _, command in peers], args.runs,
                                      to_null=not args.pipe)
        print_table(list(zip([name for name, _ in peers], results)), args.files, against)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
