#!/usr/bin/env python3
"""Times `qst -d IMG -n -e -u -r C:\\` with and without --report on a large
image, then makes a page with the table full (every file of a second image
carries a sign) and tells its size and how long headless Chromium takes to
open it and run its script.

    bench/report.py [--image IMG] [--files 1000000] [--flagged 20000] [--qst build/qst]

Without --image, an image of --files files is made with mkntfs and ntfs-3g
(root and /dev/fuse), as bench/image_walk.py makes them. Needs the Debian
packages chromium, ntfs-3g and time.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from image_walk import make_image  # noqa: E402
from measure import measure  # noqa: E402


def flagged_image(path, files):
    """An image whose every file was written before it was made ("copied")."""
    subprocess.run(["truncate", "-s", f"{max(64, files // 100)}M", path], check=True)
    subprocess.run(["mkntfs", "-F", "-f", "-q", path], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    mount = tempfile.mkdtemp(prefix="qst_report_mnt_")
    subprocess.run(["ntfs-3g", path, mount], check=True)
    try:
        for i in range(files):
            folder = os.path.join(mount, "cases", f"d{i // 1000:03d}")
            os.makedirs(folder, exist_ok=True)
            name = os.path.join(folder, f"file-{i:05d}.txt")
            open(name, "wb").close()
            made = 130000000000000000 + i * 10000000
            os.setxattr(name, "system.ntfs_times", struct.pack("<QQQ", made, made - 10**9, made))
    finally:
        subprocess.run(["umount", mount], check=True)
        os.rmdir(mount)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--image")
    parser.add_argument("--files", type=int, default=1000000)
    parser.add_argument("--flagged", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--qst", default=os.path.join(os.path.dirname(__file__), "..", "build", "qst"))
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qst_report_bench_")
    try:
        image = args.image
        if image is None:
            image = os.path.join(work, "volume.img")
            make_image(image, args.files, 0)
        page = os.path.join(work, "page.html")
        run = [args.qst, "-d", image, "-n", "-e", "-u", "-r", "C:\\"]
        plain = measure(run, args.runs)
        report = measure(run + ["--report=" + page], args.runs)
        print(f"{image}: qst -d -n -e -u -r, best of {args.runs}")
        print(f"{'command':<30}{'wall s':>9}{'cpu s':>9}{'peak RSS KiB':>14}")
        for name, (wall, cpu, rss, _) in (("without --report", plain),
                                          ("with --report", report)):
            print(f"{name:<30}{wall:>9.2f}{cpu:>9.2f}{rss:>14}")
        print(f"ratio {report[0] / plain[0]:.2f}; page {os.path.getsize(page)} bytes")

        flagged = os.path.join(work, "flagged.img")
        flagged_image(flagged, args.flagged)
        full = os.path.join(work, "full.html")
        subprocess.run([args.qst, "-d", flagged, "-n", "-r", "C:\\", "--report=" + full], check=True)
        start = time.perf_counter()
        dom = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                              "--dump-dom", "file://" + full + "#sort=2&desc=1"],
                             capture_output=True, check=True).stdout
        opened = time.perf_counter() - start
        print(f"{args.flagged} flagged files: page {os.path.getsize(full)} bytes, "
              f"{dom.count(b'<tr>')} rows, opened and sorted by Chromium in {opened:.2f} s")
    finally:
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
