#!/usr/bin/env bash
# Sets up, builds and runs every test inside a private network namespace with only loopback up.
#   scripts/test.sh             ordinary build (build/)
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

sanitize=0
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=1 ;;
    *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
  esac
done

"$root/scripts/install-deps.sh"

jobs=$(nproc)
if [ $sanitize -eq 1 ]; then
  build="$root/build-asan"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMORA_SANITIZE=ON -DLUMORA_WERROR=ON >/dev/null
else
  build="$root/build"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMORA_WERROR=ON >/dev/null
fi
cmake --build "$build" -j "$jobs"

export LUMORA_LOOPBACK_ONLY=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
runner=(ctest --test-dir "$build" --output-on-failure --timeout 600 -j "$jobs")

# A private network namespace: only loopback exists, so no test can reach another network.
inner='ip link set lo up && exec "$@"'
if unshare --net true 2>/dev/null; then
  exec unshare --net -- bash -c "$inner" bash "${runner[@]}"
elif unshare --user --map-root-user --net true 2>/dev/null; then
  exec unshare --user --map-root-user --net -- bash -c "$inner" bash "${runner[@]}"
else
  echo "test.sh: cannot create a private network namespace (needs root or user namespaces)" >&2
  exit 1
fi
