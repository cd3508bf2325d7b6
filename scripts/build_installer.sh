#!/usr/bin/env bash
# Builds the Windows installer from the cross-built driver with NSIS:
# BUILD_DIR/Larkspur-ASIO-Setup-<version>.exe, <version> being the project's version in CMake.
# Usage: scripts/build_installer.sh BUILD_DIR          (the windows preset's build directory)
#        scripts/build_installer.sh --path BUILD_DIR   (only prints where the installer goes)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
print_path=0
if [ "${1:-}" = "--path" ]; then
    print_path=1
    shift
fi
build=${1:?usage: build_installer.sh [--path] BUILD_DIR}
build=$(cd "$build" && pwd)

cache=$build/CMakeCache.txt
[ -f "$cache" ] || { echo "build_installer: $cache is missing; configure the windows preset first" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
[[ $version =~ ^[0-9]+(\.[0-9]+){0,3}$ ]] || { echo "build_installer: no project version in $cache" >&2; exit 1; }
setup=$build/Larkspur-ASIO-Setup-$version.exe
if [ $print_path -eq 1 ]; then
    echo "$setup"
    exit 0
fi

dll=$build/lkasio64.dll
[ -f "$dll" ] || { echo "build_installer: $dll is missing; build the windows preset first" >&2; exit 1; }
command -v makensis >/dev/null || { echo "build_installer: makensis is missing (scripts/setup.sh installs nsis)" >&2; exit 1; }

# The version resource wants four numbers.
quad=$version
while [[ $(tr -cd . <<<"$quad" | wc -c) -lt 3 ]]; do quad=$quad.0; done

# The text shipped next to the driver, with its version and Windows line ends.
mkdir -p "$build/installer"
readme=$build/installer/README.txt
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' "$root/installer/README.txt" >"$readme"

# -WX: a warning is as fatal here as in the compilers.
makensis -V2 -WX -NOCD \
    "-DVERSION=$version" "-DVERSION_QUAD=$quad" "-DDLL=$dll" "-DREADME_TXT=$readme" "-DOUTFILE=$setup" \
    "$root/installer/larkspur-asio.nsi" >&2
echo "$setup"
