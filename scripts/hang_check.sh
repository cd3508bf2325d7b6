#!/bin/bash
# A host against a Larkspur that stops answering 300 ms into the stream: stop, disposeBuffers and
# Release must each return within two seconds, getSamplePosition within half a second.
# Usage: scripts/hang_check.sh [preset]   (after building bench_hung_device_check)
set -euo pipefail
preset="${1:-linux}"
program="build/${preset}/bin/bench_hung_device_check"
status=0
for fault in hang@300 stall@300 unplug@300 refuse@300; do
    echo "LKSIM_FAULT=${fault}"
    LKSIM_FAULT="${fault}" timeout 30 "${program}" 600 || { echo "FAILED (exit $?)"; status=1; }
done
exit "${status}"
