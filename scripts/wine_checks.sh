#!/usr/bin/env bash
# Checks the cross-built driver under Wine, headless, in a throw-away prefix: regsvr32 registers it,
# the registry holds the five values hosts and COM read, a host of ours finds it under SOFTWARE\ASIO
# and creates it through CoCreateInstance, and regsvr32 /u removes both keys again.
# Usage: scripts/wine_checks.sh BUILD_DIR   (the windows preset's build directory)
set -euo pipefail

build=${1:?usage: wine_checks.sh BUILD_DIR}
dll=$build/lkasio64.dll
host=$build/asiohost.exe
streamcheck=$build/lkstreamcheck.exe
for file in "$dll" "$host" "$streamcheck" "$build/lkpanelcheck.exe"; do
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
cp "$dll" "$host" "$streamcheck" "$unix_dir/"

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

# Streams through the unmodified DLL into the Larkspur model attached at its imports, with the user's
# SafetyBuffers set as a user would with reg add: 0, then 2 (1 + S writes queued at the device, S
# periods of silence before the stream, getLatencies one buffer more per safety buffer); then the value
# goes. A crashed Wine process may still exit with 0: the final result line decides.
user_key='HKEY_CURRENT_USER\Software\Larkspur\ASIO'
stream_with_safety() {
    local safety=$1 status=0 want queued
    run 60 "$WINE" reg add "$user_key" /v SafetyBuffers /t REG_DWORD /d "$safety" /f >/dev/null ||
        fail "reg add SafetyBuffers $safety failed"
    out=$(run 170 "$WINE" "$install_dir\\lkstreamcheck.exe" --safety "$safety" "$dll_path") || status=$?
    sed "s/^/      streamcheck S=$safety| /" <<<"$out"
    grep -Fx 'result: PASS' <<<"$out" >/dev/null ||
        fail "lkstreamcheck with SafetyBuffers $safety did not report success (exit status $status)"
    [ $status -eq 0 ] || fail "lkstreamcheck with SafetyBuffers $safety printed success but exited with $status"
    for stream in 'PCM 44.1 kHz' 'PCM 192 kHz' 'DSD64'; do
        grep -q "^$stream: bit-exact" <<<"$out" ||
            fail "lkstreamcheck with SafetyBuffers $safety did not report $stream bit-exact"
        grep -q "^ok:   $stream: getLatencies: " <<<"$out" ||
            fail "lkstreamcheck with SafetyBuffers $safety did not check $stream's latencies"
    done
    want="most writes queued at the device: $((1 + safety))"
    queued=$(grep '^most writes queued at the device: ' <<<"$out" | sort -u)
    [ "$queued" = "$want" ] || fail "with SafetyBuffers $safety lkstreamcheck printed \"$queued\", expected \"$want\""
    grep -Eq '^requests: [1-9][0-9]* checked against the SDK.s definitions, 0 refused$' <<<"$out" ||
        fail "lkstreamcheck did not report every request checked with none refused"
    pass "SafetyBuffers $safety (reg add): PCM 44.1 kHz, PCM 192 kHz and DSD64 bit-exact after $safety periods of silence, $want, $(grep '^ok:   PCM 44.1 kHz: getLatencies' <<<"$out" | sed 's/^ok: *PCM 44.1 kHz: //'), $(grep '^requests: ' <<<"$out" | sed 's/^requests: //')"
    for want in 'ok:   PCM 44.1 kHz, inputs only: every input half the host was handed is silent' \
        'ok:   DSD64, inputs only: 20 buffer switches at the stream'"'"'s pace' \
        'ok:   format 7 (in 0): kAsioSetIoFormat answers ASE_NotPresent' \
        'ok:   device unplugged mid-stream: the host'"'"'s callbacks go on at about one per period' \
        'ok:   device stops completing mid-stream: the host'"'"'s callbacks go on at about one per period' \
        'ok:   device refuses writes mid-stream: the host'"'"'s callbacks go on at about one per period' \
        'ok:   device fails writes mid-stream: the host'"'"'s callbacks go on at about one per period' \
        'ok:   device unplugged, then back: the host gets a second kAsioResetRequest when the device is back' \
        'ok:   stop while a write is pending: stop cancels the pending write with CancelIoEx'; do
        grep -Fxq -- "$want" <<<"$out" || fail "lkstreamcheck with SafetyBuffers $safety did not print: $want"
    done
    pass "SafetyBuffers $safety: an input-only stream with silent inputs at the stream's pace; formats -1, 2 and 7 refused; callbacks at the stream's pace after an unplug, a stall, refused and failed writes; a second reset request after a replug; stop with a write pending"
}
stream_with_safety 0
stream_with_safety 2
run 60 "$WINE" reg delete "$user_key" /v SafetyBuffers /f >/dev/null || fail "reg delete SafetyBuffers failed"
! run 60 "$WINE" reg query "$user_key" /v SafetyBuffers >/dev/null || fail "SafetyBuffers is still set"
pass "SafetyBuffers deleted again"

