#!/usr/bin/env bash
# Installs a build into a fresh folder and checks that it is a usable SDK: each library's public
# header, the shared library under its version name and its development link, only the library's
# own names exported, and a program built and run against the installed tree alone.
#   scripts/check-install.sh <build-dir> [<C compiler> <C++ compiler> [extra compiler flags...]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
shift
cc=${1:-cc}
[ $# -gt 0 ] && shift
cxx=${1:-c++}
[ $# -gt 0 ] && shift
flags=("$@")

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() { echo "check-install: $*" >&2; exit 1; }

# check_library <name> <header> <pattern of every exported name> <number of exported names>
check_library() {
  local name=$1 header=$2 exports=$3 count=$4
  [ -f "$prefix/include/$header" ] || fail "$header is not installed"
  local link
  link=$(find "$prefix" -name "lib$name.so" | head -n 1)
  [ -n "$link" ] || fail "lib$name.so is not installed"
  [ -L "$link" ] || fail "lib$name.so is not a link to the versioned library"
  local soname
  soname=$(objdump -p "$link" | awk '$1 == "SONAME" { print $2 }')
  [[ "$soname" =~ ^lib$name\.so\.[0-9]+$ ]] || fail "lib$name.so has SONAME '$soname'"
  [ -f "$(dirname "$link")/$soname" ] || fail "$soname is not installed"
  local names foreign
  names=$(nm -D --defined-only "$link" | awk '$2 ~ /^[TWDBRV]$/ { print $3 }')
  foreign=$(echo "$names" | grep -Ev "^($exports)$" || true)
  [ -z "$foreign" ] || fail "lib$name.so exports names of its insides: $(echo "$foreign" | head -n 5 | tr '\n' ' ')"
  [ "$(echo "$names" | wc -l)" -eq "$count" ] || fail "lib$name.so exports $(echo "$names" | wc -l) names, not $count"
  echo "lib$name: $header, $soname, $count names"
}

check_library Tovel Orlix.h 'Orlix_[A-Za-z0-9_]+' 19
check_library Lumora libLumora.h "$(sed -n 's/^ *\([A-Za-z][A-Za-z0-9_]*\);$/\1/p' "$root/sdk/libLumora.map" | paste -sd '|')" 115
[ -f "$prefix/include/LumoraTypes.h" ] || fail "LumoraTypes.h is not installed"
libdir=$(dirname "$(find "$prefix" -name libTovel.so | head -n 1)")

# Consumers that see only the installed tree. They check the install, not the libraries' memory:
# in a sanitizer build the leak check stays off for them.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
"$cc" "${flags[@]}" -I"$prefix/include" "$root/tests/install/orlix_consumer.c" -L"$libdir" -lTovel \
  -Wl,-rpath,"$libdir" -o "$prefix/orlix_consumer"
"$prefix/orlix_consumer" || fail "the program built against the installed libTovel failed"
"$cxx" -std=c++20 "${flags[@]}" -I"$prefix/include" "$root/tests/install/lumora_consumer.cpp" -L"$libdir" -lLumora \
  -Wl,-rpath,"$libdir" -o "$prefix/lumora_consumer"
(cd "$prefix" && ./lumora_consumer) || fail "the program built against the installed libLumora failed"
echo "check-install: the installed tree is a usable SDK"
