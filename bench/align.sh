#!/usr/bin/env bash
# The alignment mode's figures: builds a Release tree, starts a private pulseaudio with a null sink
# (so the tone plays to a real sound server without disturbing anyone's), and runs align_latency.
# Arguments go to align_latency (the number of RX steps, default 20).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCDMA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target align_latency cdma-monitor

dir=$(mktemp -d)
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$dir"' EXIT
mkdir -m 700 "$dir/run" && mkdir "$dir/home"
XDG_RUNTIME_DIR="$dir/run" HOME="$dir/home" pulseaudio --daemonize=no --system=false -n --exit-idle-time=-1 \
  --use-pid-file=no --log-level=error \
  --load="module-native-protocol-unix socket=$dir/run/native auth-anonymous=1" \
  --load="module-null-sink sink_name=align_sink rate=48000 channels=1" &
server=$!
for _ in $(seq 100); do [ -S "$dir/run/native" ] && break; sleep 0.1; done
PULSE_SERVER="unix:$dir/run/native" build/release/bench/align_latency "$@"