# The user's buffer size, set as a user would with reg add: the unmodified DLL offers 64 (2048 in DSD),
# streams at that size into the model, one half of 64 frames per write, bit-exact; then the value goes.
run 60 "$WINE" reg add "$user_key" /v BufferSize /t REG_DWORD /d 64 /f >/dev/null || fail "reg add BufferSize 64 failed"
status=0
out=$(run 60 "$WINE" "$install_dir\\lkstreamcheck.exe" --buffer-size 64 "$dll_path") || status=$?
sed 's/^/      size64| /' <<<"$out"
grep -Fx 'result: PASS' <<<"$out" >/dev/null || fail "lkstreamcheck --buffer-size 64 did not report success (exit status $status)"
[ $status -eq 0 ] || fail "lkstreamcheck --buffer-size 64 printed success but exited with $status"
for want in 'ok:   PCM: getBufferSize offers 64 only' 'ok:   DSD: getBufferSize offers 2048 only' \
    "ok:   PCM 44.1 kHz at the user's size: every write carries 64 frames" \
    "ok:   DSD64 at the user's size: every write carries 64 frames"; do
    grep -Fxq -- "$want" <<<"$out" || fail "lkstreamcheck --buffer-size 64 did not print: $want"
done
for stream in 'PCM 44.1 kHz' 'DSD64'; do
    grep -q "^$stream at the user's size: bit-exact" <<<"$out" ||
        fail "lkstreamcheck did not report $stream at the user's size bit-exact"
done
pass "BufferSize 64 (reg add): getBufferSize 64 / 2048 DSD, PCM and DSD64 streamed bit-exact in writes of 64 frames"
run 60 "$WINE" reg delete "$user_key" /v BufferSize /f >/dev/null || fail "reg delete BufferSize failed"
! run 60 "$WINE" reg query "$user_key" /v BufferSize >/dev/null || fail "BufferSize is still set"
pass "BufferSize deleted again"

# The same host must fail a DLL that sends one wrong GUID byte: a copy whose KSPROPSETID_Pin ends in
# 01 instead of 00. (This registers the copy; the unregistration below removes the keys either way.)
pin_set='\x60\x49\x13\x8c\xad\x51\xcf\x11\x87\x8a\x94\xf8\x01\xc1\x00\x00'
offset=$(LC_ALL=C grep -obUaP "$pin_set" "$dll" | head -1 | cut -d: -f1)
[ -n "$offset" ] || fail "KSPROPSETID_Pin's bytes are not in $dll"
mkdir -p "$unix_dir/guidflip"
cp "$dll" "$unix_dir/guidflip/lkasio64.dll"
printf '\x01' | dd of="$unix_dir/guidflip/lkasio64.dll" bs=1 seek=$((offset + 15)) conv=notrunc status=none
status=0
out=$(run 170 "$WINE" "$install_dir\\lkstreamcheck.exe" "$install_dir\\guidflip\\lkasio64.dll") || status=$?
grep -E '^(refused|FAIL|result):' <<<"$out" | sed 's/^/      guidflip| /'
grep -Fx 'result: FAIL' <<<"$out" >/dev/null || fail "lkstreamcheck did not fail a DLL with a wrong GUID byte"
[ $status -ne 0 ] || fail "lkstreamcheck failed the changed DLL but exited with 0"
grep -q '^refused: IOCTL_KS_PROPERTY: KSPROPERTY.Set is {8C134960-51AD-11CF-878A-94F801C10001}' <<<"$out" ||
    fail "the model did not refuse the request with the wrong property set"
