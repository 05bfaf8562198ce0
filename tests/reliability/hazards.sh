#!/usr/bin/env bash
# Hazards a backup meets in the field, end to end through the real program
# and its log: a destination inside its own source, directory links that
# loop, paths at the edges of their room, and a run that fails half way (a
# source that vanishes, one that cannot be read, a destination that cannot
# be written): the run finishes with exit code 0, the error is in the log,
# what was copied stays whole, and the next run copies the rest.
# Every case works on the drives S: (sources) and T: (destinations): folders
# "S:" and "T:" in the working directory, which the native program takes for
# drives, and which Wine is given as drives of its prefix.
#   hazards.sh [CONFIG...]   (default: linux win64 win32, those built)
. "$(dirname "$0")/lib.sh"
scratch
QV_RUN_LIMIT=${QV_RUN_LIMIT:-120}  # a hang is a failure, not a wait
links=()
trap 'rm -f "${links[@]}"; chmod -R u+rwx "$T" 2>/dev/null; rm -rf "$T"' EXIT

COPY_FAILED='Ошибка при копировании файлов. error =  '
TOO_LONG='Слишком длинные пути назначения, файлы не скопированы:'

# new_case NAME: a fresh working folder $w with its two drives.
new_case() {
  w=$T/$config/$1
  mkdir -p "$w/S:" "$w/T:"
  if [ "$config" = win64 ] || [ "$config" = win32 ]; then
    local d=$BUILD/$config/wineprefix/dosdevices
    ln -sfn "$w/S:" "$d/s:" && ln -sfn "$w/T:" "$d/t:"
    links+=("$d/s:" "$d/t:")
  fi
}
# put REL CONTENT: a file below the case's folder, with a fixed odd time.
put() {
  mkdir -p "$(dirname "$w/$1")"
  printf '%s' "$2" >"$w/$1"
  touch -m -d @1577934245.678901234 "$w/$1"
}
list() { printf '%s\r\n' "$@" >"$w/Quarnelvistro.txt"; }
# tree_of DIR: every file below DIR as "path=content", sorted.
tree_of() { (cd "$1" && find . -type f -printf '%P=' -exec cat {} \; -printf '\n' | LC_ALL=C sort); }
run() { run_qv "$config" "$w"; }

destination_inside_source() {
  new_case nest
  put 'S:/Data/a.txt' a
  put 'S:/Data/sub/b.txt' b
  # The destination spelled otherwise than the source line reaches it.
  local dest='S:\Data\sub\..\Backup'
  [ "$config" = linux ] || dest='s:\DATA\backup'
  mkdir -p "$w/S:/Data/Backup"
  list "--Dir--$dest" 'S:\Data'
  local wanted before after
  wanted=$(printf '%s\n' a.txt=a sub/b.txt=b Backup/S/Data/a.txt=a Backup/S/Data/sub/b.txt=b | LC_ALL=C sort)
  for n in 1 2 3; do
    before=$(stamps "$w/S:/Data/Backup")
    run
    expect "$config destination inside its source, run $n: empty log" "0:" "$?:$(log_text "$config" "$w")"
    expect "$config destination inside its source, run $n: nothing nested" "$wanted" "$(tree_of "$w/S:/Data")"
    after=$(stamps "$w/S:/Data/Backup")
    [ $n = 1 ] || expect "$config destination inside its source, run $n: nothing written" "" "$(rewritten "$before" "$after")"
  done
}

looping_links() {
  new_case links
  put 'S:/Data/a.txt' a
  put 'S:/Data/sub/b.txt' b
  put 'S:/Elsewhere/e.txt' e
  put 'S:/Elsewhere/deeper/f.txt' f
  ln -s . "$w/S:/Data/self"
  ln -s .. "$w/S:/Data/sub/back"
  ln -s ../Elsewhere "$w/S:/Data/ext"
  ln -s ../Data "$w/S:/Elsewhere/home"
  list '--Dir--T:\' 'S:\Data'
  run
  expect "$config looping links: the walk ends, empty log" "0:" "$?:$(log_text "$config" "$w")"
  expect "$config looping links: every file once, the link elsewhere descended once" \
    "$(printf '%s\n' a.txt=a sub/b.txt=b ext/e.txt=e ext/deeper/f.txt=f | LC_ALL=C sort)" \
    "$(tree_of "$w/T:/S/Data")"
}

