#!/usr/bin/env bash
# Runs qst over a fixed matrix of inputs and options and keeps what each run
# wrote (standard output, standard error, exit status), so that two builds
# can be compared byte for byte after a change that must not alter output:
#   scripts/output-matrix.sh FIXTURES OUT QST [QST_EXE]
#   diff -r OUT-before OUT-after
# FIXTURES is made on the first run and reused (the same files, so the same
# times): a tree on a noatime tmpfs, NTFS images (one made with mkntfs and
# filled through ntfs-3g, a damaged copy, a disk with two partitions, its
# MFT cut out) and, where the evidence folder has it, a Windows-made volume.
# Needs root, /dev/fuse, ntfs-3g, sleuthkit and, for QST_EXE, Wine.
set -euo pipefail
fixtures=$(realpath -m "$1")
out=$(realpath -m "$2")
qst=$(realpath "$3")
exe=${4:+$(realpath "$4")}
here=$(cd "$(dirname "$0")/.." && pwd)
evidence=$here/../shared/evidence

make_fixtures() {
  mkdir -p "$fixtures/tree"
  mountpoint -q "$fixtures/tree" || mount -t tmpfs -o noatime,size=16m tmpfs "$fixtures/tree"
  local t=$fixtures/tree
  if [ ! -e "$t/done" ]; then
    mkdir -p "$t/a/b/c" "$t/sp ace" "$t/uni-é" "$t/empty"
    printf x >"$t/a/one.txt"
    printf y >"$t/a/b/two.log"
    printf z >"$t/a/b/c/three"
    printf q >"$t/sp ace/pipe|comma,quote\"name"
    printf w >"$t/uni-é/ünï.txt"
    ln -s a/one.txt "$t/link"
    ln -s nowhere "$t/dangling"
    find "$t" -exec touch -h -d '2021-03-04 05:06:07.123456789' {} +
    touch "$t/done"
  fi
  printf '%s\n' "$t/a/one.txt" "$t/nope" "$t/a/b/" "" "$t/uni-é/ünï.txt" >"$fixtures/list.txt"

  if [ ! -e "$fixtures/sample.img" ]; then
    "$here/scripts/sample-image.sh" "$fixtures/sample.img" >/dev/null
    # A few more files, one deleted, to list with -a.
    mkdir -p "$fixtures/mnt"
    ntfs-3g "$fixtures/sample.img" "$fixtures/mnt"
    mkdir -p "$fixtures/mnt/gone/deep"
    echo a >"$fixtures/mnt/gone/deep/x.txt"
    echo b >"$fixtures/mnt/gone/y.txt"
    echo c >"$fixtures/mnt/cases/deleted.txt"
    for i in $(seq 1 40); do echo "$i" >"$fixtures/mnt/cases/file-$i.dat"; done
    echo d >"$fixtures/mnt/Long Name With Spaces.txt"
    sync
    rm -rf "$fixtures/mnt/gone" "$fixtures/mnt/cases/deleted.txt"
    umount "$fixtures/mnt"
  fi
  if [ ! -e "$fixtures/damaged.img" ]; then
    cp "$fixtures/sample.img" "$fixtures/damaged.img"
    # Two records in the middle of the MFT overwritten.
    local mft
    mft=$(ntfsinfo -m "$fixtures/sample.img" 2>/dev/null | awk '/MFT LCN/ {print $NF}')
    dd if=/dev/zero of="$fixtures/damaged.img" bs=1024 seek=$((mft * 4 + 64)) count=2 \
      conv=notrunc status=none
    dd if=/dev/urandom of="$fixtures/damaged.img" bs=1024 seek=$((mft * 4 + 66)) count=1 \
      conv=notrunc status=none
    truncate -s 15M "$fixtures/damaged.img"
  fi
  if [ ! -e "$fixtures/disk.img" ]; then
    truncate -s 40M "$fixtures/disk.img"
    printf 'label: dos\n2048,32768,7\n36864,,7\n' | sfdisk -q "$fixtures/disk.img"
    dd if="$fixtures/sample.img" of="$fixtures/disk.img" bs=512 seek=2048 conv=notrunc status=none
    dd if="$fixtures/sample.img" of="$fixtures/disk.img" bs=512 seek=36864 count=32768 \
      conv=notrunc status=none
  fi
  [ -e "$fixtures/mft.bin" ] || icat "$fixtures/sample.img" 0 >"$fixtures/mft.bin"
  if [ ! -e "$fixtures/vss.raw" ] && [ -e "$evidence/vsstest.qcow2" ]; then
    qemu-img convert -O raw "$evidence/vsstest.qcow2" "$fixtures/vss.raw"
  fi
  mkdir -p "$fixtures/mnt"
  mountpoint -q "$fixtures/mnt" || ntfs-3g -o ro "$fixtures/sample.img" "$fixtures/mnt"
}

