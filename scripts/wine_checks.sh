#!/usr/bin/env bash
# Checks the cross-built driver under Wine, headless, in a throw-away prefix: regsvr32 registers it,
# the registry holds the five values hosts and COM read, a host of ours finds it under SOFTWARE\ASIO
# and creates it through CoCreateInstance, and regsvr32 /u removes both keys again.
# Usage: scripts/wine_checks.sh BUILD_DIR   (the windows preset's build directory)
set -euo pipefail

build=${1:?usage: wine_checks.sh BUILD_DIR}
dll=$build/lkasio64.dll
host=$build/asiohost.exe
for file in "$dll" "$host" "$build/lkpanelcheck.exe"; do
    [ -f "$file" ] || { echo "wine checks: $file is missing; build the windows preset first"; exit 1; }
done

# Debian's wine64 package has no command of its own on PATH: "wine" runs the 64-bit loader when the
# 32-bit one is absent.
if command -v wine >/dev/null; then
    WINE=wine
elif command -v wine64 >/dev/null; then
    WINE=wine64
else
    echo "wine checks: wine is not installed (scripts/setup.sh installs it)"
    exit 1
fi

WINEPREFIX=$(mktemp -d /tmp/lk-wine.XXXXXX)
export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installer dialogs, and no display: everything runs on the console.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

checks=0
fail() {
    echo "FAIL: $*"
    exit 1
}
pass() {
    checks=$((checks + 1))
    echo "ok:   $*"
}

# Every Wine call is bounded. Output goes through a file, not a pipe, so a Wine process that lingers
# cannot hold the reader; Windows line ends are dropped.
run() {
    local seconds=$1 status=0
    shift
    timeout --kill-after=10 "$seconds" "$@" </dev/null >"$WINEPREFIX/run.out" 2>&1 || status=$?
    tr -d '\r' <"$WINEPREFIX/run.out"
    return $status
}

clsid='{5B2E7C40-9A13-4D6F-8E21-3C7A94D0B518}'
class_key="HKEY_CLASSES_ROOT\\CLSID\\$clsid"
driver_key='HKEY_LOCAL_MACHINE\SOFTWARE\ASIO\ASIO Larkspur Driver'
install_dir='C:\Program Files\Larkspur'
dll_path="$install_dir\\lkasio64.dll"

# The data of one REG_SZ value ("" for the default value), or nothing when it is missing.
reg_value() {
    local key=$1 name=$2 out
    if [ -z "$name" ]; then
        out=$(run 60 "$WINE" reg query "$key" /ve) || return 0
        sed -n 's/^ *(Default) *REG_SZ *//p' <<<"$out"
    else
        out=$(run 60 "$WINE" reg query "$key" /v "$name") || return 0
        sed -n "s/^ *$name *REG_SZ *//p" <<<"$out"
    fi
}

expect_value() {
    local key=$1 name=$2 want=$3 got
    got=$(reg_value "$key" "$name")
    [ "$got" = "$want" ] || fail "$key ${name:-(Default)} is \"$got\", expected \"$want\""
    pass "$key ${name:-(Default)} = \"$want\""
}

key_exists() {
    run 60 "$WINE" reg query "$1" >/dev/null
}

echo "wine checks: $($WINE --version) in $WINEPREFIX"
# One server for the whole run: otherwise every call starts a server and waits for it to wind down.
timeout 30 wineserver -p >/dev/null 2>&1 </dev/null || fail "wineserver did not start"
run 300 "$WINE" wineboot -i >/dev/null || fail "wineboot -i did not finish"
pass "fresh prefix created"

unix_dir="$WINEPREFIX/drive_c/Program Files/Larkspur"
mkdir -p "$unix_dir"
cp "$dll" "$host" "$unix_dir/"

# Registration
out=$(run 120 "$WINE" regsvr32 "$dll_path") || fail "regsvr32 failed: $out"
pass "regsvr32 $dll_path: $out"
expect_value "$class_key" "" "Larkspur ASIO 1.09"
# COM loads the module from here; the driver stores its path in lower case.
expect_value "$class_key\\InprocServer32" "" 'c:\program files\larkspur\lkasio64.dll'
expect_value "$class_key\\InprocServer32" ThreadingModel Apartment
expect_value "$driver_key" CLSID "$clsid"
expect_value "$driver_key" Description "Larkspur ASIO 1.09"

