#!/usr/bin/env bash
# Hazards of the field. Under Wine: a drive's root backed up by the program started in a folder of it.
# A file the batch cannot copy (vanishing; held open without sharing, Wine; unreadable, natively): exit 1,
# its error and exactly it in the log, all others copied whole; once the cause is gone, exit 0, all copied.
#   hazards.sh [CONFIG...]   (default: linux win64 win32, those built)
. "$(dirname "$0")/lib.sh"
# S:\v.txt is listed last, so the batch copies it last: it goes once the batch has begun.
vanish() { (for _ in {1..6000}; do [ -d "$w/T:/S/src" ] && break; sleep 0.01; done && rm "$w/S:/v.txt") & }
vanished() { wait && printf v >"$w/S:/v.txt"; }
# Unreadable to the program, which runs without root's right to read past file modes.
unreadable() { chmod 000 "$w/S:/src/d3/f3.txt" && [ "$(id -u)" != 0 ] || as="setpriv --bounding-set=-all"; }
readable() { chmod 644 "$w/S:/src/d3/f3.txt" && as=""; }

# hazard NAME FILES CODE LOST CAUSE CURE [COMMAND...]: S:\src (FILES files) and S:\v.txt backed up to T:\
# by COMMAND (or the program) after CAUSE, which keeps S:\LOST from being copied; then after CURE. S: and
# T: are folders in the working folder: drives to the native program and to Wine.
hazard() {
  w=$(mktemp -d "$T/$config.XXX")
  mkdir -p "$w/T:" "$w/S:/src/d"{0..9}
  for ((f = 0; f < $2; f++)); do printf 'file %d' $f >"$w/S:/src/d$((f % 10))/f$f.txt"; done
  printf v >"$w/S:/v.txt" && printf '%s\r\n' '--Dir--T:\' 'S:\src' 'S:\v.txt' >"$w/Quarnelvistro.txt"
  ! win "$config" || { drive "$config" s "$w/S:" && drive "$config" t "$w/T:"; }
  $5
  expect "$config $1: exit code 1, the error and the file in the log, all others copied whole" \
    "$(printf '1:\r\n%s\r\n%s\r\nS:\\%s\n' "Ошибка при копировании файлов. error =  $3" \
      "Файлы, которые не удалось скопировать:" "$4" && [ $5 = vanish ] || echo ">f+++++++++ ${4//\\//}")" \
    "$(outcome "$config" "$w" "${@:7}" && echo && differences "$w/S:" "$w/T:/S" $digits)"
  $6
  expect "$config $1, cause gone: exit code 0, empty log, all copied" "0:" \
    "$(outcome "$config" "$w" && differences "$w/S:" "$w/T:/S" $digits)"
}

for config in $(configs "$@"); do
  echo "--- $config"
  if win "$config"; then
    # R:\ from R:\tools: the walk takes the root's identity, not that of "R:" (R:\tools), and its first entry.
    w=$T/$config/root p=Z:$(program "$config" | tr / '\\') digits=7
    mkdir -p "$w/R:/data" "$w/R:/tools" "$w/T:" && printf r >"$w/R:/r.txt" && printf d >"$w/R:/data/d.txt"
    printf '%s\r\n' '--Dir--T:\' 'R:\' >"$w/R:/tools/Quarnelvistro.txt"
    drive "$config" r "$w/R:" && drive "$config" t "$w/T:"
    expect "$config R:\\ from R:\\tools: exit code 0, empty log, every file of the drive copied" "0:" \
      "$(outcome "$config" "$w/R:/tools" cmd /c "R: && cd \\tools && $p -w" && differences "$w/R:" "$w/T:/R" 7)"
    x86_64-w64-mingw32-g++ -O1 -static -o "$T/hold_file.exe" "$ROOT/tests/reliability/hold_file.cpp"
    # Wine's shell ends the batch with 1223 when a source goes during the copy.
    hazard "source vanishing during the batch" 600 "1223 (4c7)" 'v.txt' vanish vanished
    hazard "source held by another process" 40 "1223 (4c7)" 'src\d3\f3.txt' : : \
      "$T/hold_file.exe" 'S:\src\d3\f3.txt' "$p -w"
  else
    digits=9
    hazard "source vanishing during the batch" 10000 "1026 (402)" 'v.txt' vanish vanished
    hazard "unreadable source" 40 "120 (78)" 'src\d3\f3.txt' unreadable readable
  fi
done
finish
