#!/usr/bin/env bash
# Fails when an include runs against the layers: util/ uses nothing of ours,
# time/ and objectid/ use util/ and themselves, probe/ uses those and
# itself, print/ uses those and itself, cli/ may use all. Inside probe/: its
# platform-free core (the files directly in it, ntfs/, fat/ and the
# witnesses' folders) never includes a platform's folder (posix/, win32/,
# image/); ntfs/ includes only its own files, the volume reader, le.h, the
# witnesses' facts (witness.h), util/, time/ and objectid/ (never a
# witness's folder: the file system's reader holds only the file system);
# fat/ only its own, the volume reader, le.h, the upper-case table, util/
# and time/.
set -euo pipefail
cd "$(dirname "$0")/.."

allowed() {
  case $1 in
    util) echo "util" ;;
    time) echo "util time" ;;
    objectid) echo "util objectid" ;;
    probe) echo "util time objectid probe" ;;
    print) echo "util time objectid probe print" ;;
    cli) echo "util time objectid probe print cli" ;;
  esac
}

status=0
for layer in util time objectid probe print cli; do
  ok=" $(allowed "$layer") "
  while IFS= read -r hit; do
    file=${hit%%:*}
    target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$hit")
    if [[ $ok != *" $target "* ]]; then
      echo "layers: $file includes $target/, above $layer/: ${hit#*:*:}" >&2
      status=1
    fi
  done < <(grep -rnE '^#include "[^/"]+/' "src/$layer" || true)
done
while IFS= read -r hit; do
  echo "layers: the platform-free probe core includes a platform's folder: $hit" >&2
  status=1
done < <(grep -nE '^#include "probe/(posix|win32|image)/' src/probe/*.h src/probe/*.cc \
  src/probe/ntfs/* src/probe/fat/* src/probe/witnesses/*.* src/probe/witnesses/*/* || true)
# Each witness keeps to its own folder: a witness's files include no other
# witness's (the registry of parts, witnesses/parts.cc, names them all).
for room in src/probe/witnesses/*/; do
  own=$(basename "$room")
  while IFS= read -r hit; do
    echo "layers: the witness in $room reaches into another's folder: $hit" >&2
    status=1
  done < <(grep -nE '^#include "probe/witnesses/[^/"]+/' "$room"* |
    grep -vE "#include \"probe/witnesses/$own/" || true)
done
while IFS= read -r hit; do
  echo "layers: ntfs/ reaches outside its own files: $hit" >&2
  status=1
done < <(grep -nE '^#include "' src/probe/ntfs/* |
  grep -vE '#include "(probe/ntfs/[^"]+|probe/volume-reader\.h|probe/le\.h|probe/witness\.h|util/[^"]+|time/[^"]+|objectid/[^"]+)"' ||
  true)
while IFS= read -r hit; do
  echo "layers: fat/ reaches outside its own files: $hit" >&2
  status=1
done < <(grep -nE '^#include "' src/probe/fat/* |
  grep -vE '#include "(probe/fat/[^"]+|probe/ntfs/upcase\.h|probe/volume-reader\.h|probe/le\.h|util/[^"]+|time/[^"]+)"' ||
  true)
# cli/ names no witness: each is read from its descriptor (kWitnesses), its
# listing from the schema; a printer reaches a witness only through the
# schema (print/schema.*) and the listings of the witnesses' own records
# that the schema's groups hold (print/listings/).
witness_words='Witness::k[A-Z]|Fact::k[A-Z]|Usn|Journal|journal|LogFile|Logfile|logfile|LogRecord|Snapshot|snapshot|Shadow|shadow|IndexEntr|index-entries|"-[nUSILK]"|probe/ntfs/|probe/witnesses/'
while IFS= read -r hit; do
  echo "layers: cli/ names a witness: $hit" >&2
  status=1
done < <(grep -nE "$witness_words" src/cli/* | grep -vE '^[^:]+:[0-9]+:\s*//' || true)
while IFS= read -r hit; do
  echo "layers: a printer knows a witness other than through the schema: $hit" >&2
  status=1
done < <(grep -nE "$witness_words" src/print/*.cc src/print/*.h |
  grep -vE '^src/print/schema\.(cc|h):' | grep -vE '^[^:]+:[0-9]+:\s*//' || true)
exit $status
