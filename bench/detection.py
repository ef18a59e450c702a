#!/usr/bin/env python3
"""How well the signs of forged times tell forgery from honest work.

    bench/detection.py [--files 40] [--qst build/qst] [--evidence ../shared/evidence]

First the Windows-made volume of the evidence (vsstest.qcow2, made by
Windows 7 with two shadow copies): each file Windows made on it is forged
in the volume's bytes each way of bench/windows_forgeries.py, one at a
time, and read with every witness (-n -I -L -U -S -a) and with -n -I
alone; its honest files, every state, are read with every witness. The
volume keeps no change journal: the one Windows would have kept of its
files (bench/windows_journal.py) is read beside it with --usn-journal, and
SetFileTime's way adds the records NTFS writes for it and the renames.

Then an NTFS volume of our own (mkntfs, mounted with ntfs-3g; needs root
and /dev/fuse): it fills it with honest files (written, copied and installed with
their times kept, extracted from TAR and ZIP archives, copied by a tool
that keeps creation times, renamed, moved) and with files whose times were
forged several ways (each method below, `--files` files each), unmounts it,
edits the record bytes of the last methods as a hex editor would, and runs
`qst -d IMG -n -I --json -r C:\\`. The Windows-made volume's honest files
join the honest side.

Prints, per way on the Windows-made volume, how many forged files are
flagged and by which signs; then per method on our own volume, how many forged files are flagged (some sign of
forgery in `alerts`) and by which signs, and whether a witness of the
forgery is left on the volume; per kind of honest file, how many are
flagged (none should be) and which notes they get; then each sign and note
with its rate on forged and on honest files.
"""
import argparse
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

import windows_forgeries

TICKS = 10_000_000
EPOCH = 116444736000000000  # 1970-01-01 as a FILETIME
PAST = 130700000000000000   # 2015-03-09, where forged times go
DAY = 86400 * TICKS

# What each method leaves behind on an ntfs-3g volume. ntfs-3g writes the
# times set through system.ntfs_times into the $FILE_NAME and the index
# entry as well, and keeps neither a change journal nor a log: after those
# methods no witness of the old times is left, on this volume.
METHODS = [
    ("api-touch", "write and access times set back through utimensat (touch -d)", "none"),
    ("ntfs-times", "creation, write, access set back through system.ntfs_times", "none"),
    ("ntfs-times-seconds", "the same, on whole seconds", "none"),
    ("ntfs-times-copied", "another file's times copied to the tick", "none"),
    ("ntfs-times-forward", "creation set a year forward", "none"),
    ("ntfs-times+rename", "set back, then renamed", "none"),
    ("ntfs-times+move", "set back, then moved to another folder", "none"),
    ("bytes", "$SI's four times set back in the record's bytes", "$FN, $I30"),
    ("bytes-forward", "$SI creation set a year forward in the record's bytes", "$FN, $I30"),
    ("bytes-seconds", "$SI's times cut to whole seconds in the record's bytes", "$FN, $I30"),
    ("bytes+FN", "$SI's and $FILE_NAME's times set back in the record's bytes", "$I30"),
]

HONEST = [
    ("written", "written here"),
    ("edited", "written, then appended to three times"),
    ("cp-p", "copied with cp --preserve=timestamps (write time kept)"),
    ("install-p", "installed with install -p"),
    ("tar", "extracted from a TAR archive (write time kept, whole seconds)"),
    ("zip", "extracted from a ZIP archive (write time kept, even seconds)"),
    ("keep-creation", "copied by a tool that keeps creation times too (robocopy /COPY:DAT)"),
    ("renamed", "written, then renamed"),
    ("moved", "written, then moved to another folder"),
]


def run(*args, **kw):
    return subprocess.run(args, check=True, **kw)


def set_ntfs_times(path, creation, write, access):
    os.setxattr(path, "system.ntfs_times", struct.pack("<3Q", creation, write, access))


def get_ntfs_times(path):
    return struct.unpack("<4Q", os.getxattr(path, "system.ntfs_times"))


def unix_seconds(filetime):
    return (filetime - EPOCH) / TICKS


def old_time(rng, whole=False):
    t = PAST + rng.randrange(0, 300 * DAY)
    return t - t % TICKS if whole else t


