#!/usr/bin/env bash
# Makes a small NTFS disk image to try `qst -d` on:
#   scripts/sample-image.sh build/sample.img
# Its files carry times of several origins and an object ID. Filling it
# needs an ntfs-3g mount (root and /dev/fuse); without one, the files are
# copied in with ntfscp and keep the times of the copy.
set -euo pipefail
out=${1:-build/sample.img}
mkdir -p "$(dirname "$out")"
work=$(mktemp -d)
trap 'mountpoint -q "$work/mnt" && umount "$work/mnt"; rm -rf "$work"' EXIT

rm -f "$out"
truncate -s 16M "$out"
mkntfs -F -f -q -L SAMPLE "$out" >/dev/null 2>&1


mkdir "$work/mnt"
if ntfs-3g "$out" "$work/mnt" 2>/dev/null; then
  m=$work/mnt
  mkdir -p "$m/cases/photos"
  echo "meeting notes" > "$m/cases/memo.txt"
  echo "copied from a USB stick" > "$m/cases/from-fat.txt"
  echo "unpacked from a tar file" > "$m/cases/from-tar.txt"
  echo "jpeg" > "$m/cases/photos/img_0001.jpg"
  set_times() {
    python3 - "$1" "$2" "$3" "$4" <<'PY'
import os, struct, sys
path, creation, write, access = sys.argv[1], *map(int, sys.argv[2:])
os.setxattr(path, "system.ntfs_times", struct.pack("<3Q", creation, write, access),
            follow_symlinks=False)
PY
  }
  # A FAT copy keeps write times on even seconds; tar keeps whole seconds.
  set_times "$m/cases/from-fat.txt" 129512692758610936 129514863080000000 129524953617302915
  set_times "$m/cases/from-tar.txt" 129512692758610936 129514863090000000 129524953617302915
  set_times "$m/cases/memo.txt" 129512692758610936 129514863094182273 129524953617302915
  python3 -c 'import os,sys; os.setxattr(sys.argv[1], "system.ntfs_object_id", bytes.fromhex(sys.argv[2]))' \
    "$m/cases/memo.txt" \
    00C622DC0E8BE0119A3F024F7A19C3085C1E0A93D2B74F6E8A0C31F5B9D47E2680671FB007EBDF118B520261D48E057B00000000000000000000000000000000
  umount "$work/mnt"
else
  echo "meeting notes" > "$work/memo.txt"
  ntfscp -f "$out" "$work/memo.txt" memo.txt >/dev/null
fi
echo "$out"
