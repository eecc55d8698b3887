#!/usr/bin/env bash
# The client part of the demo: a tovel-rendezvous server and three simulated cameras on loopback,
# then the Lumora client with a fresh data folder. With a display, Lumora opens for a person:
# register, log in, press "add device", search and add the cameras. Without one, lumora-tour drives
# the same steps on Qt's offscreen platform, saves a picture of each window and exits.
# Expects a built tree: scripts/run-client.sh [build folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${1:-$root/build}"
export LUMORA_LOOPBACK_ONLY=1

work=$(mktemp -d "${TMPDIR:-/tmp}/lumora-client.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# The rendezvous server prints its server string as its first line.
coproc RENDEZVOUS { exec "$build/tools/tovel-rendezvous/tovel-rendezvous" --port 0 --silent-unknown 2>/dev/null; }
pids+=("$RENDEZVOUS_PID")
read -r server <&"${RENDEZVOUS[0]}"

# Cameras answer the LAN probe on its usual port on loopback; with the loopback guard on, the
# client's search goes to the loopback broadcast.
search_port=8600
for n in 1 2 3; do
  mkfifo "$work/cam$n.in"
  "$build/tools/camsim/camsim" --uid "LUMORACAM000$n" --password qelvo --transport tovel --server "$server" \
      --search-port "$search_port" <"$work/cam$n.in" >"$work/cam$n.log" 2>&1 &
  pids+=("$!")
  exec {fd}>"$work/cam$n.in"   # keeps the camera's standard input open
done
for n in 1 2 3; do
  for _ in $(seq 100); do grep -q "camsim ready" "$work/cam$n.log" && break; sleep 0.1; done
done
echo "rendezvous and cameras LUMORACAM0001..3 on loopback (password qelvo)"

if [ -n "${DISPLAY:-}" ] && [ -z "${LUMORA_TOUR:-}" ]; then
  echo "data folder: $work/data"
  echo "register, log in (server string below, in the login dialog's server settings), then add devices:"
  echo "  $server"
  "$build/client/Lumora" --data-dir "$work/data"
else
  shots="$build/screenshots/run"
  rm -rf "$shots"
  QT_QPA_PLATFORM=offscreen "$build/tools/lumora-tour/lumora-tour" --data-dir "$work/data" --shots "$shots" \
      --server "$server" --cameras 3 --alarm-fifo "$work/cam2.in" --language "${LUMORA_LANGUAGE:-EN_LAN}"
  echo "screenshots: $shots"
fi
