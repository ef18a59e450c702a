#!/usr/bin/env bash
# Runs qst.exe under Wine on a tree of this machine and compares its whole
# output with the expected texts. The values Wine makes up or the host
# decides (change and creation times, a folder's access time, the object
# identifier Wine derives from the inode) are replaced by placeholders; the
# file index is checked against the inode number.
#   wine_e2e.sh QST_EXE EXPECTED_DIR
# With QST_UPDATE_EXPECTED=1 the expected texts are written instead (review
# them before committing).
set -euo pipefail
qst=$(realpath "$1")
expected=$2/wine
wine=$(command -v /usr/lib/wine/wine64 || command -v wine64 || command -v wine)
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$(dirname "$qst")/wineprefix}

work=$(mktemp -d /tmp/qst_wine_XXXXXX)
root=$work/tree
winroot="Z:${root//\//\\}"

mkdir -p "$root/top/sub"
for f in top/a.txt top/sub/b.txt top/z.txt memo.txt; do echo "$f" > "$root/$f"; done
# 2011-01-30 08:00:00.123456789 UTC; FILETIME keeps 100 ns of it.
for f in top/a.txt top/sub/b.txt top/z.txt memo.txt top/sub top; do
  touch -d '@1296374400.123456789' "$root/$f"
done
printf '%s\r\n%s\r\n\r\n%s' "$winroot\\memo.txt" "$winroot\\top\\*" "$winroot\\top\\z.txt" \
  > "$root/list.txt"
# The same list as PowerShell 5 writes it (UTF-16 with a byte-order mark)
# and as Notepad may (UTF-8 with one): read as the plain one is.
{ printf '\xFF\xFE'; iconv -f UTF-8 -t UTF-16LE "$root/list.txt"; } > "$root/list16.txt"
{ printf '\xEF\xBB\xBF'; cat "$root/list.txt"; } > "$root/list8.txt"
# A link back up the tree, which Wine shows as a plain folder.
mkdir -p "$root/cycle/sub"
ln -s .. "$root/cycle/sub/up"
touch -d '@1296374400.123456789' "$root/cycle/sub" "$root/cycle"
# A name that the console's code page cannot show.
mkdir -p "$root/names"
touch -d '@1296374400.123456789' "$root/names/plain.txt" "$root/names/日本.txt"
# A drive of its own, to walk a volume root.
drive=$WINEPREFIX/dosdevices/q:
trap 'rm -rf "$work"; rm -f "$drive"' EXIT
ln -sfn "$root/cycle" "$drive"

