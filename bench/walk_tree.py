#!/usr/bin/env python3
"""Walk a tree of many files with `qst -r -e` and with GNU find printing the
same four times, and print wall time, files per second and peak memory side
by side.

    bench/walk_tree.py [--files N] [--qst build/qst] [--ntfs]

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


def run_once(command):
    """Runs `command`, counting its output lines. Returns wall seconds, CPU
    seconds, peak RSS in KiB and the line count. The peak comes from GNU time,
    which starts the command from its own small process: a child forked from
    this interpreter would count the interpreter's memory as its own."""
    read_end, write_end = os.pipe()
    report_read, report_write = os.pipe()
    actions = [(os.POSIX_SPAWN_DUP2, write_end, 1), (os.POSIX_SPAWN_DUP2, report_write, 2),
               (os.POSIX_SPAWN_CLOSE, read_end), (os.POSIX_SPAWN_CLOSE, report_read)]
    timed = ["/usr/bin/time", "-f", "%M", "--"] + command
    start = time.perf_counter()
    pid = os.posix_spawn(timed[0], timed, os.environ, file_actions=actions)
    os.close(write_end)
    os.close(report_write)
    lines = 0
    while True:
        chunk = os.read(read_end, 1 << 20)
        if not chunk:
            break
        lines += chunk.count(b"\n")
    os.close(read_end)
    report = b""
    while True:
        chunk = os.read(report_read, 4096)
        if not chunk:
            break
        report += chunk
    os.close(report_read)
    _, _, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    rss = int(report.split()[-1]) if report.split() else 0
    return wall, usage.ru_utime + usage.ru_stime, rss, lines


def measure(command, runs):
    results = [run_once(command) for _ in range(runs)]
    return min(results, key=lambda r: r[0])


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
        print(f"{'command':<26}{'wall s':>9}{'cpu s':>9}{'files/s':>12}{'peak RSS KiB':>14}{'lines':>10}")
        for name, command in peers:
            wall, cpu, rss, lines = measure(command, args.runs)
            print(f"{name:<26}{wall:>9.2f}{cpu:>9.2f}{args.files / wall:>12.0f}{rss:>14}{lines:>10}")
    finally:
        if mount:
            subprocess.run(["umount", mount])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
