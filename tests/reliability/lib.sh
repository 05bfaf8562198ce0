# Shared by the reliability scripts (sourced): where the programs are, how
# to run one unattended, the independent checks of a copy, and the tally.
set -u
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${QV_BUILD_DIR:-$ROOT/build${QV_BUILD_TAG:-}}
passed=0
failed=0

ok() { passed=$((passed + 1)); echo "  ok   $1"; }
bad() { failed=$((failed + 1)); echo "  FAIL $1"; }
# expect NAME WANTED GOT: exact text comparison, with a diff on failure.
expect() {
  if [ "$2" == "$3" ]; then ok "$1"; else
    bad "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | head -${QV_DIFF_LINES:-20} | sed 's/^/       /'
  fi
}
finish() {
  echo "$(basename "$0" .sh): $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
# A scratch folder removed on exit; every test works below it.
scratch() {
  T=$(mktemp -d "${TMPDIR:-/tmp}/qv-rel.XXXXXX")
  trap 'chmod -R u+rwx "$T" 2>/dev/null; rm -rf "$T"' EXIT
}

# The program of a configuration, and whether it is built.
program() {
  case $1 in
    win64 | win32) echo "$BUILD/$1/Quarnelvistro.exe" ;;
    *) echo "$BUILD/$1/Quarnelvistro" ;;
  esac
}
have() { [ -x "$(program "$1")" ]; }

# built_configs "DEFAULTS" [CONFIG...]: the configurations asked for (or the
# defaults), one a line, those not built said and left out.
built_configs() {
  local defaults=$1 config
  shift
  [ $# -gt 0 ] || set -- $defaults
  for config in "$@"; do
    if have "$config"; then echo "$config"; else echo "--- $config: not built, skipped" >&2; fi
  done
}

# run_qv CONFIG DIR: one unattended run in DIR, ended after QV_RUN_LIMIT
# seconds (default 600) should it hang; its exit code.
run_qv() {
  local limit=${QV_RUN_LIMIT:-600}
  case $1 in
    win64 | win32)
      (cd "$2" && timeout "$limit" "$ROOT/cmake/wine-run.sh" "$BUILD/$1/wineprefix" "$(program "$1")" -w) ;;
    *) (cd "$2" && timeout "$limit" "$(program "$1")" -w) ;;
  esac
}

# log_text CONFIG DIR: the log of the run in DIR as UTF-8 text (the Windows
# programs write Windows-1251, the native one UTF-8), "<none>" when there is none.
log_text() {
  local from=UTF-8
  case $1 in win64 | win32) from=CP1251 ;; esac
  if [ -f "$2/QuarnelvistroLOG.txt" ]; then iconv -f $from -t UTF-8 "$2/QuarnelvistroLOG.txt"; else echo "<none>"; fi
}
# The rejected header and a CR LF, as the log starts when lines are rejected.
REJECTED_HEADER="$(printf '%s\r' 'Ошибочные, несуществующие пути. Или файлы, указанные вместо каталога назначения. Или пропущенные при отсутствии каталога назначения. :')"

# differences SRC COPY DIGITS: what an independent tool finds between a
# source tree (links followed) and its copy, one line a file, nothing when
# the copy is exact: rsync's itemized content and presence differences
# (by checksum), then "time PATH" for every file whose last-write time
# differs in its first DIGITS decimals of a second (9 natively, 7 under
# Windows, whose file times are 100 ns ticks).
differences() {
  # Dangling links are the source's own fault: rsync names them on stderr.
  rsync -rLO8 --checksum --delete --ignore-errors --dry-run -i "$1/" "$2/" 2>/dev/null |
    grep -Ev '^([^*]d|\*deleting .*/$|IO error encountered|created directory|skipping non-regular)'
  LC_ALL=C join -t $'\t' -j 1 <(file_times "$1" "$3") <(file_times "$2" "$3") |
    awk -F '\t' '$2 != $3 { print "time " $1 }'
}
file_times() {
  (cd "$1" && find -L . -type f -printf '%P\t%T@\n' 2>/dev/null) |
    sed -E "s/(\.[0-9]{$2})[0-9]*\$/\1/" | LC_ALL=C sort -t $'\t' -k1,1
}
# stamps DIR: every file with its inode and change time, to tell which were written.
stamps() { (cd "$1" && find . -type f -printf '%P\t%i %C@\n' | LC_ALL=C sort -t $'\t' -k1,1); }
# rewritten BEFORE AFTER: the files whose stamps changed or that are new, sorted.
rewritten() {
  LC_ALL=C join -t $'\t' -a 2 -e none -o 0,1.2,2.2 <(echo "$1") <(echo "$2") |
    awk -F '\t' '$2 != $3 { print $1 }'
}
