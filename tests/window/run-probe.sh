#!/usr/bin/env bash
# Runs the window probe under Wine on an X server of its own, then stops the
# server and every process started here:
#   run-probe.sh WINE_RUN PREFIX PROBE PROGRAM
# PREFIX is a Wine prefix for this test alone: no Wine process of another
# test, started without a display, then serves these windows.
set -u
wine_run=$1 prefix=$2 probe=$3 program=$(realpath "$4") work=$(mktemp -d) xvfb=''
stop() {
  # The prefix's own helpers end a few seconds after the last program; let
  # them go before their display does.
  WINEPREFIX=$prefix timeout 30 wineserver -w 2>/dev/null || WINEPREFIX=$prefix wineserver -k 2>/dev/null
  [ -z "$xvfb" ] || { kill "$xvfb" && wait "$xvfb"; } 2>/dev/null
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' INT TERM HUP

# -displayfd: the server takes a free display number and tells which.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >"$work/xvfb.log" 2>&1 </dev/null &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] || sleep 0.1; done
[ -s "$work/display" ] || { echo "window test: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n 1 "$work/display")"

# No window manager runs here: Wine draws the window's frame itself, with
# the caption buttons in Wine's Marlett font, which it does not find alone.
if [ ! -f "$prefix/.window-test" ]; then
  printf '%s\n' REGEDIT4 '' '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Decorated"="N"' '' \
    '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\Fonts]' \
    '"Marlett (TrueType)"="Z:\\usr\\share\\wine\\fonts\\marlett.ttf"' >"$work/setup.reg"
  "$wine_run" "$prefix" regedit /S "Z:${work//\//\\}\\setup.reg" && touch "$prefix/.window-test" || exit 1
fi
# Wine sees the Unix root as drive Z:.
timeout -k 10 300 "$wine_run" "$prefix" "$probe" "Z:${program//\//\\}" </dev/null
