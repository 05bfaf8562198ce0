#!/usr/bin/env bash
# Times Quarnelvistro against the tools a user would otherwise pick, on a
# generated tree of small files, and writes bench/results.md:
#   bench/run.sh [FILES [WINE_FILES [RUNS]]]    (100000, 5000, 3)
# Native: first copy vs cp -a and rsync -a, nothing to copy vs rsync -a,
# 1% of the files changed, peak memory. The x86-64 Windows program under
# Wine: first copy and nothing to copy vs Wine's xcopy /D /S /E /Y /I.
# Each figure is the median of RUNS runs, warm cache, sync before each run.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
files=${1:-100000}
wineFiles=${2:-5000}
runs=${3:-3}
build=$top/build${QV_BUILD_TAG:-}
native=$build/linux/Quarnelvistro
windows=$build/win64/Quarnelvistro.exe
work=$build/bench
prefix=$work/wineprefix
for p in "$native" "$windows"; do
  [ -x "$p" ] || { echo "bench: build $p first (make bench builds it)" >&2; exit 1; }
done

# A tree of FILES small files: folders of 100 files, 50 such folders in
# each of as many top folders as needed (20 for 100,000 files).
makeTree() {
  local dir=$1 n=$2 i=0 t m f body
  body=$(printf 'Quarnelvistro bench line %.0s' {1..6})
  for ((t = 0; i < n; t++)); do
    for ((m = 0; m < 50 && i < n; m++)); do
      mkdir -p "$dir/t$t/m$m"
      for ((f = 0; f < 100 && i < n; f++, i++)); do
        printf '%s %d\n' "$body" "$i" >"$dir/t$t/m$m/f$f.txt"
      done
    done
  done
}

# timed NAME COMMAND...: runs it once; appends its seconds to the list NAME
# and keeps the largest peak resident size in peakKiB.
peakKiB=0
timed() {
  local name=$1
  shift
  sync
  if ! /usr/bin/time -f '%e %M' -o "$work/time.out" "$@" >/dev/null 2>"$work/err.out"; then
    echo "bench: failed: $*" >&2
    cat "$work/err.out" "$work/time.out" >&2
    exit 1
  fi
  local secs kib
  read -r secs kib <"$work/time.out"
  eval "$name+=($secs)"
  case $name in
    *_first | *_none | *_changed) ((kib <= peakKiB)) || peakKiB=$kib ;;
  esac
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
# An empty log: the run had nothing to report.
logEmpty() { [ ! -s "$1/QuarnelvistroLOG.txt" ] || { echo "bench: the run reported:" >&2; cat "$1/QuarnelvistroLOG.txt" >&2; exit 1; }; }

# Old copies are moved aside on disk, not removed, until the end: ext4 makes
# the next files slow to create while it skips the inodes just freed, and
# that would fall on whichever tool came next. On tmpfs they are removed.
trash=0
aside() {
  [ -e "$1" ] || return 0
  if [ "$where" = tmpfs ]; then rm -rf "$1"; else mv "$1" "$work/trash/$((trash++))"; fi
}

for name in {ext4,tmpfs}_{first,cp,rsync,none,rsyncNone,changed,rsyncChanged}; do eval "$name=()"; done
# nativeRuns DIR WHERE: the native runs in DIR; figures go to the lists WHERE_first etc.
nativeRuns() {
  local dir=$1 where=$2 run k i f
  rm -rf "$dir/C:" "$dir/cp" "$dir/rsync"
  mkdir -p "$dir/C:/dst" "$dir/cp" "$dir/rsync" "$work/trash"
  echo "bench: making $files files on $where"
  makeTree "$dir/C:/src" "$files"
  printf -- '--Dir--C:\\dst\nC:\\src\n' >"$dir/Quarnelvistro.txt"
  for ((run = 1; run <= runs; run++)); do
    echo "bench: native run $run of $runs on $where"
    for ((k = 0; k < 3; k++)); do  # each tool goes first once
      case $(((run + k) % 3)) in
        0) aside "$dir/C:/dst/C" && timed "${where}_first" env -C "$dir" "$native" -w && logEmpty "$dir" ;;
        1) aside "$dir/cp/src" && timed "${where}_cp" cp -a "$dir/C:/src" "$dir/cp/" ;;
        2) aside "$dir/rsync/src" && timed "${where}_rsync" rsync -a "$dir/C:/src" "$dir/rsync/" ;;
      esac
    done
    if ((run == 1)); then
      diff -r "$dir/C:/src" "$dir/C:/dst/C/src" >/dev/null || { echo "bench: the copy differs from its source" >&2; exit 1; }
    fi
    timed "${where}_none" env -C "$dir" "$native" -w
    logEmpty "$dir"
    timed "${where}_rsyncNone" rsync -a "$dir/C:/src" "$dir/rsync/"
    # 1% of the files get new contents and a new time.
    for ((i = run; i < files; i += 100)); do
      f=$((i % 5000))
      echo "changed in run $run" >>"$dir/C:/src/t$((i / 5000))/m$((f / 100))/f$((f % 100)).txt"
    done
    timed "${where}_changed" env -C "$dir" "$native" -w
    logEmpty "$dir"
    timed "${where}_rsyncChanged" rsync -a "$dir/C:/src" "$dir/rsync/"
  done
}
nativeRuns "$work" ext4
# The same on tmpfs, where no disk stands between the tools and their own costs.
shm=/dev/shm/qv-bench${QV_BUILD_TAG:-}
if [ "$(df --output=fstype /dev/shm 2>/dev/null | tail -1)" = tmpfs ]; then
  trap 'rm -rf "$shm"' EXIT
  nativeRuns "$shm" tmpfs
  rm -rf "$shm"
