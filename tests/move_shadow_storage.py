#!/usr/bin/env python3
"""Moves the shadow copies' data of a volume to a second disk, laid out as
Windows lays out shadow storage kept on another volume (vssadmin add
shadowstorage /for=C: /on=D:): the copied volume keeps its catalog's type 2
entries (which stores, when made) and names the storage volume in its
shadow-copy header; the storage volume's catalog holds the type 3 entries
(where each store's header, block list, block ranges and bitmaps lie, in
its own offsets), and the stores' data blocks lie there.

  move_shadow_storage.py VOLUME MOVED_VOLUME STORAGE_DISK

VOLUME is read; MOVED_VOLUME is VOLUME with only its catalog and header
changed; STORAGE_DISK is an MBR disk whose one partition (at sector 2048) is
a fresh NTFS volume holding the stores' data. Needs mkntfs and sfdisk.
"""
import shutil
import struct
import subprocess
import sys

BLOCK = 0x4000
HEADER = 0x1E00
PARTITION = 2048 * 512
STORAGE_SIZE = 64 << 20
PLACE_FROM = 40 << 20  # where the moved structures start in the storage volume
STORAGE_ID = bytes.fromhex("5d3bd3b1a3f74c1a9e25c0ffee5a1e01")


def u64(b, at):
    return struct.unpack_from("<Q", b, at)[0]


def put64(b, at, v):
    struct.pack_into("<Q", b, at, v)


class Mover:
    def __init__(self, volume, storage):
        self.volume = volume  # file object of the copied volume, read
        self.storage = storage  # file object of the storage disk, written
        self.next = PLACE_FROM
        self.moved = {}

    def read(self, at, size=BLOCK):
        self.volume.seek(at)
        return bytearray(self.volume.read(size))

    def write(self, at, data):
        self.storage.seek(PARTITION + at)
        self.storage.write(data)

    def place(self, at):
        """The storage volume's offset for the copied volume's block `at`."""
        if at not in self.moved:
            self.moved[at] = self.next
            self.next += BLOCK
            if self.next > STORAGE_SIZE:
                sys.exit("the stores do not fit the storage volume")
        return self.moved[at]

    def chain(self, at, each=None):
        """Moves the chain of blocks from `at`, its links rewritten."""
        if at == 0:
            return 0
        links, seen = [], set()
        while at != 0 and at not in seen:
            seen.add(at)
            links.append(at)
            at = u64(self.read(at, 128), 0x28)
        for i, old in enumerate(links):
            block = self.read(old)
            put64(block, 0x20, self.place(old))
            put64(block, 0x28, self.place(links[i + 1]) if i + 1 < len(links) else 0)
            if each:
                each(block)
            self.write(self.place(old), block)
        return self.place(links[0])

    def descriptors(self, block):
        """Moves the data each descriptor of a block list block names."""
        for d in range(128, BLOCK, 32):
            offset = u64(block, d + 0x10)
            flags = struct.unpack_from("<I", block, d + 0x18)[0]
            if offset == 0 or flags & 1:
                continue
            base = offset - offset % BLOCK
            new = self.place(base)
            self.write(new, self.read(base))
            put64(block, d + 0x10, new + offset % BLOCK)


def main():
    source, moved, disk = sys.argv[1:4]
    subprocess.run(["cp", "--sparse=always", source, moved], check=True)
    subprocess.run(["truncate", "-s", str(PARTITION + STORAGE_SIZE), disk], check=True)
    subprocess.run(["sfdisk", "-q", disk], input=b"label: dos\nstart=2048, type=7\n", check=True)
    part = disk + ".part"
    subprocess.run(["truncate", "-s", str(STORAGE_SIZE), part], check=True)
    subprocess.run(["mkntfs", "-F", "-f", "-q", "-p", "2048", part], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(part, "rb") as p, open(disk, "r+b") as d:
        d.seek(PARTITION)
        shutil.copyfileobj(p, d)
    subprocess.os.unlink(part)

    with open(source, "rb") as volume, open(disk, "r+b") as storage, \
            open(moved, "r+b") as out:
        mover = Mover(volume, storage)
        header = mover.read(HEADER, 512)
        catalog_at = u64(header, 0x30)
        catalog = mover.read(catalog_at)
        # The storage volume's catalog: one block, the type 3 entries.
        theirs = bytearray(BLOCK)
        theirs[:128] = catalog[:128]
        put64(theirs, 0x18, 0)
        put64(theirs, 0x28, 0)
        put64(theirs, 0x20, mover.place(catalog_at))
        kept = 128
        for e in range(128, BLOCK, 128):
            entry = catalog[e:e + 128]
            if u64(entry, 0) != 3:
                continue
            put64(entry, 8, mover.chain(u64(entry, 8), mover.descriptors))
            for field in (0x20, 0x28, 0x30, 0x48):
                put64(entry, field, mover.chain(u64(entry, field)))
            theirs[kept:kept + 128] = entry
            kept += 128
            catalog[e:e + 128] = bytes(128)  # the copied volume keeps no type 3
        mover.write(mover.place(catalog_at), theirs)
        storage_header = bytearray(header)
        storage_header[64:80] = STORAGE_ID
        storage_header[80:96] = STORAGE_ID
        put64(storage_header, 0x30, mover.place(catalog_at))
        mover.write(HEADER, storage_header)
        header[80:96] = STORAGE_ID
        out.seek(HEADER)
        out.write(header)
        out.seek(catalog_at)
        out.write(catalog)


if __name__ == "__main__":
    main()
