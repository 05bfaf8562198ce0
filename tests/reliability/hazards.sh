#!/usr/bin/env bash
# Hazards a backup meets in the field, end to end through the real program
# and its log, where the unit tests cannot reach: a drive's root backed up
# from a folder of that drive (Wine's drives), and files that cannot be
# copied while the batch runs (a source that vanishes, one that another
# process holds or that cannot be read, a destination that cannot be
# written): every other file is copied, the log names the ones that were
# not, the exit code is 1, and the next run copies the rest.
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
NOT_COPIED='Файлы, которые не удалось скопировать:'

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
run() { run_qv "$config" "$w"; }

# The program runs in R:\tools and backs up R:\ whole: the walk takes the
# root's own identity, not that of R: (the drive's current folder), so the
# current folder's subtree is not mistaken for a loop. Windows programs only.
drive_root() {
  new_case root
  put R:/root.txt root
  put R:/data/d.txt d
  put R:/tools/t.txt t
  local d=$BUILD/$config/wineprefix/dosdevices program_path
  ln -sfn "$w/R:" "$d/r:"
  links+=("$d/r:")
  printf '%s\r\n' '--Dir--T:\' 'R:\' >"$w/R:/tools/Quarnelvistro.txt"
  program_path=$(program "$config")
  (cd "$w" && timeout "$QV_RUN_LIMIT" "$ROOT/cmake/wine-run.sh" "$BUILD/$config/wineprefix" \
    cmd /c "R: && cd \\tools && Z:${program_path//\//\\} -w")
  expect "$config drive root from a folder of the drive: empty log" "0:" "$?:$(log_text "$config" "$w/R:/tools")"
  expect "$config drive root from a folder of the drive: every file of the drive" \
    "$(printf '%s\n' R/data/d.txt R/root.txt R/tools/Quarnelvistro.txt R/tools/QuarnelvistroLOG.txt R/tools/t.txt)" \
    "$(cd "$w/T:" && find . -type f -printf '%P\n' | LC_ALL=C sort)"
}

# failed_run NAME CODE SOURCE FILE...: the run made while the cause is
# there; SOURCE is the list's source folder (S:\...), each FILE one below it
# that cannot be copied. Exit code 1; the shell's error and those files (in
# any order) after a line end in the log; every other file copied whole, no
# temporary left.
failed_run() {
  local name=$1 code=$2 win=$3 rc log f listed=() missing=()
  shift 3
  local source="$w/${win//\\//}" mirror="$w/T:/${win:0:1}${win:2}"
  mirror=${mirror//\\//}
  run
  rc=$?
  for f in "$@"; do
    listed+=("$win\\${f//\//\\}")
    [ -e "$source/$f" ] && missing+=(">f+++++++++ $f")  # unless it vanished
  done
  log=$(log_text "$config" "$w")
  expect "$config $name: exit code 1, the error and the files not copied in the log" \
    "1:"$'\r\n'"$COPY_FAILED$code"$'\r\n'"$NOT_COPIED"$'\r'":$(printf '%s\n' "${listed[@]}" | LC_ALL=C sort)" \
    "$rc:$(head -3 <<<"$log"):$(tail -n +4 <<<"$log" | tr -d '\r' | LC_ALL=C sort)"
  expect "$config $name: every other file copied whole" "$(printf '%s\n' "${missing[@]}" | LC_ALL=C sort)" \
    "$(differences "$source" "$mirror" "$digits" | LC_ALL=C sort)"
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
  failed_run "source vanishing before its copy" "$2" 'S:' Victim/v.txt
  wait "$watcher"
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
    failed_run "unreadable source" "120 (78)" 'S:\src' d3/f3.txt
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
    failed_run "source locked by another process" "1223 (4c7)" 'S:\src' d3/f3.txt
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
  failed_run "a file where a folder must be" "$1" 'S:\src' d3/f3.txt d3/f13.txt d3/f23.txt d3/f33.txt
  rm "$w/T:/S/src/d3"
  next_run "a file where a folder must be" "$w/S:/src" "$w/T:/S/src"
}

for config in $(built_configs "linux win64 win32" "$@"); do
  echo "--- $config"
  mkdir -p "$T/$config"
  if [ "$config" = linux ]; then
    digits=9
  else
    digits=7
    run_qv "$config" "$T/$config" >/dev/null 2>&1  # makes the prefix
    drive_root
  fi
  if [ "$config" = linux ]; then
    vanishing_source 10000 "1026 (402)"
    unreadable_source
    unwritable_destination "65536 (10000)"
  else
    # Wine's shell ends the batch with 1223 when a source goes during the copy.
    vanishing_source 600 "1223 (4c7)"
    unreadable_source
    unwritable_destination "1223 (4c7)"
  fi
done
finish
