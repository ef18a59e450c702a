#!/usr/bin/env bash
# Builds qst and runs every test: the checks of layering and formatting, the
# Windows build (qst.exe, cross-built with mingw-w64) under Wine, then the
# Linux build, once as it is and once under AddressSanitizer and
# UndefinedBehaviorSanitizer, the probes in flight once more under
# ThreadSanitizer, and last the fuzz targets for a minute each.
# Warnings are errors in every build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

scripts/check-layers.sh
scripts/check-size.py
scripts/check-format.sh

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DQST_WERROR=ON >/dev/null
cmake --build build-win -j"$jobs"

# One Wine server for every Windows program the tests start, kept until the
# run ends: started and stopped with each program, a server at times refuses a
# program that starts as it exits, and the program ends at once with no output.
# Wine's own services are started here, away from the tests' output: started
# by a test, they would hold its output open and ctest would wait for them.
# A Windows test that fails is run once more, for the same reason; one that
# fails twice fails the run.
export WINEPREFIX=$PWD/build-win/wineprefix
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
WINEDEBUG=-all /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
ctest --test-dir build-win --output-on-failure -j"$jobs" -L windows --repeat until-pass:2

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQST_WERROR=ON \
  -DQST_WINDOWS_EXE="$PWD/build-win/qst.exe" >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQST_SANITIZE=ON -DQST_WERROR=ON >/dev/null
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

# Probes in flight, the MFT read ahead, folders sorted and records printed on
# threads, under ThreadSanitizer.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQST_TSAN=ON -DQST_WERROR=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target qst qst_tests qst_posix_tests qst_ntfs_tests qst_image_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -R 'ProbesInFlight|ThreadsChangeNothing|SortedOnSeveralThreads'

scripts/fuzz.sh 60