make_fixtures
rm -rf "$out"
mkdir -p "$out"
n=0
# run NAME ARGS...: qst with ARGS, its three results kept under NAME.
run() {
  local name=$1
  shift
  n=$((n + 1))
  local base
  base=$out/$(printf '%03d' "$n")-$name
  (cd "$fixtures" && TZ=Europe/Berlin "${prog[@]}" "$@" >"$base.out" 2>"$base.err" </dev/null) &&
    echo 0 >"$base.status" || echo $? >"$base.status"
}

prog=("$qst")
t=$fixtures/tree
m=$fixtures/mnt
# The machine's own file systems.
run tree-r -r "$t"
run tree-e -e -r "$t/"
run tree-eu -e -u -i -r "$t"
run tree-json --json -r "$t"
run tree-csv --csv -r "$t"
run tree-body --bodyfile -r "$t"
run tree-wild -e -u "$t/a/*" "$t/*.none"
run tree-wild-r -e -u -r "$t/a*"
run tree-list -e -u -l list.txt
run tree-plain "$t/link" "$t/dangling" "$t/nope" "$t/a/"
run tree-j4 -e -u -j 4 -r "$t"
run mount-e -e -u -r "$m"
run mount-block -r "$m/cases"
run mount-json --json -r "$m"
run mount-j8 -e -u -j 8 -r "$m"
# Usage and errors.
run usage
run help -h
run help-long --help
run version --version
run bad-option -y -h a
run l-and-r -l -r a
run json-csv --json --csv a
run e-json -e --json a
run o-no-d -o 5 a
run n-no-d -n a
run a-no-d -a a
run jobs-bad -j 0 a
run jobs-word -j many a
run ambiguous --j a
run d-missing -d nowhere.img 'C:\'
run d-not-ntfs -d list.txt 'C:\'
run o-word -d sample.img -o sector 'C:\'
run wild-r -r "$t/*/b"
run list-missing -l nolist.txt
# Images, every form.
for img in sample.img damaged.img vss.raw; do
  [ -e "$fixtures/$img" ] || continue
  i=${img%%.*}
  run "$i-r" -d "$img" -r 'C:\'
  run "$i-e" -d "$img" -e -r 'C:\'
  run "$i-eui" -d "$img" -e -u -i -r 'C:\'
  run "$i-n" -d "$img" -n -r 'C:\'
  run "$i-a" -d "$img" -a -e -u -r 'C:\'
  run "$i-na" -d "$img" -n -a -e -u -r 'C:'
  run "$i-json" -d "$img" --json -n -a -r 'C:\'
  run "$i-csv" -d "$img" --csv -n -a -r 'C:\'
  run "$i-body" -d "$img" --bodyfile -n -a -r 'C:\'
  run "$i-sub" -d "$img" -e -u -r 'C:\cases\'
  run "$i-sys" -d "$img" -e -u -r 'C:\$Extend'
  run "$i-orphan" -d "$img" -a -e -u -r 'C:\$Orphan\'
  run "$i-paths" -d "$img" -n -e -u 'C:\cases\memo.txt' 'c:\CASES\MEMO.TXT' 'C:\nope' \
    'C:\cases\' 'C:\cases\memo.txt\' '\cases\..\cases\.\from-fat.txt' 'C:\$MFT' 'C:\a*b\c' \
    'C:\$Extend\$ObjId' 'C:\' 'C:' 'C:\System Volume Information' 'C:\cases\nope\x'
  run "$i-paths-a" -d "$img" -a -e -u 'C:\cases\deleted.txt' 'C:\$Orphan\' 'C:\$Orphan'
  run "$i-wild" -d "$img" -e -u 'C:\cases\*.txt' 'C:\*' 'C:\cases\file-?.dat' 'C:\*.*'
  run "$i-wild-r" -d "$img" -e -u -r 'C:\cas*'
  run "$i-file-r" -d "$img" -e -u -r 'C:\cases\memo.txt'
  run "$i-j" -d "$img" -e -u -j 4 -r 'C:\'
  # The witnesses beside the record, each form.
  run "$i-U" -d "$img" -U -e -r 'C:\'
  run "$i-U-block" -d "$img" -U -a -r 'C:\'
  run "$i-nU-json" -d "$img" --json -n -U -r 'C:\'
  run "$i-U-csv" -d "$img" --csv -U -a -r 'C:\'
  run "$i-S" -d "$img" -S -a -e -r 'C:\'
  run "$i-S-block" -d "$img" -S -r 'C:\'
  run "$i-S-json" -d "$img" --json -S -a -r 'C:\'
  run "$i-S-csv" -d "$img" --csv -S -r 'C:\'
  run "$i-US-csv" -d "$img" --csv -U -S -a -r 'C:\'
  run "$i-nUS" -d "$img" -n -U -S -a -r 'C:\'
  run "$i-nUS-e" -d "$img" -n -U -S -a -e -u -j 2 -r 'C:\'
  run "$i-events" -d "$img" --events -n -U -S -a -r 'C:\'
  run "$i-events-S" -d "$img" --events -S -r 'C:\'
  run "$i-body-US" -d "$img" --bodyfile -n -U -S -a -r 'C:\'
  run "$i-report" -d "$img" --report=page.html -n -U -S -a -e -r 'C:\'
  mv "$fixtures/page.html" "$out/$(printf '%03d' "$n")-$i-report.html" 2>/dev/null || true
  run "$i-report-only" -d "$img" --report=page.html -a -r 'C:\'
  mv "$fixtures/page.html" "$out/$(printf '%03d' "$n")-$i-report-only.html" 2>/dev/null || true
  if [ -e "$evidence/usn-sample.bin" ]; then
    for form in -e --json --csv --bodyfile --events ''; do
      run "$i-Ufile$form" -d "$img" --usn-journal="$evidence/usn-sample.bin" -S $form -r 'C:\'
    done
  fi
  for form in -e --json --csv --bodyfile --events ''; do
    run "$i-journal$form" -d "$img" -U --journal-only $form
  done