fi

echo "bench: Windows program under Wine, $wineFiles files"
export WINEPREFIX=$prefix WINEDEBUG=-all LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Through the project's runner, which picks the loader this machine can run.
wine=("$top/cmake/wine-run.sh" "$prefix")
"${wine[@]}" cmd /c exit >/dev/null 2>&1 || true                  # makes the prefix once
wineserver -w                                                     # the prefix's first server has ended
wineserver -p                                                     # one server for all runs
trap 'wineserver -k 2>/dev/null || true' EXIT
where=ext4
# On drive C:, where a user's files are.
wdir=$prefix/drive_c/qvb
rm -rf "$wdir"
makeTree "$wdir/src" "$wineFiles"
printf -- '--Dir--C:\\qvb\\dst\nC:\\qvb\\src\n' >"$wdir/Quarnelvistro.txt"
# xcopy says 1 when it found nothing to copy.
xcopy=(sh -c '"$@"; [ $? -le 1 ]' sh "${wine[@]}" xcopy 'C:\qvb\src' 'C:\qvb\xcopy' /D /S /E /Y /I)
wineFirst=() xcopyFirst=() wineNone=() xcopyNone=()
for ((run = 1; run <= runs; run++)); do
  echo "bench: Wine run $run of $runs"
  aside "$wdir/dst"
  mkdir -p "$wdir/dst"
  timed wineFirst env -C "$wdir" "${wine[@]}" "$windows" -w
  logEmpty "$wdir"
  aside "$wdir/xcopy"
  timed xcopyFirst "${xcopy[@]}"
  timed wineNone env -C "$wdir" "${wine[@]}" "$windows" -w
  logEmpty "$wdir"
  timed xcopyNone "${xcopy[@]}"
done
for d in dst/C/qvb/src xcopy; do
  diff -r "$wdir/src" "$wdir/$d" >/dev/null || { echo "bench: $wdir/$d differs from its source" >&2; exit 1; }
done

rm -rf "$work/trash"

# Figures, ratios and targets, with a decimal point whatever Wine needed.
export LC_ALL=C
row() {  # what, ours, theirs[, target ratio]
  local r
  r=$(ratio "$2" "$3")
  if [ $# -lt 4 ]; then
    printf '| %s | %s s | %s s | %s | | |\n' "$1" "$2" "$3" "$r"
    return
  fi
  printf '| %s | %s s | %s s | %s | <= %s | %s |\n' "$1" "$2" "$3" "$r" "$4" \
    "$(awk -v r="$r" -v t="$4" 'BEGIN { print (r <= t ? "met" : "missed") }')"
}
peakMiB=$(awk -v k="$peakKiB" 'BEGIN { printf "%.1f", k / 1024 }')
{
  echo "# Benchmark"
  echo
  echo "Made by \`make bench\` (bench/run.sh $files $wineFiles $runs) on $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo "Median of $runs runs each; warm cache; \`sync\` before every timed run."
  echo
  echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
    "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) memory, Linux $(uname -r)," \
    "$("${wine[@]}" --version)."
  echo
  echo "Tree: $files files of $(stat -c %s "$work/C:/src/t0/m0/f1.txt") bytes or so, 100 a folder, 50 folders a top folder;"
  echo "the native runs on the build's disk (ext4) and again on tmpfs, each tool first once."
  echo
  echo "| run | Quarnelvistro | other | ratio | target | |"
  echo "|---|---|---|---|---|---|"
  for where in ext4 tmpfs; do
    eval "[ \${#${where}_first[@]} -gt 0 ]" || continue
    m() { eval "median \"\${${where}_$1[@]}\""; }
    row "$where: first copy vs cp -a" "$(m first)" "$(m cp)" 1.0
    row "$where: first copy vs rsync -a" "$(m first)" "$(m rsync)"
    row "$where: nothing to copy vs rsync -a" "$(m none)" "$(m rsyncNone)" 0.8
    row "$where: 1% changed vs rsync -a" "$(m changed)" "$(m rsyncChanged)"
  done
  row "Wine, $wineFiles files: first copy vs xcopy" "$(median "${wineFirst[@]}")" "$(median "${xcopyFirst[@]}")" 1.0
  row "Wine, $wineFiles files: nothing to copy vs xcopy" "$(median "${wineNone[@]}")" "$(median "${xcopyNone[@]}")" 1.0
  echo
  echo "Peak memory of the native program: $peakMiB MiB for $files entries (target <= 64 MiB:" \
    "$(awk -v p="$peakMiB" 'BEGIN { print (p <= 64 ? "met" : "missed") }'))."
  echo
  echo "All runs (seconds):"
  echo
  for name in {ext4,tmpfs}_{first,cp,rsync,none,rsyncNone,changed,rsyncChanged} wineFirst xcopyFirst wineNone xcopyNone; do
    eval "[ \${#$name[@]} -eq 0 ] || echo \"- $name: \${$name[*]}\""
  done
} >"$work/results.md"
cp "$work/results.md" bench/results.md
cat bench/results.md
