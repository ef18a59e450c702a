"""Forgeries made in the bytes of a Windows-made NTFS volume, the ways a
forger with a hex editor or SetFileTime works, for bench/detection.py.

Each way is applied to one user file at a time on the raw volume, in the
record's bytes and in the folder's index blocks (their fixups kept valid,
so that The Sleuth Kit reads the records as before), `qst` reads the
volume with every witness it has, and the bytes are put back.

SetFileTime goes through NTFS, which logs the change: a log that does not
hold it would be a forgery of its own. Those ways are read without `-L`;
the ways done in the record's bytes with every witness on.
"""
import json
import os
import struct
import subprocess
import tempfile

from windows_journal import Journal

TICKS = 10_000_000
HOUR = 3600 * TICKS
DAY = 24 * HOUR
YEAR = 365 * DAY

SI, FN, INDEX_ROOT, INDEX_ALLOCATION = 0x10, 0x30, 0x90, 0xA0
LONG, SHORT, BOTH = 1, 2, 3  # $FILE_NAME name spaces

# (way, what it does, how: "bytes" or "api", what it edits)
WAYS = [
    ("write-back", "$SI write time alone set back 3 hours", "bytes"),
    ("creation-back", "$SI creation alone set back a year", "bytes"),
    ("creation-forward", "$SI creation alone set a year forward", "bytes"),
    ("si-back", "all four $SI times set back a year", "bytes"),
    ("si-seconds", "$SI creation, write, access cut to whole seconds", "bytes"),
    ("long-name-too", "$SI, the long $FILE_NAME and its $I30 entry set back 3 hours, "
     "the 8.3 name left", "bytes"),
    ("all-back", "$SI, every $FILE_NAME and $I30 entry set back 3 hours", "bytes"),
    ("all-forward", "$SI, every $FILE_NAME and $I30 entry set a year forward", "bytes"),
    ("all-copied", "$SI, every $FILE_NAME and $I30 entry given another file's times", "bytes"),
    ("setfiletime-seconds+renames", "SetFileTime to whole seconds a year back, then two "
     "renames (which copy $SI into every $FILE_NAME and its entry)", "api"),
]


class Volume:
    """A raw NTFS volume opened for reading and writing its records."""

    def __init__(self, path):
        self.io = open(path, "r+b")
        boot = self.read(0, 512)
        self.sector = struct.unpack_from("<H", boot, 0x0B)[0]
        self.cluster = self.sector * boot[0x0D]
        self.record_size = self.size_of(boot[0x40])
        self.block_size = self.size_of(boot[0x44])
        mft_at = struct.unpack_from("<Q", boot, 0x30)[0] * self.cluster
        first = fixed(self.read(mft_at, self.record_size), self.sector)
        self.mft_runs = self.runs(first, 0x80)

    def size_of(self, value):
        value = value - 256 if value > 127 else value
        return value * self.cluster if value > 0 else 1 << -value

    def read(self, at, size):
        self.io.seek(at)
        return self.io.read(size)

    def write(self, at, data):
        self.io.seek(at)
        self.io.write(data)

    def runs(self, record, kind):
        """The runs (byte offset, bytes) of the first non-resident attribute
        of `kind` in a record."""
        for pos, attr_kind, resident in attributes(record):
            if attr_kind != kind or resident:
                continue
            at = pos + struct.unpack_from("<H", record, pos + 0x20)[0]
            out, lcn = [], 0
            while record[at] != 0:
                lens, offs = record[at] & 15, record[at] >> 4
                length = int.from_bytes(record[at + 1:at + 1 + lens], "little")
                delta = int.from_bytes(record[at + 1 + lens:at + 1 + lens + offs], "little",
                                       signed=True)
                lcn += delta
                out.append((lcn * self.cluster, length * self.cluster))
                at += 1 + lens + offs
            return out
        return []

    def record_offset(self, number):
        skip = number * self.record_size
        for at, size in self.mft_runs:
            if skip < size:
                return at + skip
            skip -= size
        raise ValueError(f"record {number} beyond the MFT")

    def index_blocks(self, folder_record):
        for at, size in self.runs(self.record(folder_record)[1], INDEX_ALLOCATION):
            for block in range(at, at + size, self.block_size):
                yield block

    def record(self, number):
        at = self.record_offset(number)
        return at, fixed(self.read(at, self.record_size), self.sector)

    def put(self, at, data):
        """Writes a record or index block back with its fixups."""
        self.write(at, refixed(data, self.sector))


def fixed(data, sector):
    data = bytearray(data)
    usa, count = struct.unpack_from("<HH", data, 4)
    for i in range(1, count):
        data[i * sector - 2:i * sector] = data[usa + 2 * i:usa + 2 * i + 2]
    return data