# Files whose paths have 259, 260 and 261 characters; a list line of 261
# characters, read as a 260-character line and a 1-character one; files
# whose destinations have 298, 299 and 300 characters.
edge_lengths() {
  new_case lengths
  local x
  x=$(printf '%0300d' 0 | tr 0 x)
  local dir="S:\\${x:0:150}" d1="T:\\${x:0:16}\\" d2="T:\\${x:0:76}\\"  # 20 and 80 characters
  local n names=()
  for n in 259 260 261; do  # dir, "\", name
    names[$n]="${x:0:$((n - ${#dir} - 1 - 8))}-$n.txt"
    put "S:/${x:0:150}/${names[$n]}" "$n"
  done
  for n in 298 299 300; do  # d2 + "S\b\" + name
    put "S:/b/${x:0:$((n - 80 - 4 - 8))}-$n.txt" "$n"
  done
  mkdir -p "$w/T:/${x:0:16}" "$w/T:/${x:0:76}"
  local line261="$dir\\${names[261]}"
  list "--Dir--$d1" "$dir" "$line261" "--Dir--$d2" 'S:\b'
  run
  local rc=$?
  expect "$config edge lengths: the log, exactly" \
    "$REJECTED_HEADER"$'\n'"$line261"$'\r\n'"${line261:0:260}"$'\r\n'"${line261:260}"$'\r\n\r\n'"$TOO_LONG"$'\r\n'"$d2"'S\b\'"${x:0:208}-300.txt" \
    "$(log_text "$config" "$w")"
  expect "$config edge lengths: exit code 0" 0 $rc
  expect "$config edge lengths: 259 and 260 backed up, 298 and 299 too" \
    "$(printf '%s\n' "${x:0:16}/S/${x:0:150}/${names[259]}=259" "${x:0:16}/S/${x:0:150}/${names[260]}=260" \
      "${x:0:76}/S/b/${x:0:206}-298.txt=298" "${x:0:76}/S/b/${x:0:207}-299.txt=299" | LC_ALL=C sort)" \
    "$(tree_of "$w/T:")"
}

# failed_run NAME LOG-TAIL SOURCE MIRROR: the run made while the cause is
# there: exit code 0, the error after a line end in the log, and every file
# it copied equal to its source (nothing half written, no temporary left).
failed_run() {
  run
  expect "$config $1: exit code 0, the error in the log" "0:"$'\r\n'"$2" "$?:$(log_text "$config" "$w")"
  expect "$config $1: what was copied is whole" "" \
    "$(differences "$3" "$4" "$digits" | grep -v '^>f+++++++++ ')"
}
# next_run NAME SOURCE MIRROR: once the cause is gone, all is copied.
next_run() {
  run
  expect "$config $1, cause gone: empty log" "0:" "$?:$(log_text "$config" "$w")"
  expect "$config $1, cause gone: the rest copied" "" "$(differences "$2" "$3" "$digits")"
}
many_files() {  # DIR COUNT
  local i
  for ((i = 0; i < 10; i++)); do mkdir -p "$w/$1/d$i"; done
  for ((i = 0; i < $2; i++)); do printf 'file %d' $i >"$w/$1/d$((i % 10))/f$i.txt"; done
  find "$w/$1" -type f -exec touch -m -d @1577934245.678901234 {} +
}

vanishing_source() {
  new_case vanish
  many_files S:/big "$1"
  put S:/Victim/v.txt victim
  list '--Dir--T:\' 'S:\big' 'S:\Victim\v.txt'
  # The victim goes once the copy has begun: the batch copies it last.
  (for i in $(seq 6000); do [ -d "$w/T:/S/big" ] && break; sleep 0.01; done; rm -f "$w/S:/Victim/v.txt") &
  local watcher=$!
  failed_run "source vanishing before its copy" "$COPY_FAILED$2" "$w/S:" "$w/T:/S"
  wait "$watcher"
  expect "$config source vanishing: everything before it copied" "" "$(differences "$w/S:/big" "$w/T:/S/big" "$digits")"
  put S:/Victim/v.txt victim
  next_run "source vanishing" "$w/S:" "$w/T:/S"
}