def make_honest(mnt, src, n, rng):
    made = {}
    for kind, _ in HONEST:
        os.makedirs(f"{mnt}/honest/{kind}", exist_ok=True)
    os.makedirs(f"{mnt}/honest/moved-to", exist_ok=True)
    os.makedirs(f"{src}/files", exist_ok=True)
    for i in range(n):
        s = f"{src}/files/s{i}.txt"
        with open(s, "w") as f:
            f.write(f"source {i}\n")
        t = unix_seconds(old_time(rng))
        os.utime(s, (t, t))
    tar = f"{src}/a.tar"
    run("tar", "-cf", tar, "-C", f"{src}/files", *[f"s{i}.txt" for i in range(n)])
    with zipfile.ZipFile(f"{src}/a.zip", "w") as z:
        for i in range(n):
            z.write(f"{src}/files/s{i}.txt", f"s{i}.txt")
    run("tar", "-xf", tar, "-C", f"{mnt}/honest/tar")
    run("unzip", "-q", "-o", f"{src}/a.zip", "-d", f"{mnt}/honest/zip")
    for i in range(n):
        s = f"{src}/files/s{i}.txt"
        base = f"{mnt}/honest"
        with open(f"{base}/written/w{i}.txt", "w") as f:
            f.write("written\n")
        with open(f"{base}/edited/e{i}.txt", "w") as f:
            f.write("v1\n")
        for _ in range(3):
            with open(f"{base}/edited/e{i}.txt", "a") as f:
                f.write("more\n")
        run("cp", "--preserve=timestamps", s, f"{base}/cp-p/c{i}.txt")
        run("install", "-p", "-m", "644", s, f"{base}/install-p/i{i}.txt")
        k = f"{base}/keep-creation/k{i}.txt"
        shutil.copyfile(s, k)
        source = get_ntfs_times(f"{base}/cp-p/c{i}.txt")  # the source's kept times
        created = source[1] - rng.randrange(1, 30 * DAY)
        set_ntfs_times(k, created, source[1], source[2])
        with open(f"{base}/renamed/r{i}.txt", "w") as f:
            f.write("renamed\n")
        os.rename(f"{base}/renamed/r{i}.txt", f"{base}/renamed/r{i}-new.txt")
        with open(f"{base}/moved/m{i}.txt", "w") as f:
            f.write("moved\n")
        os.rename(f"{base}/moved/m{i}.txt", f"{base}/moved-to/m{i}.txt")
    for kind, _ in HONEST:
        folder = "moved-to" if kind == "moved" else kind
        for name in os.listdir(f"{mnt}/honest/{folder}"):
            made[f"C:\\honest\\{folder}\\{name}"] = kind
    return made


def make_forged(mnt, n, rng):
    """Forges through the mounted volume; returns {path: method} and the
    paths whose record bytes are to be edited once it is unmounted."""
    made, edits = {}, {}
    donor = get_ntfs_times(f"{mnt}/honest/tar/s0.txt")
    for method, _, _ in METHODS:
        os.makedirs(f"{mnt}/forged/{method}", exist_ok=True)
    os.makedirs(f"{mnt}/forged/moved-to", exist_ok=True)
    for i in range(n):
        for method, _, _ in METHODS:
            folder = f"{mnt}/forged/{method}"
            p = f"{folder}/f{i}.txt"
            with open(p, "w") as f:
                f.write(f"{method} {i}\n")
            final = p
            c, w, a = old_time(rng), old_time(rng), old_time(rng)
            c, w = min(c, w), max(c, w)
            if method == "api-touch":
                t = unix_seconds(w)
                os.utime(p, (t, t))
            elif method == "ntfs-times":
                set_ntfs_times(p, c, w, a)
            elif method == "ntfs-times-seconds":
                set_ntfs_times(p, *(t - t % TICKS for t in (c, w, a)))
            elif method == "ntfs-times-copied":
                set_ntfs_times(p, donor[0], donor[1], donor[2])
            elif method == "ntfs-times-forward":
                now = get_ntfs_times(p)
                set_ntfs_times(p, now[0] + 365 * DAY, now[1], now[2])
            elif method == "ntfs-times+rename":
                set_ntfs_times(p, c, w, a)
                final = f"{folder}/f{i}-renamed.txt"
                os.rename(p, final)
            elif method == "ntfs-times+move":
                set_ntfs_times(p, c, w, a)
                final = f"{mnt}/forged/moved-to/f{i}.txt"
                os.rename(p, final)
            else:
                edits[final] = method
            made[final] = method
    return made, edits