def refixed(data, sector):
    data = bytearray(data)
    usa, count = struct.unpack_from("<HH", data, 4)
    for i in range(1, count):
        data[usa + 2 * i:usa + 2 * i + 2] = data[i * sector - 2:i * sector]
        data[i * sector - 2:i * sector] = data[usa:usa + 2]
    return data


def attributes(record):
    pos = struct.unpack_from("<H", record, 0x14)[0]
    while pos + 16 <= len(record):
        kind, length = struct.unpack_from("<II", record, pos)
        if kind == 0xFFFFFFFF or length == 0:
            return
        yield pos, kind, record[pos + 8] == 0
        pos += length


def value_of(record, pos):
    return pos + struct.unpack_from("<H", record, pos + 0x14)[0]


def index_entries(node, header):
    """The $FILE_NAME keys of an index node: (key offset) of each entry."""
    first, used = struct.unpack_from("<II", node, header)
    at, end = header + first, header + used
    while at + 16 <= end:
        length, key = struct.unpack_from("<HH", node, at + 8)
        flags = struct.unpack_from("<I", node, at + 12)[0]
        if flags & 2 or length == 0:
            return
        if key >= 0x42:
            yield at
        at += length


def patch_times(data, at, times):
    for i, t in enumerate(times):
        if t is not None:
            struct.pack_into("<Q", data, at + 8 * i, t)


def forge(volume, record, parent, change):
    """Applies `change(where, times, space)` to $SI (space None), each
    $FILE_NAME and each of the folder's entries naming the record; returns
    the original bytes to put back: [(offset, bytes)]."""
    undo = []
    at, data = volume.record(record)
    undo.append((at, volume.read(at, volume.record_size)))
    for pos, kind, resident in attributes(data):
        if not resident or kind not in (SI, FN):
            continue
        value = value_of(data, pos)
        times_at = value if kind == SI else value + 8
        space = None if kind == SI else data[value + 0x41]
        times = list(struct.unpack_from("<4Q", data, times_at))
        patch_times(data, times_at, change("si" if kind == SI else "fn", times, space))
    volume.put(at, data)

    def entries(node, header):
        changed = False
        for entry in index_entries(node, header):
            if struct.unpack_from("<Q", node, entry)[0] & 0xFFFFFFFFFFFF != record:
                continue
            key = entry + 16
            times = list(struct.unpack_from("<4Q", node, key + 8))
            patch_times(node, key + 8, change("i30", times, node[key + 0x41]))
            changed = True
        return changed

    at, data = volume.record(parent)
    for pos, kind, resident in attributes(data):
        if kind == INDEX_ROOT and resident:
            if entries(data, value_of(data, pos) + 16):
                undo.append((at, volume.read(at, volume.record_size)))
                volume.put(at, data)
    for block in volume.index_blocks(parent):
        raw = volume.read(block, volume.block_size)
        if raw[:4] != b"INDX":
            continue
        node = fixed(raw, volume.sector)
        if entries(node, 0x18):
            undo.append((block, raw))
            volume.put(block, node)
    return undo


def change_for(way, donor, rng):
    """The change a way makes: f(what, times, space) -> new times (None:
    kept), times as creation, write, change, access."""
    back, forward = 3 * HOUR + rng.randrange(TICKS), YEAR + rng.randrange(TICKS)
    whole = lambda t: t - t % TICKS  # noqa: E731
    setfiletime = {}

    def f(what, t, space):
        if way == "write-back":
            return [None, t[1] - back, None, None] if what == "si" else [None] * 4
        if way == "creation-back":
            return [t[0] - YEAR, None, None, None] if what == "si" else [None] * 4
        if way == "creation-forward":
            return [t[0] + forward, None, None, None] if what == "si" else [None] * 4
        if way == "si-back":
            return [x - YEAR for x in t] if what == "si" else [None] * 4
        if way == "si-seconds":
            return [whole(t[0]), whole(t[1]), None, whole(t[3])] if what == "si" else [None] * 4
        if way == "long-name-too":
            return [x - back for x in t] if space != SHORT else [None] * 4
        if way == "all-back":
            return [x - back for x in t]
        if way == "all-forward":
            return [x + forward for x in t]
        if way == "all-copied":
            return list(donor)
        if way == "setfiletime-seconds+renames":
            # $SI first: creation, write and access on whole seconds a year
            # back, the change time the clock's at the last rename; every
            # name then takes $SI's four.
            if "si" not in setfiletime:
                assert what == "si", "$SI comes first in a record"
                setfiletime["si"] = [whole(t[0] - YEAR), whole(t[1] - YEAR),
                                     t[2] + DAY + rng.randrange(1, TICKS), whole(t[3] - YEAR)]
            return setfiletime["si"]
        raise ValueError(way)
    f.setfiletime = setfiletime
    return f


