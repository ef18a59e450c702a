#!/usr/bin/env bash
# Fails when an include runs against the layers: time/ and objectid/ use
# nothing of ours but themselves, probe/ uses those two and itself, cli/ may
# use all.
set -euo pipefail
cd "$(dirname "$0")/.."

allowed() {
  case $1 in
    time) echo "time" ;;
    objectid) echo "objectid" ;;
    probe) echo "time objectid probe" ;;
    cli) echo "time objectid probe cli" ;;
  esac
}

status=0
for layer in time objectid probe cli; do
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
exit $status
