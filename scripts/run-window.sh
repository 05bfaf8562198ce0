#!/usr/bin/env bash
# Opens the window of the x86-64 Windows program under Wine on a fresh copy
# of the bundled example, or of DIR laid out like it (Quarnelvistro.txt
# naming drive X:, the drive's contents in DIR/drive). Needs a display.
#   run-window.sh [DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
source=$(cd "${1:-$top/example}" && pwd)
build="$top/build${QV_BUILD_TAG:-}/win64"
run="$top/build${QV_BUILD_TAG:-}/example-window"
prefix="$build/wineprefix"

if [ -z "${DISPLAY:-}" ]; then
  echo "run-window: the window needs a display, and DISPLAY is not set." >&2
  echo "The unattended backup needs none: make run" >&2
  exit 1
fi

. "$top/scripts/example-lib.sh"
lay_out_example "$source" "$run" "$prefix"

echo "Quarnelvistro's window, in $run (drive X: is $run/X:)."
echo "Press \"start coping\"; the copies go to X:\\Backup. Close the window to end."
cd "$run"
code=0
"$top/cmake/wine-run.sh" "$prefix" "$build/Quarnelvistro.exe" || code=$?
echo "exit code $code; copied tree X:\\Backup:"
(cd "$run/X:/Backup" && find . -type f | sort)
