#!/usr/bin/env bash
# qst.exe -d under Wine against this build's qst -d, on the same raw images:
# a bare volume, MBR disks (one partition; a primary and a logical one), a
# GPT disk, a bare $MFT, and the volume as a live
# device (\\.\X: over a read-only loop device) where the machine has one.
# The records must be the same, line ends aside; containers are refused.
#   wine_images.sh QST QST_EXE
# Needs root, /dev/fuse, mkntfs, ntfs-3g, sfdisk, mmls, icat and Wine;
# skips (77) without them.
set -euo pipefail
qst=$(realpath "$1")
exe=$(realpath "$2")
wine=$(command -v /usr/lib/wine/wine64 || command -v wine64 || command -v wine || true)
for tool in mkntfs ntfs-3g sfdisk mmls icat; do
  command -v "$tool" >/dev/null || { echo "needs $tool"; exit "$([ -n "${CI:-}" ] && echo 1 || echo 77)"; }
done
if [[ $(id -u) != 0 || ! -w /dev/fuse || -z $wine ]]; then
  echo "needs root, /dev/fuse and Wine"; exit "$([ -n "${CI:-}" ] && echo 1 || echo 77)"
fi
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$(dirname "$exe")/wineprefix}

work=$(mktemp -d /tmp/qst_wine_images_XXXXXX)
loop=""
drive=$WINEPREFIX/dosdevices/x::
cleanup() {
  mountpoint -q "$work/mnt" && umount "$work/mnt"
  [[ -n $loop ]] && losetup -d "$loop"
  rm -f "$drive"
  rm -rf "$work"
}
trap cleanup EXIT

# A volume with folders, times of several grains, an object ID, and deleted
# files (one whose folder is gone too).
vol=$work/vol.img
truncate -s 16M "$vol"
mkntfs -F -f -q "$vol" >/dev/null 2>&1
mkdir "$work/mnt"
ntfs-3g "$vol" "$work/mnt"
m=$work/mnt
mkdir -p "$m/cases/photos" "$m/gone/inner" "$m/Ünïcödé"
for f in cases/memo.txt cases/photos/a.jpg cases/b.txt gone/inner/x.txt gone/y.txt Ünïcödé/名前.txt; do
  echo "$f" > "$m/$f"
done
python3 - "$m/cases/memo.txt" <<'PY'
import os, struct, sys
os.setxattr(sys.argv[1], "system.ntfs_times",
            struct.pack("<3Q", 129512692758610936, 129514863090000000, 129524953617302915))
os.setxattr(sys.argv[1], "system.ntfs_object_id", bytes(range(16, 80)))
PY
rm "$m/cases/b.txt"
rm -rf "$m/gone"
umount "$m"

# The volume at sector 2048 of a disk with the given sfdisk script.
disk() {
  local out=$1 label=$2 script=$3
  truncate -s 64M "$out"
  printf 'label: %s\n%s' "$label" "$script" | sfdisk -q "$out"
}
place() { dd if="$vol" of="$1" bs=512 seek="$2" conv=notrunc status=none; }
disk "$work/mbr.img" dos $'2048,32768,7\n34816,,E\n,32768,7\n'
place "$work/mbr.img" 2048
logical=$(mmls "$work/mbr.img" | awk '$2 == "001:000" { print $3 + 0 }')
place "$work/mbr.img" "$logical"
disk "$work/one.img" dos $'2048,32768,7\n'
place "$work/one.img" 2048
disk "$work/gpt.img" gpt $'2048,32768,EBD0A0A2-B9E5-4433-87C0-68B9B7A3EAC7\n'
place "$work/gpt.img" 2048
icat "$vol" 0 > "$work/mft.bin"
printf 'EVF\x09\x0d\x0a\xff\x00' > "$work/evidence.E01"
truncate -s 1M "$work/evidence.E01"

