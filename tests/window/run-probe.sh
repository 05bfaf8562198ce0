#!/usr/bin/env bash
# Runs the window probe under Wine on an X server of its own, then stops the
# server and every process started here:
#   run-probe.sh WINE_RUN PREFIX PROBE PROGRAM [SCREENSHOT.png]
# PREFIX is a Wine prefix for this test alone: no Wine process of another
# test, started without a display, then serves these windows. With
# SCREENSHOT, the window showing a run with rejected lines is saved there.
set -u
wine_run=$1 prefix=$2 probe=$3 program=$4 shot=${5:-}
work=$(mktemp -d)
xvfb_pid='' probe_pid=''

# Wine sees the Unix root as drive Z:.
winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }

stop() {
  if [ -n "$probe_pid" ] && kill -0 "$probe_pid" 2>/dev/null; then
    kill "$probe_pid"
    # The program the probe started belongs to this prefix alone.
    WINEPREFIX=$prefix wineserver -k 2>/dev/null
  fi
  # Wine's own helpers of the prefix end a few seconds after the last
  # program; let them go before their display does.
  WINEPREFIX=$prefix timeout 30 wineserver -w 2>/dev/null
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' INT TERM HUP

# -displayfd: the server takes a free display number and tells which.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" >"$work/xvfb.log" 2>&1 </dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "window test: Xvfb did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(head -n 1 "$work/display")"

# No window manager runs here: Wine draws the window's frame itself, with
# the caption buttons in Wine's Marlett font, which it does not find alone.
if [ ! -f "$prefix/.window-test" ]; then
  cat >"$work/setup.reg" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Decorated"="N"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\Fonts]
"Marlett (TrueType)"="Z:\\usr\\share\\wine\\fonts\\marlett.ttf"
EOF
  "$wine_run" "$prefix" regedit /S "$(winpath "$work/setup.reg")" && touch "$prefix/.window-test" || exit 1
fi

marker=$work/shot.txt
timeout -k 10 300 "$wine_run" "$prefix" "$probe" "$(winpath "$program")" \
  ${shot:+"$(winpath "$marker")"} </dev/null &
probe_pid=$!
while kill -0 "$probe_pid" 2>/dev/null; do
  if [ -n "$shot" ] && [ -s "$marker" ]; then
    sleep 0.5  # the last paint
    import -display "$DISPLAY" -window root -crop "$(head -n 1 "$marker")" +repage "$shot" ||
      echo "window test: no screenshot" >&2
    rm -f "$marker"
  fi
  sleep 0.2
done
wait "$probe_pid"
