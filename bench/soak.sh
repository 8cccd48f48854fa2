#!/usr/bin/env bash
# Soak run: builds a Release tree and runs cdma-monitor --console against the simulated modem at
# its maximum rate, with faults now and then, for the given minutes (default 10). Prints frames
# sent, dispatched and dropped as damaged, resident memory and CPU seconds per MB of log traffic;
# fails when a frame went missing. Extra arguments go to soak_run (--mode, --seed).
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
shift || true

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCDMA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target soak_run
exec build/release/bench/soak_run --minutes "$minutes" "$@"
