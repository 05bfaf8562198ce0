#!/usr/bin/env bash
# Backs up real trees that no one here wrote, in place and as a copy that
# the test then changes: /usr/share/doc with the native program, and
# /usr/include/x86_64-linux-gnu with both Windows programs under Wine
# (/usr/include/linux holds names that differ only in case, which one
# Windows folder cannot hold side by side). Every copy is checked with rsync
# and find, not with the program's own code: each file backed up is equal in
# content and last-write time, a second run writes nothing, and changed
# files and only those are copied again. (Odd names and lengths are the
# walker's tests' own.)
#   real_tree.sh [CONFIG...]   (default: linux win64 win32, those built)
. "$(dirname "$0")/lib.sh"
scratch
links=()
trap 'rm -f "${links[@]}"; chmod -R u+rwx "$T" 2>/dev/null; rm -rf "$T"' EXIT

# check_log NAME RC WORK LINE DIR EXTRA: the run exited with 0 and its log
# lists exactly the dangling links below DIR (the native program sees them;
# Windows programs under Wine do not see them at all) and the EXTRA lines,
# in the program's form of a path (LINE, then the rest with backslashes).
check_log() {
  local wanted=$6 log body
  if [ "$config" = linux ]; then
    while IFS= read -r p; do
      [ -n "$p" ] && wanted+=$'\n'"$4\\${p//\//\\}"
    done < <(find -L "$5" -type l -printf '%P\n' 2>/dev/null)
  fi
  wanted=$(grep -v '^$' <<<"$wanted" | LC_ALL=C sort)
  log=$(log_text "$config" "$3")
  body=$(tail -n +2 <<<"$log" | tr -d '\r' | LC_ALL=C sort)
  if [ -z "$wanted" ]; then
    expect "$1" "0:" "$2:$log"
  else
    expect "$1" "1:$REJECTED_HEADER:$wanted" "$2:$(head -1 <<<"$log"):$body"
  fi
}

# backup_real_tree CONFIG ORIGIN ORIGIN-LINE SOURCE-LINE DESTINATION-LINE
#   MIRROR-OF-ORIGIN MIRROR-OF-SOURCE DIGITS
# First the real tree in place, then a copy of it that the test changes.
backup_real_tree() {
  local config=$1 origin=$2 originLine=$3 line=$4 dest=$5 originMirror=$6 mirror=$7 digits=$8
  local work=$T/$config src=$T/$config/src total before after
  echo "--- $config: $origin"
  total=$(find -L "$origin" -type f 2>/dev/null | wc -l)
  printf -- '--Dir--%s\r\n%s\r\n' "$dest" "$originLine" >"$work/Quarnelvistro.txt"
  run_qv "$config" "$work"
  check_log "$config first run: log" $? "$work" "$originLine" "$origin" ""
  expect "$config first run: all $total files equal in content and time" "" \
    "$(differences "$origin" "$originMirror" "$digits")"
  verified=$((verified + total))
  before=$(stamps "$originMirror")
  run_qv "$config" "$work"
  check_log "$config second run: same log" $? "$work" "$originLine" "$origin" ""
  after=$(stamps "$originMirror")
  expect "$config second run: nothing written" "" "$(rewritten "$before" "$after")"

  cp -a "$origin" "$src"
  total=$(find -L "$src" -type f 2>/dev/null | wc -l)
  printf -- '--Dir--%s\r\n%s\r\n' "$dest" "$line" >"$work/Quarnelvistro.txt"
  run_qv "$config" "$work"
  check_log "$config copied tree: log" $? "$work" "$line" "$src" ""
  # Content and time changed on some files, only the time on one.
  local changed touched
  changed=$(cd "$src" && find . -type f -printf '%P\n' | LC_ALL=C sort | awk 'NR % 97 == 5' | head -6)
  while IFS= read -r f; do
    echo "changed" >>"$src/$f"
    touch -m -d @1600000000.123456789 "$src/$f"
  done <<<"$changed"
  touched=$(cd "$src" && find . -type f -printf '%P\n' | LC_ALL=C sort | awk 'NR == 3')
  touch -m -d @1500000000.5 "$src/$touched"
  before=$(stamps "$mirror")
  run_qv "$config" "$work"
  check_log "$config after changes: log" $? "$work" "$line" "$src" ""
  after=$(stamps "$mirror")
  expect "$config after changes: exactly the changed files written" \
    "$(printf '%s\n%s\n' "$changed" "$touched" | LC_ALL=C sort)" "$(rewritten "$before" "$after")"
  expect "$config after changes: all $total files equal" "" "$(differences "$src" "$mirror" "$digits")"
  verified=$((verified + total))

}

verified=0
for config in $(built_configs "linux win64 win32" "$@"); do
  mkdir -p "$T/$config/dst"
  case $config in
    win64 | win32)
      # The destination as a drive letter of the prefix, the source as Z:.
      run_qv "$config" "$T/$config" >/dev/null 2>&1  # makes the prefix
      rm -f "$T/$config/QuarnelvistroLOG.txt"
      ln -sfn "$T/$config/dst" "$BUILD/$config/wineprefix/dosdevices/r:"
      links+=("$BUILD/$config/wineprefix/dosdevices/r:")
      backup_real_tree "$config" /usr/include/x86_64-linux-gnu 'Z:\usr\include\x86_64-linux-gnu' \
        "Z:${T//\//\\}\\$config\\src" 'R:\' "$T/$config/dst/Z/usr/include/x86_64-linux-gnu" "$T/$config/dst/Z$T/$config/src" 7
      ;;
    *)
      backup_real_tree "$config" /usr/share/doc /usr/share/doc "$T/$config/src" "$T/$config/dst" \
        "$T/$config/dst/usr/share/doc" "$T/$config/dst$T/$config/src" 9
      ;;
  esac
done
echo "files verified: $verified"
finish
