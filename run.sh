#!/usr/bin/env bash
# Installs what is missing, builds the monitor and runs it against its simulated modem; extra
# arguments go to the program (for example --port /dev/ttyUSB1 or --demo-mode revb).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCDMA_BUILD_TESTS=OFF -DCDMA_BUILD_BENCH=OFF
cmake --build build/run --target cdma-monitor
exec build/run/src/app/cdma-monitor --console --demo "$@"
