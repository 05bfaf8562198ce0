# Shared by the shell tests (sourced): where the programs are, the one way
# to run them unattended, the tally, and the checks of a copy made with
# rsync and find, independently of the program's own code.
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${QV_BUILD_DIR:-$ROOT/build${QV_BUILD_TAG:-}}
passed=0 failed=0 links=()
ok() { passed=$((passed + 1)) && echo "  ok   $1"; }
bad() { failed=$((failed + 1)) && echo "  FAIL $1"; }
# expect NAME WANTED GOT: exact text, with a diff when it differs.
expect() {
  [ "$2" != "$3" ] || { ok "$1" && return; }
  bad "$1" && diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | head -20 | sed 's/^/       /'
}
# lines LINE...: the lines given, sorted bytewise.
lines() { printf '%s\n' "$@" | LC_ALL=C sort; }
finish() { echo "$(basename "$0" .sh): $passed passed, $failed failed" && [ "$failed" -eq 0 ]; }
# scratch: $T, a folder removed on exit, and so are the Wine drives of drive.
scratch() {
  T=$(mktemp -d "${TMPDIR:-/tmp}/qv-rel.XXXXXX")
  trap 'rm -f "${links[@]}"; chmod -R u+rwx "$T" 2>/dev/null; rm -rf "$T"' EXIT
}
win() { [ "$1" = win64 ] || [ "$1" = win32 ]; }
program() { if win "$1"; then echo "$BUILD/$1/Quarnelvistro.exe"; else echo "$BUILD/$1/Quarnelvistro"; fi; }
# configs [CONFIG...]: those asked for (default linux win64 win32) that are built.
configs() { for c in ${@:-linux win64 win32}; do [ -x "$(program "$c")" ] && echo "$c" || echo "--- $c: not built" >&2; done; }
# drive CONFIG LETTER DIR: DIR is drive LETTER: of CONFIG's Wine prefix.
drive() {
  "$ROOT/cmake/wine-run.sh" "$BUILD/$1/wineprefix" && ln -sfn "$3" "$BUILD/$1/wineprefix/dosdevices/$2:"
  links+=("$BUILD/$1/wineprefix/dosdevices/$2:")
}
# run_qv CONFIG DIR [COMMAND...]: in DIR, the program's unattended run (or
# COMMAND), under Wine for a Windows CONFIG, as the user $as names if set,
# ended after QV_RUN_LIMIT seconds should it hang; its exit code.
run_qv() {
  local c=$1 d=$2 && shift 2
  [ $# -gt 0 ] || set -- "$(program "$c")" -w
  ! win "$c" || set -- "$ROOT/cmake/wine-run.sh" "$BUILD/$c/wineprefix" "$@"
  (cd "$d" && timeout "${QV_RUN_LIMIT:-600}" ${as:-} "$@")
}
# log_text CONFIG DIR: the log in DIR in UTF-8 (the Windows programs write
# Windows-1251), "<none>" when there is none.
log_text() {
  local f=$2/QuarnelvistroLOG.txt from=UTF-8 && ! win "$1" || from=CP1251
  if [ -f "$f" ]; then iconv -f $from -t UTF-8 "$f"; else echo "<none>"; fi
}
# differences SRC COPY DIGITS: what rsync (by checksum, links followed; it
# names dangling links on stderr) finds between a tree and its copy, then
# "time PATH" for each file whose last-write time differs in its first DIGITS
# decimals of a second (9 natively, 7 under Windows). Nothing: an exact copy.
differences() {
  rsync -rLO8 --checksum --delete --ignore-errors --dry-run -i "$1/" "$2/" 2>/dev/null |
    grep -Ev '^([^*]d|\*deleting .*/$|IO error encountered|created directory|skipping non-regular)'
  LC_ALL=C join -t $'\t' <(times_in "$1" "$3") <(times_in "$2" "$3") | awk -F '\t' '$2 != $3 { print "time " $1 }'
}
times_in() { (cd "$1" && find -L . -type f -printf '%P\t%T@\n' 2>/dev/null) | sed -E "s/(\.[0-9]{$2})[0-9]*\$/\1/" | LC_ALL=C sort; }
# stamps DIR: each file with its inode and change time; rewritten BEFORE
# AFTER: the files whose stamps changed or that are new, sorted.
stamps() { (cd "$1" && find . -type f -printf '%P\t%i %C@\n' | LC_ALL=C sort); }
rewritten() { LC_ALL=C join -t $'\t' -a 2 -e none -o 0,1.2,2.2 <(echo "$1") <(echo "$2") | awk -F '\t' '$2 != $3 { print $1 }'; }
