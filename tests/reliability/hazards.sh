#!/usr/bin/env bash
# Hazards of the field. Under Wine: a drive's root backed up by the program started in a folder of it.
# A file the batch cannot copy (vanishing; held open without sharing, Wine; unreadable, natively): exit 1,
# its error and exactly it in the log, all others copied whole; once the cause is gone, exit 0, all copied.
# "<-d>" copies after such a failure, onto a folder and onto exFAT (mounted as root): the failed one named,
# every other new. Two runs at once into one backup folder; ~Versions a link. Folders that cannot be listed,
# and links to them.
#   hazards.sh [CONFIG...]   (default: linux win64 win32, those built)
. "$(dirname "$0")/lib.sh"
rejected="Ошибочные, несуществующие пути. Или файлы, указанные вместо каталога назначения. "
rejected+="Или пропущенные при отсутствии каталога назначения. :"
# S:\v.txt is listed last, so the batch copies it last: it goes once the batch has begun (its first copy
# made in the run's own folder, T:\~qvtmp\001, whose subfolder the run makes before the batch: a link to
# the sources stands at 000).
vanish() { (for _ in {1..6000}; do [ -e "$w/T:/~qvtmp/001/000000/00" ] && break; sleep 0.01; done && rm "$w/S:/v.txt") & }
vanished() { wait && printf v >"$w/S:/v.txt"; }
# Unreadable to the program, which runs without root's right to read past file modes.
unreadable() { chmod 000 "$w/S:/src/d3/f3.txt" && [ "$(id -u)" != 0 ] || as="setpriv --bounding-set=-all"; }
readable() { chmod 644 "$w/S:/src/d3/f3.txt" && as=""; }

# hazard NAME FILES CODE LOST CAUSE CURE [COMMAND...]: S:\src (FILES files) and S:\v.txt backed up to T:\
# by COMMAND (or the program) after CAUSE, which keeps S:\LOST from being copied; then after CURE. S: and
# T: are folders in the working folder: drives to the native program and to Wine. A link stands at the name a
# run's folder of temporary copies takes first, to a folder holding what looks like a leftover copy: neither
# is followed, nor removed; a dead run's folder beside it goes.
hazard() {
  w=$(mktemp -d "$T/$config.XXX")
  mkdir -p "$w/T:" "$w/S:/src/d"{0..9}
  for ((f = 0; f < $2; f++)); do printf 'file %d' $f >"$w/S:/src/d$((f % 10))/f$f.txt"; done
  printf v >"$w/S:/v.txt" && printf '%s\r\n' '--Dir--T:\' 'S:\src' 'S:\v.txt' >"$w/Quarnelvistro.txt"
  ! win "$config" || { drive "$config" s "$w/S:" && drive "$config" t "$w/T:"; }
  mkdir -p "$w/T:/~qvtmp/002/000000" "$w/keep/000000" && printf kept >"$w/keep/000000/00" && ln -s "$w/keep" "$w/T:/~qvtmp/000"
  printf died >"$w/T:/~qvtmp/002/000000/00"
  $5
  expect "$config $1: exit code 1, the error and the file in the log, all others copied whole" \
    "$(printf '1:\r\n%s\r\n%s\r\nS:\\%s\n' "Ошибка при копировании файлов. error =  $3" \
      "Файлы, которые не удалось скопировать:" "$4" && [ $5 = vanish ] || echo ">f+++++++++ ${4//\\//}")" \
    "$(outcome "$config" "$w" "${@:7}" && echo && differences "$w/S:" "$w/T:/S" $digits)"
  $6
  expect "$config $1, cause gone: exit code 0, empty log, all copied, the link kept, a dead run's folder gone" \
    "0:$w/keep kept 000" "$(outcome "$config" "$w" && differences "$w/S:" "$w/T:/S" $digits &&
      echo "$(readlink "$w/T:/~qvtmp/000") $(cat "$w/keep/000000/00") $(ls "$w/T:/~qvtmp" | xargs)")"
}

