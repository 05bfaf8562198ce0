#!/usr/bin/env bash
# Runs the window probe under Wine on an X server of its own:
#   run-probe.sh PREFIX PROBE PROGRAM WINE_RUN...
# PREFIX is a Wine prefix for this test alone: no Wine process of another
# test, started without a display, then serves these windows. Its helpers
# end a few seconds after the last program; they go before their display.
program=$(realpath "$3")
xvfb-run -a -s "-nolisten tcp -screen 0 1024x768x24" sh -c 'prefix=$1 probe=$2 program=$3 && shift 3
  timeout -k 10 300 "$@" "$prefix" "$probe" "Z:$program"; code=$?
  WINEPREFIX=$prefix timeout 30 wineserver -w || WINEPREFIX=$prefix wineserver -k; exit $code' \
  sh "$1" "$2" "${program//\//\\}" "${@:4}"