done
if [ -e "$evidence/usn-sample.bin" ]; then
  for form in -e --json --csv --bodyfile --events ''; do
    run "usn-file$form" --usn-journal="$evidence/usn-sample.bin" $form
  done
fi
printf '%s\n' 'C:\cases\memo.txt' 'C:\nope' '\cases\photos\' >"$fixtures/image-list.txt"
run image-list -d sample.img -e -u -l image-list.txt
run disk-choose -d disk.img -r 'C:\'
run disk-o -d disk.img -o 2048 -e -u -r 'C:\'
run disk-o2 -d disk.img -o 36864 -n -e -u 'C:\cases\memo.txt'
run disk-o-bad -d disk.img -o 7 'C:\'
run mft -d mft.bin -n -a -e -u -r 'C:\'
run mft-paths -d mft.bin -e -u 'C:\cases\memo.txt' 'C:\nope'
if [ -n "$exe" ] && command -v wine >/dev/null; then
  export WINEDEBUG=-all
  prog=("$(command -v /usr/lib/wine/wine64 || command -v wine64 || command -v wine)" "$exe")
  run wine-img -d sample.img -n -a -e -u -r 'C:\'
  run wine-json -d sample.img --json -r 'C:\'
  run wine-paths -d sample.img -e -u 'C:\cases\memo.txt' 'C:\nope'
  run wine-mft -d mft.bin -e -u -r 'C:\'
  run wine-tree -e -u -r 'Z:'"${t//\//\\}"
  run wine-usage
  run wine-bad -d nowhere.img 'C:\'
fi
echo "$n runs in $out"
