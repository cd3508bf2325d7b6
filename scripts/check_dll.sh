#!/usr/bin/env bash
# The DLL exports the COM server entry points and imports Windows system DLLs only.
set -euo pipefail
dll=$1
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
for export in DllGetClassObject DllCanUnloadNow DllRegisterServer DllUnregisterServer; do
    grep -qE "\] $export\$" <<<"$dump" || { echo "missing export $export in $dll"; exit 1; }
done
system='^(kernel32|user32|advapi32|ole32|oleaut32|setupapi|avrt|winmm|ws2_32|msvcrt|ucrtbase|ksuser|api-ms-win-.*)\.dll$'
bad=0
while read -r name; do
    if ! tr 'A-Z' 'a-z' <<<"$name" | grep -qE "$system"; then
        echo "non-system import: $name"
        bad=1
    fi
done < <(grep "DLL Name:" <<<"$dump" | awk '{print $3}')
[ $bad -eq 0 ] || exit 1
echo "$dll: exports $(grep -cE '^\s+\[ *[0-9]+\] [A-Za-z]' <<<"$dump") names; imports: $(grep 'DLL Name:' <<<"$dump" | awk '{print $3}' | tr '\n' ' ')"
