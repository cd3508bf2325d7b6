#!/usr/bin/env bash
# Installs what the build, the tests and the tools need, from Debian's packages only.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config clang-format
    libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-x86-64-posix
    wine wine64
    libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
    sox
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
