#!/usr/bin/env bash
# Hazards a backup meets in the field, through the real program and its log.
# Under Wine, a drive's root backed up by the program started in a folder of
# that drive. Then files that cannot be copied while the batch runs: a
# source that vanishes, one held open without sharing by another process
# (Wine) or unreadable (natively), a destination folder blocked by a file.
# Each run exits with 1, its log gives the copy's error and exactly the
# files not copied, every other file is copied whole; the next run, the
# cause gone, exits with 0, an empty log and everything copied. The drives
# S: (sources) and T: are folders "S:" and "T:" in the working folder, which
# the native program takes for drives and Wine is given as drives.
#   hazards.sh [CONFIG...]   (default: linux win64 win32, those built)
. "$(dirname "$0")/lib.sh"
scratch
QV_RUN_LIMIT=${QV_RUN_LIMIT:-120}  # a hang is a failure, not a wait
STAMP=@1577934245.678901234
# The file that goes (S:\v.txt) is listed last, so the batch copies it last.
put_v() { printf v >"$w/S:/v.txt" && touch -m -d $STAMP "$w/S:/v.txt"; }
vanish() { (for _ in $(seq 6000); do [ -d "$w/T:/S/src" ] && break; sleep 0.01; done; rm "$w/S:/v.txt") & bg=$!; }
vanished() { wait $bg; put_v; }
hold() {
  "$ROOT/cmake/wine-run.sh" "$BUILD/$config/wineprefix" "$T/hold_file.exe" 'S:\src\d3\f3.txt' 'T:\held' 'T:\go' & bg=$!
  for _ in $(seq 600); do [ -f "$w/T:/held" ] && break; sleep 0.1; done
  rm "$w/T:/held"
}
held() { touch "$w/T:/go" && wait $bg && rm "$w/T:/go"; }
# Made unreadable to the program, which runs as nobody when this is root.
unreadable() { chmod 755 "$T" "$T/$config" && chmod 777 "$w" "$w/T:" && chmod 000 "$w/S:/src/d3/f3.txt"; }
readable() { chmod 644 "$w/S:/src/d3/f3.txt"; }
block() { mkdir -p "$w/T:/S/src" && echo "in the way" >"$w/T:/S/src/d3"; }
unblock() { rm "$w/T:/S/src/d3"; }

# hazard NAME FILES CODE CAUSE CURE NOT-COPIED...: S:\src holding FILES
# files in d0..d9 and S:\v.txt backed up to T:\ after CAUSE, which keeps
# NOT-COPIED (paths below S:) from being copied, then again after CURE.
hazard() {
  local name=$1 n=$2 code=$3 cure=$5 rc log f want=() missing=()
  w=$T/$config/$4
  mkdir -p "$w/T:" "$w/S:/src/d"{0..9}
  for ((f = 0; f < n; f++)); do printf 'file %d' $f >"$w/S:/src/d$((f % 10))/f$f.txt"; done
  find "$w/S:/src" -type f -exec touch -m -d $STAMP {} + && put_v
  printf '%s\r\n' '--Dir--T:\' 'S:\src' 'S:\v.txt' >"$w/Quarnelvistro.txt"
  ! win "$config" || { drive "$config" s "$w/S:" && drive "$config" t "$w/T:"; }
  $4
  run_qv "$config" "$w"
  rc=$?
  shift 5
  for f; do
    want+=("S:\\${f//\//\\}")
    [ ! -e "$w/S:/$f" ] || missing+=(">f+++++++++ $f")
  done
  log=$(log_text "$config" "$w")
  expect "$config $name: exit code 1, the error and the files not copied in the log" \
    "1:"$'\r\n'"Ошибка при копировании файлов. error =  $code"$'\r\n'"Файлы, которые не удалось скопировать:"$'\r'":$(
      printf '%s\n' "${want[@]}" | LC_ALL=C sort)" "$rc:$(head -3 <<<"$log"):$(tail -n +4 <<<"$log" | tr -d '\r' | LC_ALL=C sort)"
  expect "$config $name: every other file copied whole" "$(printf '%s\n' "${missing[@]}" | LC_ALL=C sort)" \
    "$(differences "$w/S:" "$w/T:/S" $digits | LC_ALL=C sort)"
  $cure
  run_qv "$config" "$w"
  expect "$config $name, cause gone: exit code 0, empty log, all copied" "0:" "$?:$(log_text "$config" "$w")$(
    differences "$w/S:" "$w/T:/S" $digits)"
}

for config in $(configs "$@"); do
  echo "--- $config"
  if win "$config"; then
    digits=7
    # R:\ backed up from R:\tools: the walk takes the root's own identity,
    # not that of "R:" (the drive's current folder), and finds no loop.
    w=$T/$config/root p=$(program "$config")
    mkdir -p "$w/R:/data" "$w/R:/tools" "$w/T:"
    printf r >"$w/R:/r.txt" && printf d >"$w/R:/data/d.txt"
    printf '%s\r\n' '--Dir--T:\' 'R:\' >"$w/R:/tools/Quarnelvistro.txt"
    drive "$config" r "$w/R:" && drive "$config" t "$w/T:"
    run_qv "$config" "$w" cmd /c "R: && cd \\tools && Z:${p//\//\\} -w"
    rc=$?
    expect "$config R:\\ from R:\\tools: exit code 0, empty log, every file of the drive" \
      "0:$(printf '\n%s' R/data/d.txt R/r.txt R/tools/Quarnelvistro.txt R/tools/QuarnelvistroLOG.txt)" \
      "$rc:$(log_text "$config" "$w/R:/tools")"$'\n'"$(cd "$w/T:" && find . -type f -printf '%P\n' | LC_ALL=C sort)"

    x86_64-w64-mingw32-g++ -O1 -static -o "$T/hold_file.exe" "$ROOT/tests/reliability/hold_file.cpp"
    # Wine's shell ends the batch with 1223 when a source goes during the copy.
    hazard "source vanishing before its copy" 600 "1223 (4c7)" vanish vanished v.txt
    hazard "source held by another process" 40 "1223 (4c7)" hold held src/d3/f3.txt
    hazard "a file where a folder must be" 40 "1223 (4c7)" block unblock src/d3/f{3,13,23,33}.txt
  else
    digits=9
    hazard "source vanishing before its copy" 10000 "1026 (402)" vanish vanished v.txt
    [ "$(id -u)" != 0 ] || as="setpriv --reuid=65534 --regid=65534 --clear-groups"
    hazard "unreadable source" 40 "120 (78)" unreadable readable src/d3/f3.txt
    as=""
    hazard "a file where a folder must be" 40 "65536 (10000)" block unblock src/d3/f{3,13,23,33}.txt
  fi
done
finish