pass "lkstreamcheck fails a copy of the DLL with one GUID byte changed (the request is refused)"
# The hosts below create the driver from the registry: it must name the built DLL again, not the copy.
out=$(run 120 "$WINE" regsvr32 "$dll_path") || fail "regsvr32 failed: $out"
expect_value "$class_key\\InprocServer32" "" 'c:\program files\larkspur\lkasio64.dll'

# The settings panel, on a virtual X display: a host of ours, with the Larkspur model attached to the
# driver so that init binds a device, opens it twice (one window), a screenshot (the safety buffers
# choice included) is saved as BUILD_DIR/panel.png, and the host picks a size and 2 safety buffers in
# the panel's lists and presses OK, by window messages. Both reach the user's registry, getBufferSize
# and getLatencies, and the host is asked once to reset. A size set with reg add reaches getBufferSize
# too; one the driver does not offer does not.
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
line "model: attached"
line "init: 1"
line "setSampleRate 48000: ASE_OK"
pass "with the Larkspur model attached, init binds the device and 48000 Hz is set"
line "controlPanel: ASE_OK"
line "panel windows: 1"
line "second controlPanel: ASE_OK"
line "panel windows after the second call: 1 (the same window)"
line "panel visible: 1"
pass "controlPanel returns at once with the panel open; a second call opens no second panel"
grep -Eq '^panel driver: .+, version [0-9]+$' <<<"$out" || fail "the panel shows no driver name and version"
line "panel device: Larkspur connected"
line "panel rate: 48000 Hz, PCM"
line "panel size: 1024 samples"
line "panel latency: 21.33 ms per buffer at 48000 Hz"
pass "the panel shows $(sed -n 's/^panel driver: //p' <<<"$out"), the device, the rate and the size in force"
line "panel safety label: Safety buffers"
line "panel safety: none (lowest latency)"
line "panel output latency: 23.33 ms at 48000 Hz"
line "panel drop-outs: Drop-outs in this stream: 0"
line "panel safety buffers: [none (lowest latency)] [1] [2]"
pass "the panel offers safety buffers none (lowest latency), 1 and 2, shows the output latency (23.33 ms) and the stream's drop-outs"
line "chosen size: 256 samples"
line "chosen latency: 5.33 ms per buffer at 48000 Hz"
line "chosen safety: 2"
line "chosen output latency: 18.00 ms at 48000 Hz"
line "panel open after OK: 0"
pass "256 and 2 safety buffers chosen in the panel's lists: 5.33 ms per buffer, 18.00 ms of output latency at 48000 Hz; OK closed the panel"
line "reset requests: 1"
line "latency messages: 1"
pass "the host with buffers was asked once to reset, and told that the latencies changed"
line "safety stored: 2"
line "latencies with the buffers: input 1024, output 1120 (ASE_OK)"
line "latencies after the reset: input 256, output 864 (ASE_OK)"
pass "SafetyBuffers 2 stored; getLatencies: output 1120 while the buffers exist, then 256 x 3 + the device's 96 = 864"
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
run 60 "$WINE" reg delete "$user_key" /v SafetyBuffers /f >/dev/null || fail "reg delete SafetyBuffers failed"
pass "the SafetyBuffers the panel stored deleted again"

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