def windows_path(mnt, p):
    return "C:" + p[len(mnt):].replace("/", "\\")


def patch_record(image, record, method, rng):
    with open(image, "r+b") as io:
        boot = io.read(512)
        cluster = struct.unpack_from("<H", boot, 11)[0] * boot[13]
        at = struct.unpack_from("<Q", boot, 0x30)[0] * cluster + record * 1024
        io.seek(at)
        r = bytearray(io.read(1024))
        pos = struct.unpack_from("<H", r, 20)[0]
        values = {}
        while pos + 24 <= 1024 and struct.unpack_from("<I", r, pos)[0] != 0xFFFFFFFF:
            kind, length = struct.unpack_from("<II", r, pos)
            if length == 0:
                break
            values.setdefault(kind, pos + struct.unpack_from("<H", r, pos + 20)[0])
            pos += length
        si, fn = values[0x10], values[0x30] + 8
        times = list(struct.unpack_from("<4Q", r, si))
        if method == "bytes" or method == "bytes+FN":
            back = rng.randrange(300, 3000) * DAY + rng.randrange(TICKS)
            times = [t - back for t in times]
        elif method == "bytes-forward":
            times[0] += 365 * DAY
        elif method == "bytes-seconds":
            times = [t - t % TICKS for t in times]
        assert si + 32 <= 510 and fn + 32 <= 510, "times past the first sector"
        struct.pack_into("<4Q", r, si, *times)
        if method == "bytes+FN":
            struct.pack_into("<4Q", r, fn, *times)
        io.seek(at)
        io.write(r)


def read_rows(qst, image, args):
    out = subprocess.run([qst, "-d", image, *args, "--json", "-r", "C:\\"], check=False,
                         capture_output=True, text=True).stdout
    # Entries found in index slack (with -a) are no files: they have no
    # finding.
    return {row["path"]: row for row in map(json.loads, out.splitlines())
            if row.get("finding", True) is not None}


def tally(rows, kinds):
    """{kind: [files, flagged, {sign: count}]} over the rows named in kinds."""
    result = {}
    for path, kind in kinds.items():
        row = rows.get(path)
        if row is None:
            continue
        entry = result.setdefault(kind, [0, 0, {}])
        entry[0] += 1
        entry[1] += bool(row["alerts"])
        for s in row["alerts"] + row["notes"]:
            entry[2][s] = entry[2].get(s, 0) + 1
    return result


def signs_text(signs):
    return " ".join(f"{s}:{n}" for s, n in sorted(signs.items())) or "-"


def windows_volume(qst, evidence, work, rng):
    """The Windows-made volume of the evidence, forged in its bytes each
    way on each file (windows_forgeries), and its honest rows: each state
    of a file in the shadow copies is a row of its own."""
    qcow = os.path.join(evidence, "vsstest.qcow2")
    if not os.path.exists(qcow) or shutil.which("qemu-img") is None:
        return {}, {}
    raw = os.path.join(work, "vsstest.raw")
    run("qemu-img", "convert", "-O", "raw", qcow, raw)
    forged, honest = windows_forgeries.measure(qst, raw, rng)
    return forged, {str(i): row for i, row in enumerate(honest)}


