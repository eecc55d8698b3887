#!/usr/bin/env bash
# Sets up, builds and runs the most complete demo on loopback: today two peers of the UDP peer
# core connecting and moving data.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
export LUMORA_LOOPBACK_ONLY=1
exec "$build/tools/peer-demo/peer-demo" "$@"
