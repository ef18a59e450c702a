"""A change journal ($UsnJrnl:$J) written as Windows writes one, for the
files of a Windows-made volume that keeps none, for bench/detection.py.

Each file's life as NTFS journals it: its creation (File create, then the
data written, then the close) at the creation time its $FILE_NAME holds,
which NTFS wrote; records in the order of their times, each USN the
record's offset. SetFileTime and a rename add the records NTFS writes for
them (Basic info change and its close; Rename old name, Rename new name
and its close) at the time of the change.
"""
import struct

FILE_CREATE, DATA_EXTEND, BASIC_INFO_CHANGE = 0x100, 0x2, 0x8000
RENAME_OLD, RENAME_NEW, CLOSE = 0x1000, 0x2000, 0x80000000
ARCHIVE = 0x20


def usn_record(usn, reference, parent, time, reason, name):
    """A USN_RECORD_V2, padded to 8 bytes."""
    encoded = name.encode("utf-16-le")
    length = (60 + len(encoded) + 7) & ~7
    head = struct.pack("<IHHQQqqIIIIHH", length, 2, 0, reference, parent, usn, time, reason, 0,
                       0, ARCHIVE, len(encoded), 60)
    return (head + encoded).ljust(length, b"\0")


class Journal:
    def __init__(self):
        self.events = []  # (time, order, reference, parent, reason, name)

    def add(self, time, reference, parent, name, *reasons):
        for reason in reasons:
            self.events.append((time, len(self.events), reference, parent, reason, name))

    def created(self, time, reference, parent, name):
        self.add(time, reference, parent, name, FILE_CREATE, FILE_CREATE | DATA_EXTEND,
                 FILE_CREATE | DATA_EXTEND | CLOSE)

    def times_set(self, time, reference, parent, name):
        self.add(time, reference, parent, name, BASIC_INFO_CHANGE, BASIC_INFO_CHANGE | CLOSE)

    def renamed(self, time, reference, parent, old, new):
        self.add(time, reference, parent, old, RENAME_OLD)
        self.add(time, reference, parent, new, RENAME_NEW, RENAME_NEW | CLOSE)

    def bytes(self):
        out = bytearray()
        for time, _, reference, parent, reason, name in sorted(self.events):
            out += usn_record(len(out), reference, parent, time, reason, name)
        return bytes(out)