def report_windows(forged):
    print("Forged in the bytes of the Windows-made volume (qst -d IMG -n -I -L -U -S -a;")
    print("SetFileTime's ways without -L, whose log would hold the change):")
    print(f"{'way':28} {'files':>5} {'flagged':>8} {'-n -I':>6}  signs")
    for way, what, _ in windows_forgeries.WAYS:
        results = forged.get(way, [])
        signs, notes = {}, {}
        for _, alerts, _, noted in results:
            for s in alerts:
                signs[s] = signs.get(s, 0) + 1
            for s in noted:
                notes[s] = notes.get(s, 0) + 1
        flagged = sum(bool(a) for _, a, _, _ in results)
        few = sum(bool(a) for _, _, a, _ in results)
        noted = f" ({signs_text(notes)})" if notes else ""
        print(f"{way:28} {len(results):5} {flagged:8} {few:6}  {signs_text(signs)}{noted}")
    total = sum(len(v) for v in forged.values())
    flagged = sum(bool(a) for v in forged.values() for _, a, _, _ in v)
    few = sum(bool(a) for v in forged.values() for _, _, a, _ in v)
    if total:
        print(f"{'all':28} {total:5} {100 * flagged / total:7.0f}% {100 * few / total:5.0f}%\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--files", type=int, default=40, help="files of each kind and method")
    ap.add_argument("--qst", default="build/qst")
    ap.add_argument("--evidence", default=os.path.join(os.path.dirname(__file__),
                                                       "../../shared/evidence"))
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    rng = random.Random(a.seed)
    work = tempfile.mkdtemp(prefix="qst_detection_")
    image, mnt, src = f"{work}/volume.img", f"{work}/mnt", f"{work}/src"
    os.makedirs(mnt)
    try:
        megabytes = 32 + a.files * (len(METHODS) + len(HONEST)) // 8
        run("truncate", "-s", f"{megabytes}M", image)
        run("mkntfs", "-F", "-f", "-q", image, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        run("ntfs-3g", image, mnt)
        try:
            honest = make_honest(mnt, src, a.files, rng)
            forged, edits = make_forged(mnt, a.files, rng)
        finally:
            run("umount", mnt)
        honest = {windows_path(mnt, p) if p.startswith(mnt) else p: k for p, k in honest.items()}
        forged = {windows_path(mnt, p): m for p, m in forged.items()}
        ids = {p: row["index"] for p, row in read_rows(a.qst, image, []).items()}
        for p, method in edits.items():
            patch_record(image, ids[windows_path(mnt, p)], method, rng)
        rows = read_rows(a.qst, image, ["-n", "-I"])
        windows_forged, windows = windows_volume(a.qst, a.evidence, work, rng)
        report_windows(windows_forged)
        report(rows, honest, forged, windows)
    finally:
        subprocess.run(["umount", mnt], stderr=subprocess.DEVNULL, check=False)
        shutil.rmtree(work, ignore_errors=True)


def report(rows, honest, forged, windows):
    by_method = tally(rows, forged)
    by_kind = tally(rows, honest)
    if windows:
        by_kind["windows-evidence"] = tally(windows, {p: "w" for p in windows})["w"]
    print("Forged through ntfs-3g or in the bytes of an ntfs-3g volume (qst -d IMG -n -I):")
    print(f"{'method':20} {'files':>5} {'flagged':>8}  {'witness left':12} signs and notes")
    for method, _, left in METHODS:
        files, flagged, signs = by_method.get(method, [0, 0, {}])
        share = f"{100 * flagged / files:.0f}%" if files else "-"
        print(f"{method:20} {files:5} {share:>8}  {left:12} {signs_text(signs)}")
    print("\nHonest files:")
    print(f"{'kind':20} {'files':>5} {'flagged':>8}  notes")
    for kind, files_flagged in sorted(by_kind.items(), key=lambda kv: kv[0]):
        files, flagged, signs = files_flagged
        print(f"{kind:20} {files:5} {flagged:8}  {signs_text(signs)}")
    print("\nEach sign and note: files it fires on")
    names = sorted({s for t in (by_method, by_kind) for v in t.values() for s in v[2]})
    forged_total = sum(v[0] for v in by_method.values())
    honest_total = sum(v[0] for v in by_kind.values())
    print(f"{'sign or note':14} {'forged':>12} {'honest':>12}")
    for s in names:
        f = sum(v[2].get(s, 0) for v in by_method.values())
        h = sum(v[2].get(s, 0) for v in by_kind.values())
        print(f"{s:14} {f:5} ({100 * f / forged_total:3.0f}%) {h:5} ({100 * h / honest_total:3.0f}%)")
    print(f"\n{forged_total} forged files, {honest_total} honest files")


if __name__ == "__main__":
    sys.exit(main())
