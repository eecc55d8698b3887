#!/usr/bin/env bash
# The client part of the demo: a tovel-rendezvous server and three simulated cameras on loopback,
# then the Lumora client with a fresh data folder. lumora-tour registers, logs in, searches and adds
# the cameras and opens their live video in the grid, saving a picture of each window: on Qt's
# offscreen platform without a display (then it exits), in view with one (Lumora then stays open
# with the live grid). LUMORA_BY_HAND=1 with a display opens an empty Lumora for a person instead.
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
# The cameras stream a real H.264 picture sequence (synthetic frames without ffmpeg).
media=()
if command -v ffmpeg >/dev/null 2>&1 && ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 \
    -frames:v 100 -preset ultrafast -pix_fmt yuv420p -c:v libx264 -bf 0 -g 25 -f h264 "$work/live.h264"; then
  media=(--media "$work/live.h264" --width 640 --height 360)
fi
# The cameras' SD card: a day with an hour of recordings (a 10 s clip and two short ones).
card="$work/card"
mkdir -p "$card/sd/20261210/08"
card_args=()
tour_card=0
if ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -frames:v 250 -preset ultrafast \
     -pix_fmt yuv420p -c:v libx264 -bf 0 -g 25 -f h264 "$card/sd/20261210/08/080000-080010.h264"; then
  cp "$card/sd/20261210/08/080000-080010.h264" "$card/sd/20261210/08/081500-081510.h264"
  card_args=(--data "$card")
  tour_card=1
  echo "recordings on the cameras' card: $card/sd"
fi
for n in 1 2 3; do
  mkfifo "$work/cam$n.in"
  "$build/tools/camsim/camsim" --uid "LUMORACAM000$n" --password qelvo --transport tovel --server "$server" \
      --search-port "$search_port" "${media[@]}" "${card_args[@]}" <"$work/cam$n.in" >"$work/cam$n.log" 2>&1 &
  pids+=("$!")
  exec {fd}>"$work/cam$n.in"   # keeps the camera's standard input open
done
for n in 1 2 3; do
  for _ in $(seq 100); do grep -q "camsim ready" "$work/cam$n.log" && break; sleep 0.1; done
done
echo "rendezvous and cameras LUMORACAM0001..3 on loopback (password qelvo)"

if [ -n "${DISPLAY:-}" ] && [ -n "${LUMORA_BY_HAND:-}" ]; then
  echo "data folder: $work/data"
  echo "register, log in (server string below, in the login dialog's server settings), then add devices:"
  echo "  $server"
  "$build/client/Lumora" --data-dir "$work/data"
elif [ -n "${DISPLAY:-}" ] && [ -z "${LUMORA_TOUR:-}" ]; then
  # On a display the tour runs in view and Lumora stays open with the cameras' live video.
  shots="$build/screenshots/run"
  rm -rf "$shots"
  "$build/tools/lumora-tour/lumora-tour" --data-dir "$work/data" --shots "$shots" --server "$server" --cameras 3 \
      --alarm-fifo "$work/cam2.in" --language "${LUMORA_LANGUAGE:-EN_LAN}" --record-card "$tour_card" --stay 1
else
  shots="$build/screenshots/run"
  rm -rf "$shots"
  QT_QPA_PLATFORM=offscreen "$build/tools/lumora-tour/lumora-tour" --data-dir "$work/data" --shots "$shots" \
      --server "$server" --cameras 3 --alarm-fifo "$work/cam2.in" --language "${LUMORA_LANGUAGE:-EN_LAN}" \
      --record-card "$tour_card"
  echo "screenshots: $shots"
fi
