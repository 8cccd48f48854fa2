#!/usr/bin/env bash
# Records the seed corpora of the fuzz targets afresh into fuzz/corpus (the simulated modem's
# streams carry the time they were recorded, so every run gives new bytes). Run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/fuzz
CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j 2 --target record_seeds
rm -rf fuzz/corpus
"$build/record_seeds" fuzz/corpus
du -sh fuzz/corpus/* | sort -k2
