#!/usr/bin/env bash
# Runs the window probe under Wine on an X server of its own:
#   run-probe.sh WINE_RUN PREFIX PROBE PROGRAM
# PREFIX is a Wine prefix for this test alone: no Wine process of another
# test, started without a display, then serves these windows. Its helpers
# end a few seconds after the last program; they go before their display.
program=$(realpath "$4")
xvfb-run -a -s "-nolisten tcp -screen 0 1024x768x24" sh -c 'timeout -k 10 300 "$1" "$2" "$3" "Z:$4"; code=$?
  WINEPREFIX=$2 timeout 30 wineserver -w || WINEPREFIX=$2 wineserver -k; exit $code' \
  sh "$1" "$2" "$3" "${program//\//\\}"
