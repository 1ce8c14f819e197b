#!/usr/bin/env bash
# Runs the control panel of the Windows build under Wine on a virtual X display with no R9
# present: waits for its window (by its title, as X sees it), saves a screenshot as
# build/windows/controlpanel.png, then lets a Windows checker look at the panel's controls and
# start it a second time. Quiet, in a private prefix below the build folder, every step bounded
# by a time-out; Wine's server is stopped at the end.
set -euo pipefail
build=${1:-build/windows}
panel="$build/controlpanel/tvr9audiocp.exe"
checker="$build/tests/wine_panel/panel_window_check.exe"
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX="$PWD/$build/wineprefix-panel" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
log="$build/wine-panel.log"
export R9_WINE64="$wine64" R9_PANEL="$panel" R9_CHECKER="$checker" R9_SHOT="$build/controlpanel.png" R9_LOG="$log"

# On the virtual display: the panel, its window, the screenshot, the checker.
session() {
    # Without a window manager Wine draws the windows' frames and captions itself.
    "$R9_WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >> "$R9_LOG" 2>&1
    "$R9_WINE64" "$R9_PANEL" >> "$R9_LOG" 2>&1 &
    for _ in $(seq 1 120); do
        xwininfo -root -tree 2>/dev/null | grep -q '"TAVO R9 Control Panel"' && break
        sleep 0.5
    done
    if ! xwininfo -root -tree 2>/dev/null | grep -q '"TAVO R9 Control Panel"'; then
        echo "no window titled \"TAVO R9 Control Panel\" appeared"
        return 1
    fi
    echo "ok: X shows a window titled \"TAVO R9 Control Panel\""
    sleep 1
    timeout 30 import -window root "$R9_SHOT"
    # The panel's path as Windows names it: Wine maps the root of the file system to Z:.
    timeout 120 "$R9_WINE64" "$R9_CHECKER" "Z:$(realpath "$R9_PANEL" | tr '/' '\\')"
}

if [ "${2:-}" = "--session" ]; then
    session
    exit
fi

mkdir -p "$WINEPREFIX"
: > "$log"
status=0
timeout 600 xvfb-run -a -s '-screen 0 800x600x24' "$0" "$build" --session || status=$?
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
if [ "$status" -ne 0 ]; then
    echo "control panel check under Wine failed (exit $status); Wine's messages: $log"
fi
exit "$status"
