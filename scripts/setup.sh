#!/usr/bin/env bash
# Installs what the build, the tests and the tools need, from Debian's packages only.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config clang-format
    clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    g++-mingw-w64-x86-64-posix
    libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
    sox
    nsis
    xvfb imagemagick
)
# Wine comes with what it recommends: the Windows checks run it headless, as Debian sets it up.
wine_packages=(wine wine64)

not_installed() {
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

mapfile -t missing < <(not_installed "${packages[@]}")
mapfile -t missing_wine < <(not_installed "${wine_packages[@]}")
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_wine[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    [ ${#missing[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${missing[@]}"
    [ ${#missing_wine[@]} -eq 0 ] || apt-get install -y -qq "${missing_wine[@]}"
fi
