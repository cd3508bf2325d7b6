#!/usr/bin/env bash
# The main job: build the driver and lkplay, make two short samples (PCM and DSD64), play both through
# the driver into the simulated Larkspur and check that the device received every bit of them.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target lkinfo lkasio64 lkplay lksample lkplay_samples
./build/linux/bin/lkinfo
echo
samples=build/linux/samples
./build/linux/bin/lkplay --verify "$samples/sample-pcm.flac" "$samples/sample-dsd64.dsf"
echo
echo "Both samples arrived bit-exact at the simulated Larkspur:"
echo "  $samples/sample-pcm.flac (PCM, 24-bit, 44.1 kHz) and $samples/sample-dsd64.dsf (DSD64)."