unreadable_source() {
  new_case unreadable
  many_files S:/src 40
  list '--Dir--T:\' 'S:\src'
  if [ "$config" = linux ]; then
    local mode=000
    if [ "$(id -u)" = 0 ]; then
      # Root reads any file: the program runs as nobody, for whom it is unreadable.
      command -v setpriv >/dev/null || { echo "  skip unreadable source: no setpriv to drop root"; return; }
      chmod 755 "$T" "$T/$config" && chmod 777 "$w" "$w/T:"
      run() { (cd "$w" && timeout "${QV_RUN_LIMIT:-600}" setpriv --reuid=65534 --regid=65534 --clear-groups "$(program linux)" -w); }
    fi
    chmod $mode "$w/S:/src/d3/f3.txt"
    failed_run "unreadable source" "${COPY_FAILED}120 (78)" "$w/S:/src" "$w/T:/S/src"
    chmod 644 "$w/S:/src/d3/f3.txt"
    next_run "unreadable source" "$w/S:/src" "$w/T:/S/src"
    run() { run_qv "$config" "$w"; }
  else
    # Under Windows a file held open without sharing by another process.
    local holder=$BUILD/$config/hold_file.exe cc=x86_64-w64-mingw32-g++
    [ "$config" = win32 ] && cc=i686-w64-mingw32-g++
    "$cc" -O1 -static -o "$holder" "$ROOT/tests/reliability/hold_file.cpp" || { bad "$config hold_file build"; return; }
    "$ROOT/cmake/wine-run.sh" "$BUILD/$config/wineprefix" "$holder" 'S:\src\d3\f3.txt' 'T:\held' 'T:\release' &
    local pid=$!
    for i in $(seq 600); do [ -f "$w/T:/held" ] && break; sleep 0.1; done
    rm -f "$w/T:/held"
    failed_run "source locked by another process" "${COPY_FAILED}1223 (4c7)" "$w/S:/src" "$w/T:/S/src"
    touch "$w/T:/release"
    wait "$pid"
    rm -f "$w/T:/release"
    next_run "source locked by another process" "$w/S:/src" "$w/T:/S/src"
  fi
}

unwritable_destination() {
  new_case unwritable
  many_files S:/src 40
  list '--Dir--T:\' 'S:\src'
  mkdir -p "$w/T:/S/src"
  echo "in the way" >"$w/T:/S/src/d3"
  failed_run "a file where a folder must be" "$COPY_FAILED$1" "$w/S:/src" "$w/T:/S/src"
  rm "$w/T:/S/src/d3"
  next_run "a file where a folder must be" "$w/S:/src" "$w/T:/S/src"
}

fifo_source() {
  new_case fifo
  many_files S:/src 40
  mkfifo "$w/S:/src/d4/pipe"
  list '--Dir--T:\' 'S:\src'
  failed_run "a fifo among the sources" "${COPY_FAILED}120 (78)" "$w/S:/src" "$w/T:/S/src"
  rm "$w/S:/src/d4/pipe"
  next_run "a fifo among the sources" "$w/S:/src" "$w/T:/S/src"
}

for config in $(built_configs "linux win64 win32" "$@"); do
  echo "--- $config"
  mkdir -p "$T/$config"
  if [ "$config" = linux ]; then
    digits=9
  else
    digits=7
    run_qv "$config" "$T/$config" >/dev/null 2>&1  # makes the prefix
  fi
  destination_inside_source
  looping_links
  edge_lengths
  if [ "$config" = linux ]; then
    vanishing_source 10000 "1026 (402)"
    unreadable_source
    unwritable_destination "65536 (10000)"
    fifo_source
  else
    # Wine's shell checks the sources before it starts (1026 for one that is
    # missing then); one that goes during the copy cancels it.
    vanishing_source 600 "1223 (4c7)"
    unreadable_source
    unwritable_destination "1223 (4c7)"
  fi
done
finish
