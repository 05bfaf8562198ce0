# Sourced by the shell tests: the programs, the one way to run them, the tally, and the checks of
# a copy made with rsync and find, independently of the program's own code. $T is a scratch folder.
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${QV_BUILD_DIR:-$ROOT/build${QV_BUILD_TAG:-}}
T=$(mktemp -d "${TMPDIR:-/tmp}/qv-rel.XXXXXX") passed=0 failed=0 links=() mounts=() loops=()
# The drives mounted, then the Wine drives that lead into $T, then $T.
trap 'for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || fusermount -u "$m"; done
  for l in "${loops[@]}"; do losetup -d "$l"; done; rm -f "${links[@]}"; rm -rf "$T"' EXIT
# expect NAME WANTED GOT: exact text, with a diff when it differs.
expect() {
  if [ "$2" = "$3" ]; then passed=$((passed + 1)) && echo "  ok   $1" && return; fi
  failed=$((failed + 1)) && echo "  FAIL $1" && diff <(echo "$2") <(echo "$3") | head -20 | sed 's/^/       /'
}
finish() { echo "$(basename "$0" .sh): $passed passed, $failed failed" && [ "$failed" -eq 0 ]; }
sorted() { LC_ALL=C sort "$@"; }
win() { [[ $1 != linux* ]]; }  # all else runs under Wine, in a prefix of its own
program() { echo "$BUILD/$1/Quarnelvistro$(win "$1" && echo .exe)"; }
# configs [CONFIG...]: those asked for (default linux win64 win32) that are built.
configs() {
  for c in ${@:-linux win64 win32}; do
    if [ ! -x "$(program $c)" ]; then echo "$c not built" >&2; else echo $c; fi
  done
}
# wine CONFIG: wine_run, the command that runs a program in CONFIG's Wine prefix, which every config
# but win64 may share with the x86 program.
wine() { wine_run=("$ROOT/cmake/wine-run.sh" $([ "$1" = win64 ] || echo --x86) "$BUILD/$1/wineprefix"); }
# drive CONFIG LETTER DIR: DIR is drive LETTER: of CONFIG's Wine prefix.
drive() {
  links+=("$BUILD/$1/wineprefix/dosdevices/$2:")
  wine "$1" && "${wine_run[@]}" && ln -sfn "$3" "${links[-1]}"
}
# outcome CONFIG DIR [COMMAND...]: "CODE:LOG" (in UTF-8) of the unattended run (or COMMAND) in DIR, as
# the user $as names if set, ended after QV_RUN_LIMIT seconds should it hang.
outcome() {
  local c=$1 d=$2 && shift 2
  [ $# -gt 0 ] || set -- "$(program "$c")" -w
  if win "$c"; then wine "$c" && set -- env QV_WINE_AS="${as:-}" "${wine_run[@]}" "$@"; else set -- ${as:-} "$@"; fi
  touch "$T/mark" && sleep 0.1  # older than all the run writes: see written
  (cd "$d" && timeout "${QV_RUN_LIMIT:-600}" "$@" >&2)
  echo -n "$?:" && iconv -f "$(win "$c" && echo CP1251 || echo UTF-8)" -t UTF-8 "$d/QuarnelvistroLOG.txt" 2>&1
}
# written DIR: the files below DIR written (or made) by the last run.
written() { find "$1" -type f -cnewer "$T/mark" -printf '%P\n' | sorted; }
# differences SRC COPY DIGITS: what rsync (by checksum, links followed) finds missing, different or extra
# in the copy, then "time PATH" where the times differ in DIGITS decimals. Nothing: an exact copy.
differences() {
  rsync -rLcn8i --delete --ignore-errors "$1/" "$2/" 2>/dev/null | grep -Ev '/$|^skipping non-regular'
  LC_ALL=C join -t $'\t' <(mtimes "$1" "$3") <(mtimes "$2" "$3") | awk -F '\t' '$2 != $3 { print "time " $1 }'
}
mtimes() { find -L "$1" -type f -printf '%P\t%T@\n' 2>/dev/null | sed -E "s/(\.[0-9]{$2})[0-9]*$/\1/" | sorted; }
# mountDrive KIND DIR: a fresh file system of KIND mounted on DIR, as root: fat32 (fusefat), exfat
# (exfat-fuse) or full (a 2 MB tmpfs).
mountDrive() {
  mkdir -p "$2" && case $1 in
    fat32) truncate -s 64M "$2.img" && mkfs.vfat -F 32 "$2.img" >/dev/null && fusefat -o rw+ "$2.img" "$2" >/dev/null ;;
    exfat) truncate -s 64M "$2.img" && mkfs.exfat "$2.img" >/dev/null && loops+=("$(losetup -f --show "$2.img")") &&
      mount.exfat-fuse "${loops[-1]}" "$2" >/dev/null ;;
    full) mount -t tmpfs -o size=2m tmpfs "$2" ;;
  esac && mounts+=("$2")
}