failures=0
win_path() { echo "Z:${1//\//\\}"; }
# Runs both with `args` around the image; the outputs must be the same once
# the image's name and the line ends are set aside, and in the layouts the
# paths (which Windows shows in the console's code page: the forms for
# other programs carry them in UTF-8 and are compared whole).
same() {
  local name=$1 image=$2; shift 2
  local linux windows paths='s/^[^|{]* |/|/; s/^  path: .*/  path:/'
  linux=$(cd "$work" && "$qst" -d "$image" "$@" 2>&1 | LC_ALL=C sed "$paths"; echo "status ${PIPESTATUS[0]}")
  windows=$(cd "$work" && "$wine" "$exe" -d "$(win_path "$image")" "$@" 2>&1 | tr -d '\r' |
            LC_ALL=C sed "$paths"; echo "status ${PIPESTATUS[0]}")
  windows=${windows//"$(win_path "$image")"/$image}
  if [[ $linux != "$windows" ]]; then
    echo "FAIL $name"; diff <(echo "$linux") <(echo "$windows") | head -20 || true
    failures=$((failures + 1))
  elif (( $(wc -l <<<"$linux") < 3 )) && [[ $name != *message* ]]; then
    echo "FAIL $name: too little output"; echo "$linux"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}
for image in vol one gpt; do
  same "$image" "$work/$image.img" -n -a -e -u -r 'C:\'
done
same mft "$work/mft.bin" -n -a -e -u -r 'C:\'
# A change journal collected apart, joined to a bare MFT's files, and listed.
# (the fuzz seed's page, past its control byte and run list of 9 bytes)
tail -c +12 "$(dirname "$0")/fuzz/corpus/fuzz_usn_journal/three-versions" >"$work/J"
same mft-usn "$work/mft.bin" --usn-journal=J -n -e -u -r 'C:\'
same vol-journal "$work/vol.img" --usn-journal=J --json
same vol-no-journal-message "$work/vol.img" -U -e -u 'C:\cases\memo.txt'
same mbr-logical "$work/mbr.img" -o "$logical" -n -a -u -r 'C:\'
same gpt-json "$work/gpt.img" --json -n -a -r 'C:\'
same vol-few-paths "$vol" -e -u -n 'C:\cases\memo.txt' 'C:\Ünïcödé\名前.txt' 'C:\none'
same two-volumes-message "$work/mbr.img" -e 'C:\'
# Each name's entry in its folder's index, with the slack, in every form.
same vol-index-entries "$work/vol.img" -I -a -n -e -u -r 'C:\'
same vol-index-json "$work/vol.img" -I -a --json -r 'C:\'
# The transaction log of a Windows volume, joined and listed, and read
# collected apart; its shadow copies read from another volume.
evidence=$(dirname "$0")/../../shared/evidence/vsstest.qcow2
if [[ -r $evidence ]] && command -v qemu-img >/dev/null; then
  qemu-img convert -O raw "$evidence" "$work/vss.img"
  icat "$work/vss.img" 2 > "$work/logfile.bin"
  icat "$work/vss.img" 0 > "$work/vss-mft.bin"
  same vss-logfile "$work/vss.img" -L -n -e -u -r 'C:\'
  same vss-logfile-json "$work/vss.img" -L --json -r 'C:\'
  same vss-logfile-only "$work/vss.img" -L --logfile-only --events
  same vss-logfile-apart "$work/vss.img" --logfile=logfile.bin --logfile-only --json
  same mft-logfile "$work/vss-mft.bin" --logfile=logfile.bin -e -u -r 'C:\'
  # Its shadow copies' data moved to a second disk, as Windows keeps shadow
  # storage on another volume.
  python3 "$(dirname "$0")/move_shadow_storage.py" "$work/vss.img" "$work/vss-moved.img" \
    "$work/vss-storage.img"
  same vss-moved-storage "$work/vss-moved.img" --shadow-storage=vss-storage.img -n -e -u -r 'C:\'
  same vss-moved-storage-json "$work/vss-moved.img" --shadow-storage=vss-storage.img --json -r 'C:\'
  # Its shadow copies, through the same reader of stores on both builds.
  same vss-snapshots "$work/vss.img" -S -n -e -u -r 'C:\'
  same vss-snapshots-json "$work/vss.img" -S --json -r 'C:\'
elif [[ -n ${CI:-} ]]; then
  echo "FAIL vss-logfile: needs $evidence and qemu-img"; failures=$((failures + 1))
fi

# FAT and exFAT: a stick's volume bare, and inside an MBR disk.
if command -v mkfs.vfat >/dev/null && command -v mcopy >/dev/null; then
  for bits in 12 32; do
    fat=$work/fat$bits.img
    truncate -s "$([[ $bits == 12 ]] && echo 4M || echo 40M)" "$fat"
    mkfs.vfat -F "$bits" "$fat" >/dev/null
    mkdir -p "$work/src/Ünïcödé dir"
    echo memo > "$work/src/A long memo name.txt"; echo x > "$work/src/Ünïcödé dir/名前.txt"
    echo gone > "$work/src/gone.txt"
    (cd "$work/src" && MTOOLS_SKIP_CHECK=1 mcopy -s -m -i "$fat" ./* ::/ &&
      MTOOLS_SKIP_CHECK=1 mdel -i "$fat" ::/gone.txt)
    same "fat$bits" "$fat" -a -e -u -r 'C:\'
  done
  same fat32-json "$work/fat32.img" --json -a -r 'C:\'
  disk "$work/fat-mbr.img" dos $'2048,,c\n'
  dd if="$work/fat32.img" of="$work/fat-mbr.img" bs=512 seek=2048 conv=notrunc status=none
  same fat32-in-mbr "$work/fat-mbr.img" -e -u -r 'C:\'
  same fat32-ntfs-only-message "$work/fat32.img" -n -e 'C:\'
elif [[ -n ${CI:-} ]]; then
  echo "FAIL fat: needs mkfs.vfat and mtools"; failures=$((failures + 1))
fi

# Containers are refused, in one line.
out=$("$wine" "$exe" -d "$(win_path "$work/evidence.E01")" 'C:\' 2>&1 | tr -d '\r'; echo "status ${PIPESTATUS[0]}")
if [[ $out == *"is an E01 image; this build reads raw images and volumes only"*"status 1" ]]; then
  echo "ok   e01-refused"
else
  echo "FAIL e01-refused: $out"; failures=$((failures + 1))
fi

# A volume without shadow copies says so, on both builds.
same vol-no-snapshots-message "$work/vol.img" -S -e 'C:\cases\memo.txt'

# A live volume: Wine's x:: names a device, here a read-only loop device.
if loop=$(losetup -r -f --show "$vol" 2>/dev/null); then
  ln -sfn "$loop" "$drive"
  linux=$("$qst" -d "$vol" --json -n -a -r 'C:\' 2>&1)
  windows=$("$wine" "$exe" -d '\\.\X:' --json -n -a -r 'C:\' 2>&1)
  # A few paths read only the records they lead to: reads of single
  # records, through whole sectors.
  # (C:\none is not found: both end with status 1.)
  linux+=$("$qst" -d "$vol" --json -n 'C:\cases\memo.txt' 'C:\Ünïcödé\名前.txt' 'C:\none' 2>&1 || true)
  windows+=$("$wine" "$exe" -d '\\.\X:' --json -n 'C:\cases\memo.txt' 'C:\Ünïcödé\名前.txt' \
             'C:\none' 2>&1 || true)
  # The line that says when the volume was made names the image as given,
  # and ends as a Windows text line does.
  windows=${windows//$'\r'/}
  linux=${linux//"qst: $vol: the volume was made"/"qst: IMAGE: the volume was made"}
  windows=${windows//'qst: \\.\X:: the volume was made'/"qst: IMAGE: the volume was made"}
  if [[ $linux == "$windows" ]]; then
    echo "ok   live-volume"
  else
    echo "FAIL live-volume"; diff <(echo "$linux") <(echo "$windows") | head -20 || true
    failures=$((failures + 1))
  fi
else
  echo "skip live-volume: no loop device"
fi

(( failures == 0 )) && echo "qst.exe -d reads every image as qst -d does"
exit $(( failures > 0 ))