for config in $(configs "$@"); do
  echo "--- $config"
  if win "$config"; then
    # R:\ from R:\tools: the walk takes the root's identity, not that of "R:" (R:\tools), and its first entry;
    # a folder of it that cannot be listed is named with one separator after the root. The log, which stands on
    # the drive, is backed up as it was during the run, saying that the run has not finished.
    w=$T/$config/root p=Z:$(program "$config" | tr / '\\') digits=7
    mkdir -p "$w/R:/data" "$w/R:/tools" "$w/R:/shut" "$w/T:" && printf r >"$w/R:/r.txt" && printf d >"$w/R:/data/d.txt"
    printf '%s\r\n' '--Dir--T:\' 'R:\' >"$w/R:/tools/Quarnelvistro.txt"
    drive "$config" r "$w/R:" && drive "$config" t "$w/T:" && chmod 000 "$w/R:/shut"
    expect "$config R:\\ from R:\\tools: exit code 1, R:\\shut named, every other file of the drive copied" \
      "$(printf '1:%s\r\nR:\\shut\r' "$rejected")" \
      "$(as="setpriv --bounding-set=-all" outcome "$config" "$w/R:/tools" cmd /c "R: && cd \\tools && $p -w" &&
        differences "$w/R:" "$w/T:/R" 7 | grep -v ' tools/QuarnelvistroLOG.txt$')"
    chmod 755 "$w/R:/shut"
    x86_64-w64-mingw32-g++ -O1 -static -o "$T/hold_file.exe" "$ROOT/tests/reliability/hold_file.cpp"
    # Wine's shell ends the batch with 1223 when a source goes during the copy.
    hazard "source vanishing during the batch" 600 "1223 (4c7)" 'v.txt' vanish vanished
    hazard "source held by another process" 40 "1223 (4c7)" 'src\d3\f3.txt' : : \
      "$T/hold_file.exe" 'S:\src\d3\f3.txt' "$p -w"
  else
    digits=9
    hazard "source vanishing during the batch" 10000 "2 (2)" 'v.txt' vanish vanished
    hazard "unreadable source" 40 "5 (5)" 'src\d3\f3.txt' unreadable readable
  fi

  # Four "<-d>" files backed up; then new bytes of the same size in each, their times kept, and the second
  # unreadable: it alone is named, and every other copy holds its new bytes. Onto exFAT too, which keeps no
  # change time: an old copy there must not pass for one the failed batch wrote.
  for onto in exfat "a folder"; do
    w=$(mktemp -d "$T/$config.XXX") && mkdir -p "$w/S:"
    if [ "$onto" = exfat ]; then mountDrive exfat "$w/T:" || { expect "$config exfat mounted" 0 1 && continue; }
    else mkdir "$w/T:"; fi
    ! win "$config" || { drive "$config" s "$w/S:" && drive "$config" t "$w/T:"; }
    for age in old new; do
      for i in 1 2 3 4; do printf "$age $i" >"$w/S:/d$i.txt" && touch -d 2020-01-02 "$w/S:/d$i.txt"; done
      printf '%s\r\n' '--Dir--<-d>T:\' 'S:\d'{1..4}.txt >"$w/Quarnelvistro.txt"
      [ $age = new ] || { outcome "$config" "$w" >/dev/null && sleep 0.2; }
    done
    # Under Wine its server opens files, with root's rights: there the file is held open instead.
    if win "$config"; then run=("$T/hold_file.exe" 'S:\d2.txt' "$p -w"); else run=() && chmod 000 "$w/S:/d2.txt"; fi
    expect "$config <-d> after a failure onto ${onto/exfat/exFAT}: the failed file named, every other copy new" \
      "$(printf '1:\r\n%s\r\n%s\r\nS:\\d2.txt|' "Ошибка при копировании файлов. error =  $(win "$config" && echo "1223 (4c7)" || echo "5 (5)")" \
        "Файлы, которые не удалось скопировать:")$(printf 'new 1old 2new 3new 4')" \
      "$(as="setpriv --bounding-set=-all" outcome "$config" "$w" "${run[@]}")|$(cat "$w/T:/S/d"{1..4}.txt)"
  done
  # Folders that cannot be listed, met by the walk and named by a line, are named; an empty one is not; nor
  # is a link to one skipped (only a hidden system junction of a user's profile is).
  chmod 644 "$w/S:/d2.txt" && mkdir -p "$w/S:/src/"{open,shut,empty} "$w/S:/links" && printf o >"$w/S:/src/open/o.txt"
  printf s >"$w/S:/src/shut/s.txt" && chmod 000 "$w/S:/src/shut" && as="setpriv --bounding-set=-all"
  ln -s ../src/shut "$w/S:/links/to-shut"
  printf '%s\r\n' '--Dir--T:\' 'S:\src' 'S:\src\shut' 'S:\links' >"$w/Quarnelvistro.txt"
  expect "$config folders that cannot be listed: exit code 1, each named, a link to one too, the rest copied" \
    "$(printf '1:%s\r\nS:\\src\\shut\r\nS:\\src\\shut\r\nS:\\links\\to-shut\r|o.txt' "$rejected")" \
    "$(outcome "$config" "$w")|$(ls "$w/T:/S/src/open")"
  chmod 755 "$w/S:/src/shut" && as=""

  # Two runs at once into one backup folder, the second started while the first copies: neither takes the
  # other's folder of temporary copies for a dead run's leftover; both end with every backup whole, and
  # ~qvtmp goes with the last.
  w=$(mktemp -d "$T/$config.XXX") && mkdir -p "$w/T:" "$w/S:/one" "$w/S:/two" "$w/second"
  for ((f = 0; f < $(win "$config" && echo 600 || echo 10000); f++)); do printf 'one %d' $f >"$w/S:/one/f$f.txt"; done
  printf 'two %d' {1..9} >"$w/S:/two/t.txt"
  printf '%s\r\n' '--Dir--T:\' 'S:\one' >"$w/Quarnelvistro.txt" && printf '%s\r\n' '--Dir--T:\' 'S:\two' >"$w/second/Quarnelvistro.txt"
  ! win "$config" || { drive "$config" s "$w/S:" && drive "$config" t "$w/T:"; }
  ln -s "$w/S:" "$w/second/S:" && ln -s "$w/T:" "$w/second/T:"
  (outcome "$config" "$w" >"$w/first.out") &
  for _ in {1..6000}; do [ -d "$w/T:/~qvtmp/000/000000" ] && break; sleep 0.01; done
  second=$(outcome "$config" "$w/second") && wait
  expect "$config two runs at once into one folder: both exit code 0, every backup whole, no ~qvtmp left" "0:|0:|S" \
    "$(cat "$w/first.out")|$second|$(differences "$w/S:" "$w/T:/S" $digits)$(ls -A "$w/T:")"

  # ~Versions a link to a folder holding one named like an old version folder: nothing behind the link is
  # removed, moved into or written; the file whose backup would be replaced is named and keeps its backup.
  w=$(mktemp -d "$T/$config.XXX") && mkdir -p "$w/T:/S" "$w/S:" "$w/elsewhere/2000-01-01 00-00-00"
  printf old >"$w/elsewhere/2000-01-01 00-00-00/x.txt" && ln -s "$w/elsewhere" "$w/T:/~Versions"
  printf newer >"$w/S:/f.txt" && printf OLD >"$w/T:/S/f.txt"
  printf '%s\r\n' '--Dir--T:\' '--Versions-- 30' 'S:\f.txt' >"$w/Quarnelvistro.txt"
  ! win "$config" || { drive "$config" s "$w/S:" && drive "$config" t "$w/T:"; }
  expect "$config ~Versions a link: exit code 1, the file named, its backup kept, nothing behind the link touched" \
    "$(printf '1:\r\n%s\r\n%s\r\nS:\\f.txt' "Ошибка при копировании файлов. error =  183 (b7)" \
      "Файлы, которые не удалось скопировать:")|OLD|2000-01-01 00-00-00/x.txt=old" \
    "$(outcome "$config" "$w")|$(cat "$w/T:/S/f.txt")|$(cd "$w/elsewhere" && find . -type f -printf '%P=' -exec cat {} \;)"
