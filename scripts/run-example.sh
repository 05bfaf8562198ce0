#!/usr/bin/env bash
# One unattended backup of the bundled example with the x86-64 Windows
# program under Wine, then its log and the copied tree.
#
# The example's list names drive X:, which the build's Wine prefix maps to a
# fresh copy of example/drive.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build${QV_BUILD_TAG:-}/win64"
run="$top/build${QV_BUILD_TAG:-}/example-run"
prefix="$build/wineprefix"

. "$top/scripts/example-lib.sh"
lay_out_example "$top/example" "$run" "$prefix"

echo "== Quarnelvistro.txt"
iconv -f CP1251 -t UTF-8 "$run/Quarnelvistro.txt" | tr -d '\r'
echo "== Quarnelvistro.exe -w (under Wine, in $run)"
# 0: all backed up; 1: the log lists what was not (here X:\Missing.txt); 2: no backup.
code=0
(cd "$run" && "$top/cmake/wine-run.sh" "$prefix" "$build/Quarnelvistro.exe" -w) || code=$?
echo "exit code $code"
echo "== QuarnelvistroLOG.txt (converted to UTF-8)"
iconv -f CP1251 -t UTF-8 "$run/QuarnelvistroLOG.txt" | tr -d '\r'
echo
echo "== copied tree X:\\Backup"
(cd "$run/X:/Backup" && find . -type f | sort)
echo
echo "The window: make run-window (needs a display)."
