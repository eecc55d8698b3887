#!/usr/bin/env bash
# Sets up, builds and runs the most complete demo on loopback: two peers of the UDP peer core
# moving data, libTovel sessions by each path (direct, punched through, relayed) with data
# moving, then simulated cameras on every transport with a client side that logs in, reads and
# writes settings and watches live video, and last the Lumora client watching those cameras in its grid.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build="$root/build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
export LUMORA_LOOPBACK_ONLY=1

echo "== UDP peer core: two peers on loopback"
"$build/tools/peer-demo/peer-demo"
echo
echo "== libTovel: a rendezvous server, devices and a client; a session by each path"
"$build/bench/orlix/bench-orlix"
echo
echo "== libLumora SDK: cameras on libTovel, CS2 and ThroughTek; logins, settings, live video, snapshots, a local recording, a download, an alarm, a reconnect"
"$build/tools/lumora-demo/lumora-demo" "$@"
echo; echo "== Lumora client: register, log in, search the LAN, cameras online, an alarm, a recording played back, live video in the grid"; "$root/scripts/run-client.sh" "$build"