done

# The list and the log on a full drive (a 2 MB tmpfs, as root), the files elsewhere: no log is left, never an
# empty one, which reads as a complete backup, and the complete run ends with exit code 1; natively standard
# error says why. With one page of room, an old log's, the not-finished line is written but a report of two
# pages is not: no log either, and natively the report on standard error after the line that says why.
line="Не удалось открыть или записать файл QuarnelvistroLOG.txt."
for config in $(configs "$@"); do
  w=$(mktemp -d "$T/$config.XXX") && mkdir -p "$w/S" "$w/T" && printf s >"$w/S/s.txt"
  mountDrive full "$w/L" || { expect "$config full drive mounted" 0 1 && continue; }
  if win "$config"; then at="Z:${w//\//\\}\\"; else at=$w/; fi
  gone=() && for i in {10..49}; do gone+=("${at}gone-$i-$(printf '%0100d' 0)"); done
  # ran: "CODE|", the log or "no log", natively "|" and standard error, then "<end>", of a run in $w/L.
  ran() {
    local out && out=$(outcome "$config" "$w/L" 2>"$w/err")
    echo -n "${out%%:*}|" && { cat "$w/L/QuarnelvistroLOG.txt" 2>/dev/null || echo -n "no log"; }
    win "$config" || { echo -n "|" && cat "$w/err"; }
    echo "<end>"
  }
  # said LINE...: what ran gives after the log for standard error saying the LINEs.
  said() { win "$config" || { echo -n "|" && printf '%s\n' "$@"; }; echo "<end>"; }
  printf '%s\r\n' "--Dir--${at}T" "${at}S" >"$w/L/Quarnelvistro.txt" && head -c 2M /dev/zero >"$w/L/filler" 2>/dev/null
  expect "$config list and log on a full drive: exit code 1, no log, the file copied" \
    "1|no log$(said "$line")|s.txt" "$(ran)|$(find "$w/T" -name s.txt -printf %f)"
  rm "$w/L/filler" && printf old >"$w/L/QuarnelvistroLOG.txt"
  printf '%s\r\n' "--Dir--${at}T" "${at}S" "${gone[@]}" >"$w/L/Quarnelvistro.txt"
  head -c 2M /dev/zero >"$w/L/filler" 2>/dev/null
  expect "$config one page of room there, a report of two: exit code 1, no log" \
    "1|no log$(said "$line" "$rejected" "${gone[@]}")" "$(ran)"
done
finish
