#!/bin/sh
# Runs a Windows program under Wine in a prefix of the build's own, with the
# Russian ANSI code page (1251) and Wine's own messages off:
#   wine-run.sh [--x86] PREFIX PROGRAM [ARGUMENTS...]
#   wine-run.sh [--x86] PREFIX          (only makes the prefix)
#   wine-run.sh --native-x86            (exit 0 when 32-bit x86 code runs natively here)
# --x86: PREFIX serves the x86 program (and may serve the x86-64 one too).
# QV_WINE_AS: a command the program runs under, as "setpriv --bounding-set=-all"
# to run it without root's capabilities (given before this script, it would
# keep the namespace below from mapping root).
# The prefix is made on first use, once, however many runs start together.
#
# Wine's 32-bit loader starts both kinds of program. Some kernels (virtual
# machines without 32-bit compatibility mode) refuse to run 32-bit x86 code at
# all: there the 64-bit loader starts the 64-bit programs, and everything in
# an x86 prefix runs in a user and mount namespace of its own, whose own
# binfmt_misc hands 32-bit x86 files to qemu-i386-static. The machine's
# binfmt_misc is not touched, and no process outside sees the emulator.
# Under qemu, Wine's preloader (wine32-preloader) saves a minute a start: it
# reserves Wine's memory before qemu fills it, where Wine without it probes
# the whole address space in 64 KiB steps.
x86=/usr/lib/wine/wine x64=/usr/lib/wine/wine64
if [ -n "${QV_X86_EMULATED:-}" ] || ! "$x86" --version >/dev/null 2>&1; then
  wine=$x64 && export WINELOADER=$x64
else
  wine=wine
fi
# server_elsewhere PREFIX: PREFIX's server runs in another mount namespace
# than this script. The server works in a folder named after the prefix's
# device and inode.
server_elsewhere() {
  dir=$(printf 'server-%x-%x' "0x$(stat -c %D "$1")" "$(stat -c %i "$1")") here=$(readlink /proc/self/ns/mnt)
  for pid in $(pgrep wineserver); do
    case $(readlink "/proc/$pid/cwd") in
      */"$dir") [ "$(readlink "/proc/$pid/ns/mnt")" = "$here" ] || return 0 ;;
    esac
  done
  return 1
}
if [ "$1" = --native-x86 ]; then [ "$wine" = wine ]; exit; fi
# Wine's server ends a few seconds after its last program, and a program
# that starts just as it ends loses it ("wine client error: recvmsg"): the
# server is started here to linger longer than the gaps between the runs of
# a test suite.
linger=10
if [ "$1" = --x86 ]; then
  shift
  if [ "$wine" != wine ] && [ -z "${QV_X86_EMULATED:-}" ]; then
    # The prefix's server, which opens the programs' files, is started out
    # here, so that it sees the drives mounted after the namespace is made.
    # A server found running may be ending (its last program gone, Wine's
    # own processes closing): ended before the program reaches it, the
    # program starts one in its namespace, which outlives it by a second or
    # so and sees no drive mounted since. A program served by that one would
    # write into the folders the new drives hide: wait for it to end first.
    mkdir -p "$1" && while server_elsewhere "$1"; do WINEPREFIX=$1 wineserver -w; done
    WINEPREFIX=$1 wineserver -p$linger 2>/dev/null
    export QV_X86_EMULATED=1
    exec unshare -U -r -m --propagation private "$0" --x86 "$@"
  fi
  if [ -n "${QV_X86_EMULATED:-}" ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    qemu=/usr/bin/qemu-i386-static
    [ -x $qemu ] || { echo "wine-run: $qemu missing (scripts/setup-deps.sh installs it)" >&2; exit 125; }
    # F: the kernel opens qemu now, so it is found whatever the mounts later.
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && printf '%s' ":qemu-i386:M::\
\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\
\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$qemu:F" \
      >/proc/sys/fs/binfmt_misc/register || { echo "wine-run: cannot register qemu for x86 code" >&2; exit 125; }
  fi
fi
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
[ -n "${QV_X86_EMULATED:-}" ] || wineserver -p$linger 2>/dev/null
exec ${QV_WINE_AS:-} "$wine" "$@"
