#!/usr/bin/env bash
# Backs up a copy (cp -a) of a real tree that no one here wrote:
# /usr/share/doc with the native program, /usr/include/x86_64-linux-gnu
# with both Windows programs under Wine (/usr/include/linux holds names that
# differ only in case). rsync and find, not the program's code, check that
# every file is backed up equal in content and last-write time, that a
# second run writes nothing, and that after a few changes exactly the
# changed files are written again. Each run exits with 0 and an empty log,
# or natively with 1 and exactly the dangling links of the tree rejected.
#   real_tree.sh [CONFIG...]   (default: linux win64 win32, those built)
. "$(dirname "$0")/lib.sh"
scratch
REJECTED_HEADER="$(printf '%s\r' 'Ошибочные, несуществующие пути. Или файлы, указанные вместо каталога назначения. Или пропущенные при отсутствии каталога назначения. :')"

# run NAME: one run, its exit code and log checked.
run() {
  run_qv "$config" "$w"
  local rc=$? log want="" p
  log=$(log_text "$config" "$w")
  # Windows programs under Wine do not see links to nothing at all.
  win "$config" || while IFS= read -r p; do want+="$line\\${p//\//\\}"$'\n'; done < <(find -L "$src" -type l -printf '%P\n')
  if [ -z "$want" ]; then expect "$config $1: exit code 0, empty log" "0:" "$rc:$log"; else
    expect "$config $1: exit code 1, the dangling links rejected" "1:$REJECTED_HEADER:$(LC_ALL=C sort <<<"${want%$'\n'}")" \
      "$rc:$(head -1 <<<"$log"):$(tail -n +2 <<<"$log" | tr -d '\r' | LC_ALL=C sort)"
  fi
}

for config in $(configs "$@"); do
  w=$T/$config src=$T/$config/src
  mkdir -p "$w/dst"
  if win "$config"; then
    origin=/usr/include/x86_64-linux-gnu line="Z:${src//\//\\}" mirror=$w/dst/Z$src digits=7
    drive "$config" r "$w/dst"
    printf -- '--Dir--R:\\\r\n%s\r\n' "$line" >"$w/Quarnelvistro.txt"
  else
    origin=/usr/share/doc line=$src mirror=$w/dst$src digits=9
    printf -- '--Dir--%s\r\n%s\r\n' "$w/dst" "$line" >"$w/Quarnelvistro.txt"
  fi
  echo "--- $config: $origin"
  cp -a "$origin" "$src"
  run "first run"
  expect "$config first run: $(find -L "$src" -type f 2>/dev/null | wc -l) files equal in content and time" "" \
    "$(differences "$src" "$mirror" $digits)"
  before=$(stamps "$mirror")
  run "second run"
  expect "$config second run: nothing written" "" "$(rewritten "$before" "$(stamps "$mirror")")"

  # Content and time changed on a few files; on one only the time, by 2^32
  # ticks of 100 ns: the high half of its FILETIME alone differs.
  all=$(cd "$src" && find . -type f -printf '%P\n' | LC_ALL=C sort)
  changed=$(awk 'NR % 97 == 5' <<<"$all" | head -6)
  while IFS= read -r f; do
    echo changed >>"$src/$f"
    touch -m -d @1600000000.123456789 "$src/$f"
  done <<<"$changed"
  touched=$(sed -n 3p <<<"$all")
  ns=$(($(stat -c %.9Y "$src/$touched" | tr -d .) + 429496729600))
  touch -m -d "@${ns:0:-9}.${ns: -9}" "$src/$touched"
  run "after changes"
  expect "$config after changes: exactly the changed files written" \
    "$(LC_ALL=C sort <<<"$changed"$'\n'"$touched")" "$(rewritten "$before" "$(stamps "$mirror")")"
  expect "$config after changes: every file equal" "" "$(differences "$src" "$mirror" $digits)"
done
finish
