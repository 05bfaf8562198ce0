#!/usr/bin/env bash
# Backups onto the drives users plug in, real file systems mounted as root: FAT32 (fusefat, under Wine; the first
# run only, see below) and exFAT (exfat-fuse), which keep coarse times, and a drive that fills up (a 2 MB tmpfs).
# A second run onto FAT32 or exFAT writes nothing, onto exFAT also of a file dated 1970, which it cannot keep,
# and also once the drive was plugged in again, yet a source changed in time, or in size within a time step, is
# copied; names differing only in case keep the first file whole and name the others, and a backup under the
# other spelling of a name is no backup of it; a full drive names the file that did not fit, keeps its old
# backup and copies the smaller ones after it, and once there is room the next run completes the backup; the room
# expired versions hold is freed before the copies.
# A drive pulled out during a run gets nothing more, and nothing lands below its empty mount point; a link
# inside a backup folder onto another drive (a tmpfs) is backed up through.
#   drives.sh [CONFIG...]   (default: linux win64 win32, those built)
. "$(dirname "$0")/lib.sh"
[ -c /dev/fuse ] && [ "$(id -u)" = 0 ] || { echo "!!! drives: FUSE or root NOT AVAILABLE: nothing can be mounted"; exit 1; }

# contents DIR: every file below DIR as "path=content", sorted.
contents() { (cd "$1" && find . -type f -printf '%P\n' | while read -r f; do echo "$f=$(cat "$f")"; done | sorted); }
# layout CONFIG KIND: a working folder $w whose S: holds the sources and whose T: is a drive of KIND.
layout() {
  w=$(mktemp -d "$T/$1-$2.XXX")
  mkdir -p "$w/S:" && mountDrive "$2" "$w/T:" || return 1
  ! win "$1" || { drive "$1" s "$w/S:" && drive "$1" t "$w/T:"; }
}
notCopied="Файлы, которые не удалось скопировать:"