# A host finds the driver and creates it
status=0
out=$(run 120 "$WINE" "$install_dir\\asiohost.exe" "ASIO Larkspur Driver") || status=$?
sed 's/^/      host| /' <<<"$out"
[ $status -eq 0 ] || fail "asiohost exited with $status"
line() { grep -Fx -- "$1" <<<"$out" >/dev/null || fail "asiohost did not print: $1"; }
line 'driver: "ASIO Larkspur Driver"'
line "clsid: $clsid"
line "create: 0x00000000"
pass "asiohost found the driver under SOFTWARE\\ASIO and created it with CoCreateInstance"
grep -Eq '^name: .+' <<<"$out" || fail "the driver reported no name"
grep -Eq '^version: [0-9]+$' <<<"$out" || fail "the driver reported no version"
pass "$(grep '^name: ' <<<"$out"), $(grep '^version: ' <<<"$out")"
# There is no Larkspur under Wine, so init fails; the text is checked once the driver carries it.
line "init: 0"
enum_failure='ASIO Larkspur Driver Enum Failure!'
if grep -aqF "$enum_failure" "$dll"; then
    line "error: $enum_failure"
    pass "init fails without a device: \"$enum_failure\""
else
    pass "init fails without a device (this driver has no error text for it yet)"
fi
line "channels: 2 in, 2 out (ASE_OK)"
pass "channels: 2 in, 2 out"
line "buffer sizes: min 1024, max 1024, preferred 1024, granularity 0 (ASE_OK)"
pass "buffer sizes: 1024, granularity 0"
line "release: 0"
pass "the driver was released"

# The settings panel, on a virtual X display: a host of ours opens it twice (one window), a screenshot
# is saved as BUILD_DIR/panel.png, and the host picks a size in the panel's list and presses OK, by
# window messages. The size reaches the user's registry and getBufferSize, and the host is asked once
# to reset. A value set with reg add reaches getBufferSize too; one the driver does not offer does not.
user_key='HKEY_CURRENT_USER\Software\Larkspur\ASIO'
command -v Xvfb >/dev/null || fail "Xvfb is not installed (scripts/setup.sh installs it)"
command -v import >/dev/null || fail "ImageMagick is not installed (scripts/setup.sh installs it)"
cp "$build/lkpanelcheck.exe" "$unix_dir/"
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp >"$WINEPREFIX/xvfb.log" 2>&1 &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
[ -e "/tmp/.X11-unix/X$display" ] || fail "Xvfb :$display did not start"
# Windows shown from here on need the display: a fresh server starts Wine's desktop on it.
timeout 30 wineserver -k >/dev/null 2>&1 || true
timeout 30 wineserver -w >/dev/null 2>&1 || true
export DISPLAY=":$display"
timeout 30 wineserver -p >/dev/null 2>&1 </dev/null || fail "wineserver did not start again"

rm -f "$unix_dir/panel.ready" "$unix_dir/panel.go" "$build/panel.png"
timeout --kill-after=10 180 "$WINE" "$install_dir\\lkpanelcheck.exe" panel 256 "$install_dir" \
    </dev/null >"$WINEPREFIX/panel.out" 2>&1 &
panel_pid=$!
for _ in $(seq 1200); do
    [ -e "$unix_dir/panel.ready" ] || ! kill -0 "$panel_pid" 2>/dev/null && break
    sleep 0.1
done
if [ -e "$unix_dir/panel.ready" ]; then
    sleep 1 # let Wine paint the dialog
    timeout 30 import -display ":$display" -window root "$build/panel.png" || true
