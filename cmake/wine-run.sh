#!/bin/sh
# Runs a Windows program under Wine in a prefix of the build's own, with the
# Russian ANSI code page (1251) and Wine's own messages off:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
#   wine-run.sh PREFIX          (only makes the prefix)
# The prefix is made on first use, once, however many runs start together.
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$prefix/.ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  flock "$prefix.lock" sh -c '
    [ -f "$WINEPREFIX/.ready" ] && exit 0
    wineboot -i >/dev/null 2>&1 && wineserver -w && touch "$WINEPREFIX/.ready"' || {
    echo "wine-run: cannot make the Wine prefix $prefix" >&2
    exit 125
  }
fi
[ $# -gt 0 ] || exit 0
exec wine "$@"
