#!/usr/bin/env bash
# The DLL exports the COM server entry points and imports Windows system DLLs only, not ws2_32.
set -euo pipefail
dll=$1
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
for export in DllGetClassObject DllCanUnloadNow DllRegisterServer DllUnregisterServer; do
    grep -qE "\] $export\$" <<<"$dump" || { echo "missing export $export in $dll"; exit 1; }
done
system='^(kernel32|user32|advapi32|ole32|oleaut32|setupapi|avrt|winmm|msvcrt|ucrtbase|ksuser|api-ms-win-.*)\.dll$'
bad=0
# DSD words are byte-swapped inline; the sockets library has no business in an audio driver.
if grep "DLL Name:" <<<"$dump" | awk '{print $3}' | tr 'A-Z' 'a-z' | grep -qx 'ws2_32.dll'; then
    echo "$dll imports ws2_32.dll"
    bad=1
fi
while read -r name; do
    if ! tr 'A-Z' 'a-z' <<<"$name" | grep -qE "$system"; then
        echo "non-system import: $name"
        bad=1
    fi
done < <(grep "DLL Name:" <<<"$dump" | awk '{print $3}')
[ $bad -eq 0 ] || exit 1
echo "$dll: exports $(grep -cE '^\s+\[ *[0-9]+\] [A-Za-z]' <<<"$dump") names; imports: $(grep 'DLL Name:' <<<"$dump" | awk '{print $3}' | tr '\n' ' ')"
