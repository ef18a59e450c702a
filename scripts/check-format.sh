#!/usr/bin/env bash
# Fails when a C++ file is not formatted as .clang-format says: the files
# changed since REV when one is given, else every tracked file.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  files=$(git diff --name-only --diff-filter=AMR "$1" -- '*.cc' '*.h')
else
  files=$(git ls-files -- '*.cc' '*.h')
fi
[ -n "$files" ] || exit 0
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
