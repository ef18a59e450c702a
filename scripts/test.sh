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
ctest --test-dir build-win --output-on-failure -j"$jobs" -L windows

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