fi
touch "$unix_dir/panel.go"
status=0
wait "$panel_pid" || status=$?
out=$(tr -d '\r' <"$WINEPREFIX/panel.out")
sed 's/^/      panel| /' <<<"$out"
[ $status -eq 0 ] || fail "lkpanelcheck exited with $status"
[ -s "$build/panel.png" ] || fail "no screenshot of the panel"
colours=$(timeout 30 identify -format '%k' "$build/panel.png")
[ "$colours" -gt 2 ] || fail "the screenshot is blank ($colours colours)"
pass "the panel opened on the display; screenshot $build/panel.png ($colours colours)"
line "controlPanel: ASE_OK"
line "panel windows: 1"
line "second controlPanel: ASE_OK"
line "panel windows after the second call: 1 (the same window)"
line "panel visible: 1"
pass "controlPanel returns at once with the panel open; a second call opens no second panel"
grep -Eq '^panel driver: .+, version [0-9]+$' <<<"$out" || fail "the panel shows no driver name and version"
line "panel device: Larkspur not connected"
line "panel rate: 48000 Hz, PCM"
line "panel size: 1024 samples"
line "panel latency: 21.33 ms per buffer at 48000 Hz"
pass "the panel shows $(sed -n 's/^panel driver: //p' <<<"$out"), the device, the rate and the size in force"
line "chosen size: 256 samples"
line "chosen latency: 5.33 ms per buffer at 48000 Hz"
line "panel open after OK: 0"
pass "256 chosen in the panel's list: 5.33 ms at 48000 Hz; OK closed the panel"
line "reset requests: 1"
line "latency messages: 1"
pass "the host with buffers was asked once to reset, and told that the latencies changed"
buffer_dword() {
    local out
    out=$(run 60 "$WINE" reg query "$user_key" /v BufferSize) || return 0
    sed -n 's/^ *BufferSize *REG_DWORD *//p' <<<"$out"
}
got=$(buffer_dword)
[ "$got" = 0x100 ] || fail "$user_key BufferSize is \"$got\", expected 0x100"
pass "$user_key BufferSize = REG_DWORD 0x100"
line "with the buffers: min 1024, max 1024, preferred 1024, granularity 0 (ASE_OK)"
line "after the reset: min 256, max 256, preferred 256, granularity 0 (ASE_OK)"
line "after the reset, dsd: min 8192, max 8192, preferred 8192, granularity 0 (ASE_OK)"
line "release: 0"
pass "getBufferSize: 1024 while the buffers exist, then 256 (8192 DSD)"

sizes_with() {
    local value=$1 pcm=$2 dsd=$3
    if [ -n "$value" ]; then
        run 60 "$WINE" reg add "$user_key" /v BufferSize /t REG_DWORD /d "$value" /f >/dev/null ||
            fail "reg add BufferSize $value failed"
    else
        run 60 "$WINE" reg delete "$user_key" /v BufferSize /f >/dev/null || fail "reg delete BufferSize failed"
    fi
    out=$(run 120 "$WINE" "$install_dir\\lkpanelcheck.exe" sizes) || fail "lkpanelcheck sizes failed: $out"
    line "pcm: min $pcm, max $pcm, preferred $pcm, granularity 0 (ASE_OK)"
    line "dsd: min $dsd, max $dsd, preferred $dsd, granularity 0 (ASE_OK)"
    pass "BufferSize ${value:-deleted}: getBufferSize $pcm (DSD $dsd)"
}
sizes_with 64 64 2048
sizes_with 48 1024 32768
sizes_with 2048 2048 65536
sizes_with "" 1024 32768

timeout 30 wineserver -k >/dev/null 2>&1 || true
timeout 30 wineserver -w >/dev/null 2>&1 || true
unset DISPLAY
kill "$xvfb_pid" 2>/dev/null || true
wait "$xvfb_pid" 2>/dev/null || true
trap cleanup EXIT
timeout 30 wineserver -p >/dev/null 2>&1 </dev/null || fail "wineserver did not start again"

# Unregistration
out=$(run 120 "$WINE" regsvr32 /u "$dll_path") || fail "regsvr32 /u failed: $out"
pass "regsvr32 /u $dll_path: $out"
! key_exists "$class_key" || fail "$class_key is still there"
pass "$class_key removed"
! key_exists "$driver_key" || fail "$driver_key is still there"
pass "$driver_key removed"
key_exists 'HKEY_LOCAL_MACHINE\SOFTWARE\ASIO' || fail "HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO is gone"
pass "HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO kept"

echo "wine checks: all $checks checks passed"