# The host path of a printed path.
host_path() {
  local unix=${1//\\//}
  unix=${unix/#Q:/$root/cycle}
  echo "${unix/#ROOT/$root}"
}

# Placeholders for the host's values; "index ok" when the index is the
# inode's low 32 bits. Wine's listing of a folder may refresh the folder's
# access time on the host, so that is a host value too.
normalize() {
  local line path="" id
  while IFS= read -r line; do
    line=${line%$'\r'}
    line=${line//"$winroot"/ROOT}
    case "$line" in
      " ctime: "*|"crtime: "*) line="${line%%:*}: <host time>" ;;
      " atime: "*) [[ -d $(host_path "$path") ]] && line=" atime: <host time>" ;;
      "   OID: "*|"  oseq: "*) line="${line%%:*}: <wine>" ;;
      "    ID: "*) id=${line#    ID: }; id=${id% }; line="    ID: $(check_id "$path" "$id")" ;;
      "  path: "*) path=${line#  path: }; path=${path% } ;;
      "Unknown Error") continue ;;  # Wine's identifiers carry no valid time
      "ROOT"*" |"*|"Q:"*" |"*)
        IFS='|' read -r -a f <<< "$line"
        path=${f[0]% }
        f[1]="$(check_id "$path" "${f[1]% }") "
        f[4]="<host time> "; f[5]="<host time> "
        [[ -d $(host_path "$path") ]] && f[2]="<host time> "
        if (( ${#f[@]} > 7 )); then f[7]="<wine> "; f[9]="<wine> "; f[10]="<wine> "; fi
        line=$(IFS='|'; echo "${f[*]}")
        ;;
    esac
    printf '%s\n' "$line"
  done
}

check_id() {
  local inode
  inode=$(stat -c %i "$(host_path "$1")" 2>/dev/null) || { echo "<no such host path>"; return; }
  (( (inode & 0xFFFFFFFF) == ($2 & 0xFFFFFFFF) )) && echo "<index ok>" || echo "$2 (inode $inode)"
}

failures=0
check() {
  local name=$1; shift
  local raw status
  set +e
  raw=$(cd "$work" && "$wine" "$qst" "$@" 2>"$work/stderr"; echo "status $?")
  set -e
  if [[ $raw == *$'\n'* && $raw != *$'\r\n'* && $name != *error* ]]; then
    echo "FAIL $name: lines do not end with CR LF"; failures=$((failures + 1))
  fi
  local actual
  actual=$(printf '%s\n' "$raw" | normalize; sed -e 's/^.*qst\.exe: /qst.exe: /' -e 's/^/stderr: /' "$work/stderr")
  if [[ ${QST_UPDATE_EXPECTED:-} == 1 ]]; then
    printf '%s\n' "$actual" > "$expected/$name.txt"
  fi
  if ! diff -u "$expected/$name.txt" <(printf '%s\n' "$actual"); then
    echo "FAIL $name"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

check file-block -u "$winroot\\memo.txt"
check folder-and-missing -u -i "$winroot\\top" "$winroot\\top\\" "$winroot\\missing.txt"
check wildcard-rows -u -e "$winroot\\top\\*" "$winroot\\*.none"
check recursive-rows -e -u -r "$winroot\\top"
check list-file -e -u -l "$winroot\\list.txt"
check list-file -e -u -l "$winroot\\list16.txt"
check list-file -e -u -l "$winroot\\list8.txt"
check link-cycle -e -u -r "$winroot\\cycle"
check volume-root -e -u -r Q: Q:\\
check unshowable-name -e -u "$winroot\\names\\*" "$winroot\\memo.txt"
check usage-error -y
check missing-image -d disk.img "C:\\"
TZ=JST-9 check local-zone "$winroot\\memo.txt"

# The forms for other programs: the program's bytes (UTF-8, line ends as
# written) whatever the console's code page, read by their readers.
forms() {
  local name=$1 reader=$2; shift 2
  set +e
  (cd "$work" && "$wine" "$qst" "$@" >"$work/form" 2>"$work/stderr")
  set -e
  if ! "$reader" "$work/form"; then
    echo "FAIL $name"; failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}
json_names() {
  [[ $(jq -r 'select(.error == null) | .path' "$1") == *"$winroot\\names\\日本.txt"* ]] &&
    [[ $(jq -c 'select(.error) | .error.code' "$1") == 2 ]] && ! grep -q $'\r' "$1"
}
json_times() { [[ $(jq -r .times.mtime.utc "$1") == 2011-01-30T08:00:00.1234567Z ]]; }
csv_rows() {
  python3 - "$1" <<'PY'
import csv, sys
rows = list(csv.reader(open(sys.argv[1], newline="", encoding="utf-8")))
assert all(len(r) == len(rows[0]) for r in rows), rows
assert any(r[0].endswith("\\names\\日本.txt") for r in rows), rows
assert b"\r\r" not in open(sys.argv[1], "rb").read()
PY
}
body_lines() {
  grep -q '|1296374400.1234567|' "$1" && mactime -b "$1" -d -y -z UTC >"$work/timeline" 2>&1 &&
    ! grep -qi warn "$work/timeline" && grep -q '2011-01-30T08:00:00Z' "$work/timeline"
}
forms json-lines json_names --json -r "$winroot\\names" "$winroot\\missing.txt"
forms json-times json_times --json -i "$winroot\\memo.txt"
forms csv csv_rows --csv -r "$winroot\\names"
forms bodyfile body_lines --bodyfile "$winroot\\memo.txt"

(( failures == 0 )) && echo "all Wine end-to-end checks passed"
exit $(( failures > 0 ))
