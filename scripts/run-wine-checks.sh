#!/usr/bin/env bash
# Runs the Windows build's device-free checks of the device access library under Wine, in a
# private prefix below the build folder, quietly, and stops Wine's server afterwards.
set -euo pipefail
build=${1:-build/windows}
program="$build/tests/wine/r9common_checks.exe"
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
status=0
timeout 600 "$wine64" "$program" 2> "$build/wine-checks.log" || status=$?
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
if [ "$status" -ne 0 ]; then
    echo "device access library checks failed under Wine (exit $status); Wine's messages: $build/wine-checks.log"
fi
exit "$status"
