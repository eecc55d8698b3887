#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 60) on loopback only.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
"$root/scripts/install-deps.sh"
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMORA_FUZZ=ON -DLUMORA_BUILD_TESTS=OFF -DLUMORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
export LUMORA_LOOPBACK_ONLY=1
status=0
for src in "$root"/fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "$root/fuzz/corpus/$name" ] && seeds=("$root/fuzz/corpus/$name")
  echo "== $name for ${seconds}s"
  if ! unshare --net -- bash -c 'ip link set lo up && exec "$@"' bash \
      "$build/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/$name-" \
      "$corpus" "${seeds[@]}" 2>"$build/$name.log"; then
    echo "$name: FAILED (see $build/$name.log)"; tail -30 "$build/$name.log"; status=1
  else
    grep -E 'stat::number_of_executed_units|stat::peak_rss' "$build/$name.log" || true
  fi
done
exit $status
