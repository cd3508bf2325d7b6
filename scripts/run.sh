#!/usr/bin/env bash
# The main job: build the driver and show what it reports through an ASIO host's eyes.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target lkinfo lkasio64
./build/linux/bin/lkinfo