# ---- The installer (scripts/build_installer.sh): install, upgrade, uninstall, all silent ----
# Built here when missing or older than what goes into it, so the checks install the fresh DLL.
setup_script=$(dirname "$0")/build_installer.sh
setup_sources=$(dirname "$0")/../installer
setup=$(bash "$setup_script" --path "$build")
if [ ! -f "$setup" ] || [ "$setup" -ot "$dll" ] || [ "$setup" -ot "$setup_sources/larkspur-asio.nsi" ] ||
    [ "$setup" -ot "$setup_sources/README.txt" ]; then
    bash "$setup_script" "$build" >/dev/null || fail "the installer did not build"
fi
setup_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
setup_dir='C:\Program Files\Larkspur\ASIO'
setup_unix_dir="$WINEPREFIX/drive_c/Program Files/Larkspur/ASIO"
setup_dll='c:\program files\larkspur\asio\lkasio64.dll'
uninstall_key='HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\Larkspur ASIO'
settings_key='HKEY_CURRENT_USER\Software\Larkspur\ASIO'
pending_key='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager'
# Wine hands on only the low 8 bits of a program's exit code: 3010 (restart needed) arrives as 194.
exit_restart=$((3010 % 256))

# Runs the installer or uninstaller; returns its exit code.
setup_run() {
    local status=0
    run 120 "$WINE" "$@" >/dev/null || status=$?
    return $status
}
# Runs a command line as Windows would: the quoted program, then the rest of the line word for word
# (Wine quotes an argument with spaces, which would hide "_?=" from the uninstaller).
run_command_line() {
    local line=$1 args
    [[ $line =~ ^\"([^\"]+)\"\ (.*)$ ]] || fail "not a quoted command line: $line"
    read -ra args <<<"${BASH_REMATCH[2]}"
    setup_run "${BASH_REMATCH[1]}" "${args[@]}"
}
expect_exit() {
    local want=$1 got=$2 what=$3
    [ "$got" -eq "$want" ] || fail "$what exited with $got, expected $want"
}
# Installs silently and expects exit code $1; $2 says which install it was.
install_expecting() {
    local status=0
    setup_run "$setup" /S || status=$?
    expect_exit "$1" $status "$2"
}

# The five values of a registered driver, COM's path pointing at the installed file.
expect_registered() {
    expect_value "$class_key" "" "Larkspur ASIO 1.09"
    expect_value "$class_key\\InprocServer32" "" "$setup_dll"
    expect_value "$class_key\\InprocServer32" ThreadingModel Apartment
    expect_value "$driver_key" CLSID "$clsid"
    expect_value "$driver_key" Description "Larkspur ASIO 1.09"
}
expect_entry() {
    local version=$1 out want
    out=$(run 60 "$WINE" reg query "$uninstall_key") || fail "no uninstall entry $uninstall_key"
    out=$(sed -E 's/^ +//; s/ {2,}/ /g' <<<"$out")
    for want in "DisplayName REG_SZ Larkspur ASIO Driver" "DisplayVersion REG_SZ $version" \
        "Publisher REG_SZ Larkspur" "InstallLocation REG_SZ $setup_dir" \
        "UninstallString REG_SZ \"$setup_dir\\uninstall.exe\" _?=$setup_dir" \
        "QuietUninstallString REG_SZ \"$setup_dir\\uninstall.exe\" /S _?=$setup_dir"; do
        grep -Fxq -- "$want" <<<"$out" || fail "the uninstall entry lacks: $want"
    done
    grep -Eq '^EstimatedSize REG_DWORD 0x0*[1-9a-f]' <<<"$out" || fail "the uninstall entry has no size"
    pass "uninstall entry: Larkspur ASIO Driver $version, Larkspur, $setup_dir, size, both uninstall strings"
}
expect_files() {
    cmp -s "$dll" "$setup_unix_dir/lkasio64.dll" || fail "$setup_dir\\lkasio64.dll is not the built driver"
    [ -f "$setup_unix_dir/README.txt" ] && [ -f "$setup_unix_dir/uninstall.exe" ] ||
        fail "README.txt or uninstall.exe missing in $setup_dir"
    pass "$setup_dir holds the built lkasio64.dll, README.txt and uninstall.exe"
}
# What a restart does to pending renames and deletions.
restart_windows() {
    run 120 "$WINE" wineboot -r >/dev/null || fail "wineboot -r did not finish"
}
expect_removed() {
    ! key_exists "$class_key" || fail "$class_key is still there"
    ! key_exists "$driver_key" || fail "$driver_key is still there"
    key_exists 'HKEY_LOCAL_MACHINE\SOFTWARE\ASIO' || fail "HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO is gone"
    ! key_exists "$uninstall_key" || fail "the uninstall entry is still there"
    [ ! -e "$setup_unix_dir/lkasio64.dll" ] && [ ! -e "$setup_unix_dir/README.txt" ] ||
        fail "the driver's files are still in $setup_dir"
    pass "uninstalled: both driver keys, the entry, lkasio64.dll and README.txt gone; SOFTWARE\\ASIO kept"
    # Wine can neither delete nor move the running uninstaller: it goes at the restart, with its folder.
    restart_windows
    [ ! -e "$setup_unix_dir" ] || fail "$setup_dir is still there after a restart"
    pass "after a restart $setup_dir is gone"
}

echo "wine checks: installer $(basename "$setup")"
setup_started=$SECONDS
install_expecting 0 "the silent install"
pass "silent install exited with 0"
expect_files
expect_registered
expect_entry "$setup_version"

# A host creates the installed driver.
mkdir -p "$WINEPREFIX/drive_c/lkhost"
cp "$host" "$WINEPREFIX/drive_c/lkhost/"
out=$(run 120 "$WINE" 'C:\lkhost\asiohost.exe' "ASIO Larkspur Driver") || fail "asiohost failed: $out"
grep -Fxq "create: 0x00000000" <<<"$out" || fail "asiohost did not create the installed driver"
grep -Fxq "release: 0" <<<"$out" || fail "asiohost did not release the installed driver"
pass "asiohost created and released the installed driver"

# Over the same version, and over an older one (the entry is made to look older).
install_expecting 0 "installing over the same version"
expect_registered
expect_entry "$setup_version"
pass "installed over the same version"
run 60 "$WINE" reg add "$uninstall_key" /v DisplayVersion /d 0.1.0 /f >/dev/null || fail "reg add failed"
install_expecting 0 "installing over 0.1.0"
expect_registered
expect_entry "$setup_version"
pass "upgraded over 0.1.0"
# Never over a newer one: exit code 4, nothing touched.
run 60 "$WINE" reg add "$uninstall_key" /v DisplayVersion /d 99.0.0 /f >/dev/null || fail "reg add failed"
install_expecting 4 "installing over 99.0.0"
[ "$(reg_value "$uninstall_key" DisplayVersion)" = 99.0.0 ] || fail "installing over 99.0.0 changed the entry"
pass "refused to replace 99.0.0 (exit code 4)"
run 60 "$WINE" reg add "$uninstall_key" /v DisplayVersion /d "$setup_version" /f >/dev/null || fail "reg add failed"

# A program holds the driver's file open: the upgrade leaves the replacement to the restart and says
# so with 3010; the restart completes it.
cat >"$WINEPREFIX/holder.nsi" <<'NSI'
Unicode true
Target amd64-unicode
OutFile "holder.exe"
SilentInstall silent
RequestExecutionLevel user
Section
    ; Shared for reading only: nobody may delete, move or overwrite the file meanwhile.
    System::Call 'kernel32::CreateFileW(w "C:\Program Files\Larkspur\ASIO\lkasio64.dll", i 0x80000000, i 1, p 0, i 3, i 0, p 0) p .r0'
    FileOpen $1 "C:\lkhost\holding" w
    FileClose $1
    StrCpy $2 0
    wait:
        IfFileExists "C:\lkhost\release" done
        Sleep 100
        IntOp $2 $2 + 1
        IntCmp $2 300 done wait done
    done:
SectionEnd
NSI
(cd "$WINEPREFIX" && makensis -V1 holder.nsi >/dev/null) || fail "the file holder did not build"
timeout --kill-after=10 60 "$WINE" "$WINEPREFIX/holder.exe" </dev/null >/dev/null 2>&1 &
holder=$!
for _ in $(seq 100); do
    [ -f "$WINEPREFIX/drive_c/lkhost/holding" ] && break
    sleep 0.1
done
[ -f "$WINEPREFIX/drive_c/lkhost/holding" ] || fail "the file holder did not start"
status=0
setup_run "$setup" /S || status=$?
touch "$WINEPREFIX/drive_c/lkhost/release"
wait $holder || true
expect_exit $exit_restart $status "upgrading a held driver"
pending=$(run 60 "$WINE" reg query "$pending_key" /v PendingFileRenameOperations) || pending=
grep -Fq 'ASIO\lkasio64.dll.new' <<<"$pending" || fail "no replacement of lkasio64.dll is pending"
expect_registered
pass "upgrading a held driver: exit code 3010, the replacement waits for the restart"
restart_windows
[ ! -e "$setup_unix_dir/lkasio64.dll.new" ] || fail "the restart did not replace lkasio64.dll"
expect_files
pass "after a restart the new lkasio64.dll is in place"

# Uninstall with the entry's quiet command line. It must wait for the real result: everything is
# checked the moment it returns.
run 60 "$WINE" reg add "$settings_key" /v Check /d kept /f >/dev/null || fail "reg add failed"
status=0
run_command_line "$(reg_value "$uninstall_key" QuietUninstallString)" || status=$?
expect_exit 0 $status "the quiet uninstall"
pass "quiet uninstall exited with 0"
expect_removed
[ "$(reg_value "$settings_key" Check)" = kept ] || fail "uninstalling removed the user's settings"
pass "the user's settings in $settings_key kept"

# /PURGE takes the user's settings as well.
install_expecting 0 "installing again"
status=0
run_command_line "$(reg_value "$uninstall_key" QuietUninstallString | sed 's| /S | /S /PURGE |')" || status=$?
expect_exit 0 $status "the quiet uninstall with /PURGE"
! key_exists "$settings_key" || fail "/PURGE left $settings_key"
pass "uninstall /PURGE removed $settings_key"
expect_removed
# A driver file that cannot register fails the install with exit code 6, and still leaves an entry
# that removes it again; that uninstall, with no driver to unregister itself, removes keys naming it.
broken_dir=$WINEPREFIX/broken
mkdir -p "$broken_dir"
printf 'not a DLL\n' >"$broken_dir/lkasio64.dll"
printf 'README\n' >"$broken_dir/README.txt"
makensis -V1 -NOCD "-DVERSION=$setup_version" -DVERSION_QUAD=0.0.0.0 "-DDLL=$broken_dir/lkasio64.dll" \
    "-DREADME_TXT=$broken_dir/README.txt" "-DOUTFILE=$broken_dir/setup.exe" \
    "$setup_sources/larkspur-asio.nsi" >/dev/null || fail "the broken installer did not build"
status=0
setup_run "$broken_dir/setup.exe" /S || status=$?
expect_exit 6 $status "installing an unloadable driver"
key_exists "$uninstall_key" || fail "a failed registration left no uninstall entry"
pass "an unloadable driver: exit code 6, the uninstall entry written"
run 60 "$WINE" reg add "$class_key\\InprocServer32" /ve /d "$setup_dll" /f >/dev/null || fail "reg add failed"
run 60 "$WINE" reg add "$driver_key" /v CLSID /d "$clsid" /f >/dev/null || fail "reg add failed"
status=0
run_command_line "$(reg_value "$uninstall_key" QuietUninstallString)" || status=$?
expect_exit 0 $status "uninstalling an unloadable driver"
expect_removed
echo "wine checks: the installer's checks took $((SECONDS - setup_started)) s"

echo "wine checks: all $checks checks passed"
