#!/usr/bin/env bash
# Runs the Windows build's device-free checks under Wine, in a private prefix below the build
# folder, quietly, and stops Wine's server afterwards: the device access library's checks, then
# the ASIO driver as hosts meet it (registered by regsvr32, its keys where hosts look, created by
# asiohost.exe, which with no device present prints the driver's "No device", then unregistered
# with nothing left behind).
set -euo pipefail
build=${1:-build/windows}
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
log="$PWD/$build/wine-checks.log"
: > "$log"
status=0

fail() {
    echo "Wine check failed: $*"
    status=1
}

# A program's exit code, its output kept in $output and in the log.
run() {
    local code=0
    output=$(timeout 300 "$wine64" "$@" 2>>"$log") || code=$?
    printf '$ %s\n%s\n' "$*" "$output" >>"$log"
    return "$code"
}

# Windows always has a desktop for a program's hidden windows (the ASIO driver makes one in init);
# Wine without a display has one with its null graphics driver, read when its server starts.
run reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f || fail "the null graphics driver (exit $?)"
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true

run "$build/tests/wine/r9common_checks.exe" || fail "device access library checks (exit $?)"

clsid='{8B530174-8B34-48B8-AA68-B3170BDFC34E}'
asio_key='HKLM\SOFTWARE\ASIO\TAVO R9 ASIO Driver'
server_key="HKCR\\CLSID\\$clsid\\InprocServer32"
installed="$WINEPREFIX/drive_c/Program Files/TAVO/R9"
dll='C:\Program Files\TAVO\R9\tvr9asio.dll'
mkdir -p "$installed"
cp "$build/asio/tvr9asio.dll" "$build/tools/asiohost/asiohost.exe" "$installed/"

# A registry value must read as expected (reg prints "    name    REG_SZ    data").
expect_value() {
    local key=$1 value=$2 data=$3 args=(/v "$2")
    [ "$value" = "(Default)" ] && args=(/ve)
    if ! run reg query "$key" "${args[@]}"; then
        fail "$key has no value $value"
    elif ! grep -qiF "REG_SZ    $data" <<<"${output//$'\r'/}"; then
        fail "$key value $value is not '$data': $output"
    fi
}

if run regsvr32 /s "$dll"; then
    expect_value "$asio_key" CLSID "$clsid"
    expect_value "$asio_key" Description "TAVO R9 ASIO Driver"
    expect_value "$server_key" "(Default)" 'c:\program files\tavo\r9\tvr9asio.dll'
    expect_value "$server_key" ThreadingModel Apartment
    run 'C:\Program Files\TAVO\R9\asiohost.exe' --list || fail "asiohost --list (exit $?)"
    grep -qF "TAVO R9 ASIO Driver" <<<"$output" || fail "asiohost does not list the driver: $output"
    code=0
    run 'C:\Program Files\TAVO\R9\asiohost.exe' "TAVO R9 ASIO Driver" || code=$?
    [ "$code" -eq 1 ] || fail "asiohost with no device exits $code, not 1"
    grep -qF "init: failed: No device" <<<"${output//$'\r'/}" || fail "asiohost does not print the driver's error: $output"
    run regsvr32 /u /s "$dll" || fail "regsvr32 /u (exit $?)"
    run reg query "$asio_key" && fail "$asio_key is still there after regsvr32 /u"
    run reg query "HKCR\\CLSID\\$clsid" && fail "the class key is still there after regsvr32 /u"
else
    fail "regsvr32 $dll (exit $?)"
fi

"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
if [ "$status" -ne 0 ]; then
    echo "what Wine ran and printed: $log"
fi
exit "$status"
