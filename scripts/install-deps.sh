#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the benchmarks and the fuzzers need.
# Idempotent: packages already present are skipped by apt.
set -euo pipefail

packages=(
  # toolchain
  build-essential g++ cmake ninja-build pkg-config clang libclang-rt-14-dev
  # tests and the loopback-only namespace
  libgtest-dev libgmock-dev iproute2 util-linux
  # libraries named by the system
  libboost-dev libboost-thread-dev libboost-system-dev libboost-date-time-dev
  libjsoncpp-dev libsqlite3-dev liblog4cplus-dev
  # the user's password hash (PBKDF2)
  libssl-dev
  libavcodec-dev libavutil-dev libswscale-dev libavformat-dev
  # GUI and audio in place of MFC and DirectSound
  qt6-base-dev qt6-multimedia-dev portaudio19-dev libasound2-dev libspeexdsp-dev
  # test fixtures (video generated with the ffmpeg command line), screenshots under a real X server
  ffmpeg xvfb xauth
  # the client's pictures and sounds are drawn at build time
  python3
  # faster rebuilds
  ccache
  # benchmark anchors
  libenet-dev
  # a font with Chinese glyphs for the Chinese screenshots
  fonts-wqy-microhei
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