def read_rows(qst, image, witnesses):
    out = subprocess.run([qst, "-d", image, *witnesses, "--json", "-r", "C:\\"], check=False,
                         capture_output=True, text=True).stdout
    return [row for row in map(json.loads, out.splitlines()) if row.get("finding") is not None]


ALL = ["-n", "-I", "-L", "-U", "-S", "-a"]
FEW = ["-n", "-I"]


def reference(volume, record):
    """The file reference of a record: its number, its sequence number."""
    return record | struct.unpack_from("<H", volume.record(record)[1], 0x10)[0] << 48


def honest_journal(volume, files):
    """The journal Windows would have kept of `files` ({path: record})."""
    journal = Journal()
    for path, record in files.items():
        data = volume.record(record)[1]
        for pos, kind, resident in attributes(data):
            if kind == FN and resident:
                value = value_of(data, pos)
                created = struct.unpack_from("<Q", data, value + 8)[0]
                journal.created(created, reference(volume, record),
                                reference(volume, parent_of(volume, record)),
                                path.rsplit("\\", 1)[1])
                break
    return journal


def with_journal(witnesses, journal_path):
    return [f"--usn-journal={journal_path}" if w == "-U" else w for w in witnesses]


def measure(qst, image, rng):
    """{way: [(path, alerts with every witness, alerts with -n -I, notes
    with every witness)]} for
    each file Windows made on the volume, and the honest volume's rows."""
    journal_path = os.path.join(tempfile.mkdtemp(prefix="qst-journal-"), "J")
    # The volume keeps no journal: the one Windows would have kept of its
    # files is read beside it, found by the files Windows made.
    rows = read_rows(qst, image, [w for w in ALL if w != "-U"])
    files = {row["path"]: row["index"] for row in rows
             if row["state"] == "in use" and row.get("snapshot") is None
             and not row["folder"] and not row["path"].startswith("C:\\$")}
    volume = Volume(image)
    journal = honest_journal(volume, files)
    with open(journal_path, "wb") as out:
        out.write(journal.bytes())
    honest = read_rows(qst, image, with_journal(ALL, journal_path))
    donor_path = sorted(files)[0]
    data, pos = first_si(volume, files[donor_path])
    donor = list(struct.unpack_from("<4Q", data, value_of(data, pos)))
    results = {}
    for way, _, how in WAYS:
        for path, record in sorted(files.items()):
            has_short = any(data_space == SHORT for data_space in spaces(volume, record))
            if way == "long-name-too" and not has_short:
                continue
            if way == "all-copied" and path == donor_path:
                continue
            change = change_for(way, donor, rng)
            undo = forge(volume, record, parent_of(volume, record), change)
            volume.io.flush()
            forged_journal = Journal()
            forged_journal.events = list(journal.events)
            if how == "api":
                # SetFileTime, then two renames; the last wrote the change time.
                at, name = change.setfiletime["si"][2], path.rsplit("\\", 1)[1]
                ref, parent = reference(volume, record), reference(volume, parent_of(volume, record))
                forged_journal.times_set(at - 2 * TICKS, ref, parent, name)
                forged_journal.renamed(at - TICKS, ref, parent, name, name + "~")
                forged_journal.renamed(at, ref, parent, name + "~", name)
            with open(journal_path, "wb") as out:
                out.write(forged_journal.bytes())
            try:
                # The records stay valid: The Sleuth Kit reads them as before.
                subprocess.run(["istat", image, str(record)], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                alerts, notes = [], []
                for witnesses in (with_journal(ALL, journal_path), FEW):
                    if how == "api":
                        witnesses = [w for w in witnesses if w != "-L"]
                    row = next(r for r in read_rows(qst, image, witnesses)
                               if r["path"] == path and r.get("state", "in use") == "in use"
                               and r.get("snapshot") is None)
                    alerts.append(row["alerts"])
                    if len(alerts) == 1:  # every witness on
                        notes = row["notes"]
            finally:
                for at, data in undo:
                    volume.write(at, data)
                volume.io.flush()
            results.setdefault(way, []).append((path, *alerts, notes))
    return results, honest


def first_si(volume, record):
    data = volume.record(record)[1]
    for pos, kind, resident in attributes(data):
        if kind == SI and resident:
            return data, pos
    raise ValueError("no $STANDARD_INFORMATION")


def parent_of(volume, record):
    data = volume.record(record)[1]
    for pos, kind, resident in attributes(data):
        if kind == FN and resident:
            return struct.unpack_from("<Q", data, value_of(data, pos))[0] & 0xFFFFFFFFFFFF
    raise ValueError("no $FILE_NAME")


def spaces(volume, record):
    data = volume.record(record)[1]
    for pos, kind, resident in attributes(data):
        if kind == FN and resident:
            yield data[value_of(data, pos) + 0x41]