for config in $(configs "$@"); do
  echo "--- $config"
  for kind in $(win "$config" && echo fat32) exfat; do
    layout "$config" $kind || { expect "$config $kind mounted" 0 1; continue; }
    # Times of a source within a step of its copy, and one on a whole even second.
    for f in alpha.txt later.txt grown.txt $([ $kind = exfat ] && echo Отчёт.txt); do
      echo "${f%.txt}" >"$w/S:/$f" && touch -d '2020-01-02 03:04:05.678901234' "$w/S:/$f"
    done
    echo even >"$w/S:/even.txt" && touch -d '2020-01-02 03:04:06' "$w/S:/even.txt"
    # A file from 1970, which exFAT keeps as 1980-01-01 00:00 local. fusefat and exfat-fuse wrap a year they
    # cannot keep (1970 onto FAT32 as 2098, 2120 as 1992) where Windows' drivers keep their limit: the table of
    # the engine's tests holds those.
    [ $kind = fat32 ] || { echo archive >"$w/S:/archive.txt" && touch -d '1970-01-01 00:00:00 UTC' "$w/S:/archive.txt"; }
    printf '%s\r\n' '--Dir--T:\' 'S:\' >"$w/Quarnelvistro.txt"
    expect "$config $kind first run: exit code 0, empty log, every file copied" "0:|$(contents "$w/S:")" \
      "$(outcome "$config" "$w")|$(contents "$w/T:/S")"
    # fusefat stamps a file it renamed with the time of its next write-back, not the one it had: every copy is
    # renamed into place, so there the times say no more after the first run.
    [ $kind = fat32 ] && continue
    # Plugged in again: what the drive keeps is read back, no longer what it was told.
    umount "$w/T:" && mount.exfat-fuse "${loops[-1]}" "$w/T:" >/dev/null
    # Other bytes of the same length in every copy, its time kept: a run that copies anything again shows.
    for c in "$w/T:/S/"*; do
      t=$(stat -c %y "$c") n=$(stat -c %s "$c") && head -c "$n" /dev/zero | tr '\0' x >"$c" && touch -d "$t" "$c"
    done
    touch -d '2021-01-01' "$w/S:/later.txt" && echo + >>"$w/S:/grown.txt"
    touch -d '2020-01-02 03:04:05.678901234' "$w/S:/grown.txt"
    want=$(cd "$w/S:" && for f in *; do
      case $f in later.txt | grown.txt) echo "$f=$(cat "$f")" ;; *) echo "$f=$(head -c "$(stat -c %s "$f")" /dev/zero | tr '\0' x)" ;; esac
    done | sorted)
    expect "$config $kind second run: exit code 0, empty log, only the later and the grown file copied" \
      "0:|$want" "$(outcome "$config" "$w")|$(contents "$w/T:/S")"
  done

  # Names that differ only in case, of files and of folders, onto exFAT, which takes them for one; and a drive
  # that holds a backup under the other spelling already, no backup of Pre.txt: it takes its own spelling.
  layout "$config" exfat && echo first >"$w/S:/README.txt" && echo second >"$w/S:/readme.txt"
  echo третий >"$w/S:/Отчёт.txt" && echo ТРЕТИЙ >"$w/S:/ОТЧЁТ.txt" && touch -r "$w/S:/Отчёт.txt" "$w/S:/ОТЧЁТ.txt"
  mkdir "$w/S:/Dir" "$w/S:/dir" && echo fifth >"$w/S:/Dir/a.txt" && echo sixth >"$w/S:/dir/a.txt"
  echo pre >"$w/S:/Pre.txt" && echo PRE >"$w/S:/PRE.txt" && mkdir -p "$w/T:/S" && cp -p "$w/S:/Pre.txt" "$w/T:/S/pre.txt"
  printf '%s\r\n' '--Dir--T:\' 'S:\README.txt' 'S:\readme.txt' 'S:\Отчёт.txt' 'S:\ОТЧЁТ.txt' 'S:\Dir' 'S:\dir' \
    'S:\Pre.txt' 'S:\PRE.txt' >"$w/Quarnelvistro.txt"
  for run in first second; do
    expect "$config exfat $run run: one file of each two that differ in case, the other named" \
      "$(printf '1:\r\n%s\r\nS:\\%s\r\nS:\\%s\r\nS:\\%s\r\nS:\\%s' "$notCopied" readme.txt ОТЧЁТ.txt 'dir\a.txt' PRE.txt
      )|Dir/a.txt=fifth Pre.txt=pre README.txt=first Отчёт.txt=третий" "$(outcome "$config" "$w")|$(contents "$w/T:/S" | xargs)"
  done
  # Отчёт.txt renamed away and its line dropped: the backup under its spelling, of one size and time with
  # ОТЧЁТ.txt, is no backup of ОТЧЁТ.txt, which now takes its place under its own spelling.
  mv "$w/S:/Отчёт.txt" "$w/S:/Отчёт-old.txt" && sed -i '/Отчёт/d' "$w/Quarnelvistro.txt"
  expect "$config exfat a twin's backup under the other spelling is replaced" \
    "$(printf '1:\r\n%s\r\nS:\\%s\r\nS:\\%s\r\nS:\\%s' "$notCopied" readme.txt 'dir\a.txt' PRE.txt
      )|Dir/a.txt=fifth Pre.txt=pre README.txt=first ОТЧЁТ.txt=ТРЕТИЙ" "$(outcome "$config" "$w")|$(contents "$w/T:/S" | xargs)"
  # Windows finds a name whatever its case: one file reached by two spellings of its path is copied once, and
  # no run names it.
  if win "$config"; then
    layout "$config" exfat && mkdir "$w/S:/Docs" && echo report >"$w/S:/Docs/report.txt"
    printf '%s\r\n' '--Dir--T:\' 'S:\Docs' 'S:\docs\report.txt' >"$w/Quarnelvistro.txt"
    for run in first second; do
      expect "$config $run run: a file by two spellings copied once, not named" "0:|Docs/report.txt=report" \
        "$(outcome "$config" "$w")|$(contents "$w/T:/S" | xargs)"
    done
  fi

  # The exFAT drive of T:\Backup pulled out while the batch copies (unmounted lazily), its empty mount point
  # left: nothing is written below the mount point, and each file not backed up is named (the others are
  # whole on the drive, plugged in again). The next run, the drive still away, says T:\Backup is missing.
  layout "$config" exfat && mkdir "$w/T:/Backup" && for ((f = 0; f < 400; f++)); do printf 'f %d' $f >"$w/S:/f$f.txt"; done
  printf '%s\r\n' '--Dir--T:\Backup' 'S:\' >"$w/Quarnelvistro.txt"
  (for _ in {1..6000}; do [ -e "$w/T:/Backup/~qvtmp/000/000000/05" ] && break; sleep 0.01; done && umount -l "$w/T:") &
  got=$(outcome "$config" "$w") && wait && left=$(find "$w/T:" -mindepth 1) && mount.exfat-fuse "${loops[-1]}" "$w/T:" >/dev/null
  expect "$config drive pulled during the run: exit code 1, the error, nothing below the mount point, no file lost" \
    "1:|Ошибка при копировании файлов. error =  3 (3)|$notCopied||" \
    "${got%%$'\r'*}|$(sed -n 2p <<<"$got" | tr -d '\r')|$(sed -n 3p <<<"$got" | tr -d '\r')|$left|$(cd "$w/S:" && for f in *; do
      tr -d '\r' <<<"$got" | grep -qxF "S:\\$f" || cmp -s "$f" "$w/T:/Backup/S/$f" || echo "lost $f"; done)"
  umount "$w/T:"
  expect "$config drive still away: exit code 2, T:\\Backup named" "2:T:\\Backup" \
    "$(outcome "$config" "$w" | sed -n '2{s/\r//;p}' | sed 's/^/2:/')"

  # A backup folder that reaches onto another drive through a link (a backup grown too big for one disk):
  # every file below the link is backed up whole, a changed one too, its old backup kept as a version; nothing
  # of the program's is left on either drive.
  w=$(mktemp -d "$T/$config-link.XXX") && mkdir -p "$w/S:/big/sub" "$w/T:/S" && mountDrive full "$w/disk2" &&
    ln -s "$w/disk2" "$w/T:/S/big"
  ! win "$config" || { drive "$config" s "$w/S:" && drive "$config" t "$w/T:"; }
  for f in big/a big/b big/sub/c small; do echo "$f" >"$w/S:/$f.txt"; done
  printf '%s\r\n' '--Dir--T:\' '--Versions-- 30' 'S:\' >"$w/Quarnelvistro.txt"
  digits=$(win "$config" && echo 7 || echo 9)
  # rsync would take the link in the copy for one to replace: diff and find follow it.
  expect "$config a link onto another drive: exit code 0, empty log, every file whole" "0:|$(mtimes "$w/S:" $digits)" \
    "$(outcome "$config" "$w")$(diff -r "$w/S:" "$w/T:/S")|$(mtimes "$w/T:/S" $digits)"
  # A run that died left its folder in that drive's ~qvtmp: removed, and no hindrance.
  echo changed >>"$w/S:/big/a.txt" && mkdir -p "$w/disk2/~qvtmp/000/000000" && echo died >"$w/disk2/~qvtmp/000/000000/00"
  expect "$config a link onto another drive, a file changed: exit code 0, copied, its old backup a version" \
    "0:|$(mtimes "$w/S:" $digits)|big/a|S ~Versions|a.txt b.txt sub" "$(outcome "$config" "$w")$(diff -r "$w/S:" "$w/T:/S"
      )|$(mtimes "$w/T:/S" $digits)|$(cat "$w/T:/~Versions/"*/S/big/a.txt)|$(ls -A "$w/T:" | xargs)|$(ls -A "$w/disk2" | xargs)"

  # Five photos of 500 KiB onto a 2 MiB drive that keeps versions, one a line, then two notes: the fifth photo,
  # changed, does not fit beside its old backup. It is named and its old backup stays whole, under its name; the
  # notes after it are copied; no part of it is left, under its name or another. Once there is room, its old
  # backup is kept as a version.
  layout "$config" full && for f in photo1.jpg photo2.jpg photo3.jpg photo4.jpg photo5.jpg note1.txt note2.txt; do
    case $f in *.jpg) head -c 512000 /dev/urandom ;; *) echo "$f" ;; esac >"$w/S:/$f" && echo "S:\\$f"
  done | sed '1i --Versions-- 30' | sed '1i --Dir--T:\\' | sed 's/$/\r/' >"$w/Quarnelvistro.txt"
  mkdir -p "$w/T:/S" && echo "last year's photo" >"$w/T:/S/photo5.jpg"
  code=$(win "$config" && echo "1223 (4c7)" || echo "112 (70)")
  expect "$config full drive: exit code 1, the fifth photo named and its old backup kept, the rest whole" \
    "$(printf '1:\r\nОшибка при копировании файлов. error =  %s\r\n%s\r\nS:\\photo5.jpg' "$code" "$notCopied")|note1.txt note2.txt photo1.jpg photo2.jpg photo3.jpg photo4.jpg photo5.jpg=last year's photo" \
    "$(outcome "$config" "$w")|$(for f in photo1.jpg photo2.jpg photo3.jpg photo4.jpg note1.txt note2.txt; do
      cmp "$w/S:/$f" "$w/T:/S/$f"; done; ls "$w/T:/S" | xargs)=$(cat "$w/T:/S/photo5.jpg")"
  mount -o remount,size=20m "$w/T:"
  expect "$config full drive, room made: exit code 0, empty log, all whole, the old photo kept as a version" \
    "0:||last year's photo" "$(outcome "$config" "$w")|$(diff -r "$w/S:" "$w/T:/S")|$(cat "$w/T:/~Versions/"*/S/photo5.jpg)"

  # A changed photo of 600 KiB fits beside its old backup on the 2 MiB drive only once the expired version of 1 MiB
  # from 2000 is pruned, before the copies; the photo's newest version, from the day after, stays however old.
  layout "$config" full && mkdir -p "$w/T:/S" "$w/T:/~Versions/2000-01-01 00-00-00/S" "$w/T:/~Versions/2000-01-02 00-00-00/S"
  head -c 614400 /dev/urandom >"$w/S:/photo.jpg" && head -c 614400 /dev/urandom | tee "$w/old.jpg" >"$w/T:/S/photo.jpg"
  touch -d 2020-01-01 "$w/T:/S/photo.jpg" "$w/old.jpg"
  head -c 1048576 /dev/urandom >"$w/T:/~Versions/2000-01-01 00-00-00/S/photo.jpg"
  echo newest >"$w/T:/~Versions/2000-01-02 00-00-00/S/photo.jpg"
  printf '%s\r\n' '--Dir--T:\' '--Versions-- 30' 'S:\photo.jpg' >"$w/Quarnelvistro.txt"
  got=$(outcome "$config" "$w"); run=$(ls "$w/T:/~Versions" | grep -v '^2000-')
  expect "$config expired versions make room: exit code 0, empty log, copied, the old backup kept, the newest old version too" \
    "0:|2000-01-02 00-00-00|newest" "$got$(cmp "$w/S:/photo.jpg" "$w/T:/S/photo.jpg" 2>&1
      cmp "$w/old.jpg" "$w/T:/~Versions/$run/S/photo.jpg" 2>&1)|$(ls "$w/T:/~Versions" | grep '^2000-' | xargs
      )|$(cat "$w/T:/~Versions/2000-01-02 00-00-00/S/photo.jpg")"
done
finish
