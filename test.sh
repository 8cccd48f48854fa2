#!/usr/bin/env bash
# Installs what is missing, builds with ASan+UBSan and runs every test, then runs the
# threaded tests again under TSan, builds and checks the Debian package, then runs the fuzz
# targets briefly.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCDMA_SANITIZER=address
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCDMA_SANITIZER=thread \
  -DCDMA_BUILD_GUI=OFF -DCDMA_BUILD_BENCH=OFF
cmake --build build/tsan -j "$jobs" --target threaded-tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -L threaded --output-on-failure -j "$jobs"

# The Debian package from a release build of the programs alone, checked by Debian's own tools.
deb=$(./package.sh)
tests/package/check-package.sh "$deb"

# Every fuzz target for 30 s on its seed corpus.
./fuzz.sh 30
