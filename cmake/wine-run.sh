#!/bin/sh
# Runs a Windows program under Wine in a prefix of the build's own, with the
# Russian ANSI code page (1251) and Wine's own messages off:
#   wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
#   wine-run.sh PREFIX          (only makes the prefix)
#   wine-run.sh --x86           (exit 0 when 32-bit x86 programs can run here)
# The prefix is made on first use, once, however many runs start together.
#
# Wine's 32-bit loader starts both kinds of program. Some kernels (virtual
# machines without 32-bit compatibility mode) refuse to run 32-bit x86 code at
# all: there the 64-bit loader starts the 64-bit programs, and a 32-bit one
# cannot run.
x86=/usr/lib/wine/wine x64=/usr/lib/wine/wine64
if "$x86" --version >/dev/null 2>&1; then wine=wine; else wine=$x64 && export WINELOADER=$x64; fi
if [ "$1" = --x86 ]; then [ "$wine" = wine ]; exit; fi
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 wine
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ ! -f "$prefix/.ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  flock "$prefix.lock" sh -c '
    [ -f "$WINEPREFIX/.ready" ] && exit 0
    "$wine" wineboot -i >/dev/null 2>&1 && wineserver -w && touch "$WINEPREFIX/.ready"' || {
    echo "wine-run: cannot make the Wine prefix $prefix" >&2
    exit 125
  }
fi
[ $# -gt 0 ] || exit 0
exec "$wine" "$@"
