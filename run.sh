#!/usr/bin/env bash
# Installs what is missing, builds the monitor and runs its window against its simulated modem
# (the console view where there is no display); extra arguments go to the program (for example
# --port /dev/ttyUSB1, --demo-mode revb or --console).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCDMA_BUILD_TESTS=OFF -DCDMA_BUILD_BENCH=OFF
cmake --build build/run --target cdma-monitor
exec build/run/src/app/cdma-monitor --demo "$@"
