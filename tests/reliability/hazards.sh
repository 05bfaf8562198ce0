#!/usr/bin/env bash
# Hazards of the field, through the real program and its log. Under Wine, a
# drive's root backed up by the program started in a folder of that drive.
# Then files the batch cannot copy: a source that vanishes, one held open
# without sharing by another process (Wine) or unreadable (natively), a
# destination folder blocked by a file: exit code 1, the copy's error and
# exactly those files in the log, all others copied whole; the next run,
# the cause gone, exit code 0, an empty log, everything copied. S: and T:
# are folders in the working folder: drives to the native program and Wine.
#   hazards.sh [CONFIG...]   (default: linux win64 win32, those built)
. "$(dirname "$0")/lib.sh"
scratch
QV_RUN_LIMIT=${QV_RUN_LIMIT:-120}  # a hang is a failure, not a wait
STAMP=@1577934245.678901234
# The file that vanishes, S:\v.txt, is listed last: the batch copies it last.
put_v() { printf v >"$w/S:/v.txt" && touch -m -d $STAMP "$w/S:/v.txt"; }
vanish() { (for _ in $(seq 6000); do [ -d "$w/T:/S/src" ] && break; sleep 0.01; done; rm "$w/S:/v.txt") & bg=$!; }
vanished() { wait $bg && put_v; }
hold() {
  "$ROOT/cmake/wine-run.sh" "$BUILD/$config/wineprefix" "$T/hold_file.exe" 'S:\src\d3\f3.txt' 'T:\held' 'T:\go' & bg=$!
  for _ in $(seq 600); do [ -f "$w/T:/held" ] && break; sleep 0.1; done
}
held() { touch "$w/T:/go" && wait $bg && rm "$w/T:/go"; }
# Unreadable to the program, which runs as nobody when this is root.
unreadable() {
  chmod 755 "$T" "$T/$config" && chmod 777 "$w" "$w/T:" && chmod 000 "$w/S:/src/d3/f3.txt"
  [ "$(id -u)" != 0 ] || as="setpriv --reuid=65534 --regid=65534 --clear-groups"
}
readable() { chmod 644 "$w/S:/src/d3/f3.txt" && as=""; }
block() { mkdir -p "$w/T:/S/src" && echo "in the way" >"$w/T:/S/src/d3"; }
unblock() { rm "$w/T:/S/src/d3"; }

# hazard NAME FILES CODE CAUSE CURE NOT-COPIED...: S:\src (FILES files in
# d0..d9) and S:\v.txt backed up to T:\ after CAUSE, which keeps NOT-COPIED
# (paths below S:) from being copied, then again after CURE.
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
  rc=$? log=$(log_text "$config" "$w") && shift 5
  for f; do
    want+=("S:\\${f//\//\\}")
    [ ! -e "$w/S:/$f" ] || missing+=(">f+++++++++ $f")  # unless it vanished
  done
  local top=$'\r\n'"Ошибка при копировании файлов. error =  $code"$'\r\n'"Файлы, которые не удалось скопировать:"$'\r'
  expect "$config $name: exit code 1, the error and the files not copied in the log; the others copied whole" \
    "1:$top:$(lines "${want[@]}")"$'\n'"$(lines "${missing[@]}")" "$rc:$(head -3 <<<"$log"):$(tail -n +4 <<<"$log" |
      tr -d '\r' | LC_ALL=C sort)"$'\n'"$(differences "$w/S:" "$w/T:/S" $digits | LC_ALL=C sort)"
  $cure
  run_qv "$config" "$w"
  expect "$config $name, cause gone: exit code 0, empty log, all copied" "0:" \
    "$?:$(log_text "$config" "$w")$(differences "$w/S:" "$w/T:/S" $digits)"
}

for config in $(configs "$@"); do
  echo "--- $config"
  if win "$config"; then
    # R:\ backed up from R:\tools: the walk takes the root's own identity,
    # not that of "R:" (the drive's current folder), and finds no loop.
    w=$T/$config/root p=$(program "$config") digits=7
    mkdir -p "$w/R:/data" "$w/R:/tools" "$w/T:" && printf r >"$w/R:/r.txt" && printf d >"$w/R:/data/d.txt"
    printf '%s\r\n' '--Dir--T:\' 'R:\' >"$w/R:/tools/Quarnelvistro.txt"
    drive "$config" r "$w/R:" && drive "$config" t "$w/T:"
    run_qv "$config" "$w" cmd /c "R: && cd \\tools && Z:${p//\//\\} -w"
    expect "$config R:\\ from R:\\tools: exit code 0, empty log, every file of the drive" \
      $'0:\nR/data/d.txt\nR/r.txt\nR/tools/Quarnelvistro.txt\nR/tools/QuarnelvistroLOG.txt' \
      "$?:$(log_text "$config" "$w/R:/tools")"$'\n'"$(cd "$w/T:" && find . -type f -printf '%P\n' | LC_ALL=C sort)"
    x86_64-w64-mingw32-g++ -O1 -static -o "$T/hold_file.exe" "$ROOT/tests/reliability/hold_file.cpp"
    # Wine's shell ends the batch with 1223 when a source goes during the copy.
    hazard "source vanishing before its copy" 600 "1223 (4c7)" vanish vanished v.txt
    hazard "source held by another process" 40 "1223 (4c7)" hold held src/d3/f3.txt
    hazard "a file where a folder must be" 40 "1223 (4c7)" block unblock src/d3/f{3,13,23,33}.txt
  else
    digits=9
    hazard "source vanishing before its copy" 10000 "1026 (402)" vanish vanished v.txt
    hazard "unreadable source" 40 "120 (78)" unreadable readable src/d3/f3.txt
    hazard "a file where a folder must be" 40 "65536 (10000)" block unblock src/d3/f{3,13,23,33}.txt
  fi
done
finish
