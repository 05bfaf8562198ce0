#!/usr/bin/env bash
# Times Quarnelvistro against the tools a user would otherwise pick, on a
# generated tree of small files, and writes bench/results.md:
#   bench/run.sh [FILES [WINE_FILES [RUNS]]]    (100000, 5000, 3)
# Native: first copy vs cp -a and rsync -a, nothing to copy vs rsync -a,
# 1% of the files changed, peak memory. The x86-64 Windows program under
# Wine: first copy and nothing to copy vs Wine's xcopy /D /S /E /Y /I.
# Each figure is the median of RUNS runs, warm cache, sync before each run.
# Then, one run each, natively and under Wine: nothing to copy onto an exFAT
# drive (BENCH_EXFAT_FILES files natively, 20000; WINE_FILES under Wine),
# and BENCH_FAIL_FILES files (10000) with none, 1% or half of them
# unreadable; those runs are stopped after BENCH_LIMIT seconds (900).
# Nothing to copy over BENCH_MIXED_FILES (3000) files and as many subfolders
# alternating in one folder, beside the same laid out plainly.
# Nothing to copy onto a network drive (sshfs to an sshd of the bench's own
# on 127.0.0.1, mounted afresh before each run): WINE_FILES files natively
# and under Wine, BENCH_NET_FILES (20000) natively, against rsync -a and
# ls -lR over the same mount; RUNS runs each.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
files=${1:-100000}
wineFiles=${2:-5000}
runs=${3:-3}
exfatFiles=${BENCH_EXFAT_FILES:-20000}
failFiles=${BENCH_FAIL_FILES:-10000}
netFiles=${BENCH_NET_FILES:-20000}
limit=${BENCH_LIMIT:-900}
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
# and keeps the largest peak resident size in peakKiB. An exit code other
# than 0 ends the bench, unless the caller lists the codes it takes in
# `codes`; the code is left in rc. A run stopped by `timeout` (124) counts
# as "over" the limit.
peakKiB=0
timed() {
  local name=$1 secs kib
  shift
  sync
  rc=0
  /usr/bin/time -f '%e %M' -o "$work/time.out" "$@" >/dev/null 2>"$work/err.out" || rc=$?
  if [[ " ${codes:-0} " != *" $rc "* ]]; then
    echo "bench: failed ($rc): $*" >&2
    cat "$work/err.out" "$work/time.out" >&2
    exit 1
  fi
  read -r secs kib < <(tail -1 "$work/time.out")  # after time's line on the exit code
  ((rc != 124)) || secs="over $limit"
  eval "$name+=(\"\$secs\")"
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

# Whatever the bench set up goes when it ends, however it ends.
exfatDir=$work/exfat exfatDev='' wineUp=''
netDir=$work/net ssh=$work/ssh sshdPid='' sshfsPids=()
cleanup() {
  [ -z "$wineUp" ] || wineserver -k 2>/dev/null || true
  ! mountpoint -q "$netDir" 2>/dev/null || fusermount -u "$netDir" 2>/dev/null || fusermount -u -z "$netDir" || true
  [ ${#sshfsPids[@]} -eq 0 ] || kill "${sshfsPids[@]}" 2>/dev/null || true
  if [ -n "$sshdPid" ]; then kill "$sshdPid" 2>/dev/null && wait "$sshdPid" 2>/dev/null || true; fi
  rm -rf "$ssh"
  if [ -n "$exfatDev" ]; then
    fusermount -u "$exfatDir" 2>/dev/null || umount -l "$exfatDir" || true
    losetup -d "$exfatDev" || true
  fi
  rm -f "$prefix/dosdevices/"[ens]:
  rm -rf "$shm"
}
shm=/dev/shm/qv-bench${QV_BUILD_TAG:-}
trap cleanup EXIT

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
if [ "$(df --output=fstype /dev/shm 2>/dev/null | tail -1)" = tmpfs ]; then
  nativeRuns "$shm" tmpfs
  rm -rf "$shm"
else
  shm=$work/scratch  # for the trees of the parts below
fi

# Nothing to copy over a folder whose files and subfolders (one file each) alternate in its listing,
# BENCH_MIXED_FILES (3000) of each, beside the same numbers laid out plainly: the files in one folder, the
# subfolders in another. Natively, on ext4.
mixedFiles=${BENCH_MIXED_FILES:-3000} mixedNone=() plainNone=()
mixedTree() {  # DIR LAYOUT
  local i files=$1/C:/src dirs=$1/C:/src
  [ "$2" = mixed ] || files=$1/C:/src/files dirs=$1/C:/src/dirs
  rm -rf "$1" && mkdir -p "$1/C:/dst" "$files" "$dirs"
  (cd "$dirs" && eval "mkdir d{0..$((mixedFiles - 1))}")
  for ((i = 0; i < mixedFiles; i++)); do printf 'file %d' $i >"$files/f$i.txt" && printf 'sub %d' $i >"$dirs/d$i/g.txt"; done
  printf -- '--Dir--C:\\dst\nC:\\src\n' >"$1/Quarnelvistro.txt"
  env -C "$1" "$native" -w && logEmpty "$1"
}
echo "bench: nothing to copy over $mixedFiles files and $mixedFiles subfolders, mixed and plain"
mixedTree "$work/mixed" mixed && mixedTree "$work/plain" plain
for ((run = 1; run <= runs; run++)); do
  timed mixedNone env -C "$work/mixed" "$native" -w && logEmpty "$work/mixed"
  timed plainNone env -C "$work/plain" "$native" -w && logEmpty "$work/plain"
done
rm -rf "$work/mixed" "$work/plain"

echo "bench: Windows program under Wine, $wineFiles files"
export WINEPREFIX=$prefix WINEDEBUG=-all LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Through the project's runner, which picks the loader this machine can run.
wine=("$top/cmake/wine-run.sh" "$prefix")
"${wine[@]}" cmd /c exit >/dev/null 2>&1 || true                  # makes the prefix once
wineserver -w                                                     # the prefix's first server has ended
wineserver -p                                                     # one server for all runs
wineUp=1
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

declare -A check  # what each run below did, for the report
# Drive S: of the Wine programs is $shm, where the trees below are.
mkdir -p "$shm"
ln -sfn "$shm" "$prefix/dosdevices/s:"
list() { printf -- '--Dir--%s\r\n%s\r\n' "$2" "$3" >"$1/Quarnelvistro.txt"; }  # DIR BACKUP_FOLDER SOURCE

# watch DIR: from now on counts the files written below DIR; watched: that count.
watch() {
  inotifywait -m -r -e close_write --format %f "$1" >"$work/watch.out" 2>"$work/watch.err" &
  watcher=$! watchDir=$1
  until grep -q established "$work/watch.err"; do
    kill -0 "$watcher" || { cat "$work/watch.err" >&2 && exit 1; }
    sleep 0.1
  done
}
# A file written last marks the end of the run's events.
watched() {
  touch "$watchDir/.qv-end"
  until [ "$(tail -1 "$work/watch.out")" = .qv-end ]; do sleep 0.1; done
  kill "$watcher" && wait "$watcher" || true
  rm "$watchDir/.qv-end"
  grep -cvx .qv-end "$work/watch.out" || true
}

# Onto an exFAT drive, as USB disks come, through the FUSE driver on a loop
# device: the same tree backed up twice, the second run (timed) with nothing
# to copy, the same onto tmpfs beside it. The image lies in $shm too.
mountExfat() {
  [ -c /dev/fuse ] && command -v mount.exfat-fuse mkfs.exfat losetup >/dev/null &&
    truncate -s $(((exfatFiles + wineFiles) / 8 + 256))M "$shm/exfat.img" &&
    mkfs.exfat "$shm/exfat.img" >/dev/null && exfatDev=$(losetup -f --show "$shm/exfat.img") &&
    mkdir -p "$exfatDir" && mount.exfat-fuse "$exfatDev" "$exfatDir"
}
# noop NAME DIR DEST COMMAND...: COMMAND in DIR backs up into DEST, first an
# empty one (timed into NAME1), then again (timed into NAME); check[NAME]
# tells what that second run did.
noop() {
  local name=$1 dir=$2 dest=$3
  shift 3
  rm -rf "$dest" && mkdir -p "$dest"
  codes='0 1 2' timed "${name}1" env -C "$dir" "$@"
  watch "$dest"
  codes='0 1 2' timed "$name" env -C "$dir" "$@"
  check[$name]="exit code $rc, log $(stat -c %s "$dir/QuarnelvistroLOG.txt") bytes, $(watched) files written"
}
exNative=() exNative1=() exNativeTmp=() exNativeTmp1=() exWine=() exWine1=() exWineTmp=() exWineTmp1=()
x=$shm/x
rm -rf "$x" && mkdir -p "$x"
if mountExfat; then
  echo "bench: nothing to copy onto exFAT, native ($exfatFiles files) and Wine ($wineFiles files)"
  makeTree "$x/src" "$exfatFiles"
  makeTree "$x/wsrc" "$wineFiles"
  ln -sfn "$exfatDir" "$prefix/dosdevices/e:"
  list "$x" "$exfatDir/n" "$x/src" && noop exNative "$x" "$exfatDir/n" "$native" -w
  list "$x" "$x/n" "$x/src" && noop exNativeTmp "$x" "$x/n" "$native" -w
  list "$x" 'E:\w' 'S:\x\wsrc' && noop exWine "$x" "$exfatDir/w" "${wine[@]}" "$windows" -w
  list "$x" 'S:\x\w' 'S:\x\wsrc' && noop exWineTmp "$x" "$x/w" "${wine[@]}" "$windows" -w
  for name in exNative exNativeTmp exWine exWineTmp; do
    [ "${check[$name]}" = "exit code 0, log 0 bytes, 0 files written" ] ||
      echo "bench: $name: the second run did not find everything in place: ${check[$name]}" >&2
  done
else
  echo "!!! bench: exFAT NOT MEASURED: no FUSE, loop device or exFAT tools here" >&2
fi
rm -rf "$x"

# Onto a network drive: the backup folder is served by an sshd started here
# (its own host key and config, 127.0.0.1 only, root by a key made here)
# and mounted with sshfs, afresh before each timed run, so that no cache of
# sshfs or the kernel answers for the network. Each tree is backed up once
# untimed; then every timed run has nothing to copy.
startSshd() {
  local port k
  command -v sshfs >/dev/null && [ -x /usr/sbin/sshd ] && [ -c /dev/fuse ] || return 1
  rm -rf "$ssh" && mkdir -p "$ssh" /run/sshd && chmod 700 "$ssh" || return 1
  ssh-keygen -q -t ed25519 -N '' -f "$ssh/host" && ssh-keygen -q -t ed25519 -N '' -f "$ssh/client" || return 1
  cp "$ssh/client.pub" "$ssh/authorized"
  # A port no one listens on.
  for ((port = 20000 + $$ % 20000; port < 65000; port += 97)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
  done
  printf '%s\n' "ListenAddress 127.0.0.1" "Port $port" "HostKey $ssh/host" "AuthorizedKeysFile $ssh/authorized" \
    "PermitRootLogin prohibit-password" "PasswordAuthentication no" "KbdInteractiveAuthentication no" \
    "UsePAM no" "StrictModes no" "PidFile none" "Subsystem sftp internal-sftp" >"$ssh/config"
  /usr/sbin/sshd -D -e -f "$ssh/config" 2>"$ssh/log" &
  sshdPid=$!
  for ((k = 0; k < 50; k++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    kill -0 "$sshdPid" 2>/dev/null || return 1
    sleep 0.1
  done
  sshfsArgs=(-p "$port" -o "IdentityFile=$ssh/client,UserKnownHostsFile=/dev/null,StrictHostKeyChecking=no"
    -o "BatchMode=yes,LogLevel=ERROR" "root@127.0.0.1:$served" "$netDir")
  mkdir -p "$netDir" "$served" && mountNet
}
# sshfs in the foreground, in the background: its process is known, to be
# ended with its mount. Wine's server may hold the old mount, which then is
# only detached.
mountNet() {
  local k
  sshfs -f "${sshfsArgs[@]}" 2>>"$ssh/log" &
  sshfsPids+=($!)
  for ((k = 0; k < 100; k++)); do
    mountpoint -q "$netDir" && return 0
    kill -0 "${sshfsPids[-1]}" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
remount() {
  fusermount -u "$netDir" 2>/dev/null || fusermount -u -z "$netDir"
  kill "${sshfsPids[@]}" 2>/dev/null || true
  wait "${sshfsPids[@]}" 2>/dev/null || true
  sshfsPids=()
  mountNet || { echo "bench: the network drive cannot be mounted again" >&2 && exit 1; }
}
netNative=() netNativeBig=() netRsync=() netRsyncBig=() netLs=() netLsBig=() netWine=() netWineTmp=()
n=$shm/n served=$shm/served
rm -rf "$n" "$served" && mkdir -p "$n"
if startSshd; then
  echo "bench: nothing to copy onto a network drive, native ($wineFiles and $netFiles files) and Wine ($wineFiles files)"
  makeTree "$n/src" "$wineFiles"
  makeTree "$n/big" "$netFiles"
  ln -sfn "$netDir" "$prefix/dosdevices/n:"
  # nativeNet TREE BACKUP_FOLDER and wineNet BACKUP_FOLDER: the list of a run.
  nativeNet() { list "$n" "$netDir/$2" "$n/$1"; }
  wineNet() { list "$n" "$1" 'S:\n\src'; }
  mkdir -p "$netDir/qsrc" "$netDir/qbig" "$netDir/w" "$n/w"
  for t in src big; do
    nativeNet $t q$t && env -C "$n" "$native" -w && logEmpty "$n"
    rsync -a "$n/$t/" "$netDir/r$t/"
  done
  for d in 'N:\w' 'S:\n\w'; do wineNet "$d" && env -C "$n" "${wine[@]}" "$windows" -w && logEmpty "$n"; done
  touch "$n/backedUp"
  for ((run = 1; run <= runs; run++)); do
    echo "bench: network drive run $run of $runs"
    remount && nativeNet src qsrc && timed netNative env -C "$n" "$native" -w && logEmpty "$n"
    remount && nativeNet big qbig && timed netNativeBig env -C "$n" "$native" -w && logEmpty "$n"
    remount && timed netRsync rsync -a "$n/src/" "$netDir/rsrc/"
    remount && timed netRsyncBig rsync -a "$n/big/" "$netDir/rbig/"
    remount && timed netLs ls -lR "$netDir/qsrc"
    remount && timed netLsBig ls -lR "$netDir/qbig"
    remount && wineNet 'N:\w' && timed netWine env -C "$n" "${wine[@]}" "$windows" -w && logEmpty "$n"
    wineNet 'S:\n\w' && timed netWineTmp env -C "$n" "${wine[@]}" "$windows" -w && logEmpty "$n"
  done
  netWritten=$(find "$served" "$n/w" -newer "$n/backedUp" ! -type d | wc -l)
  fusermount -u "$netDir" || fusermount -u -z "$netDir"
  kill "${sshfsPids[@]}" 2>/dev/null || true
else
  echo "!!! bench: network drive NOT MEASURED: sshd or sshfs could not start $(tail -1 "$ssh/log" 2>/dev/null)" >&2
fi
rm -rf "$n" "$served"

# Many files the copy cannot read: of FAIL_FILES files none, every 100th or
# every other one is unreadable (chmod 000) to the program, which runs
# without root's right to read past file modes. Each run starts from an
# empty destination.
asUser=(timeout "$limit" setpriv --bounding-set=-all)
# failing NAME DEST SRC COMMAND...: the three runs, as NAME0, NAME1, NAME2,
# of COMMAND backing up SRC to DEST as the list names them.
failing() {
  local name=$1 k unreadable named patterns=('' f0.txt 'f*[02468].txt')
  list "$f" "$2" "$3"
  shift 3
  for k in 0 1 2; do
    chmod -R a+r,u+w "$f/src"
    unreadable=$(find "$f/src" -name "${patterns[k]}" -print -exec chmod 000 {} + | wc -l)
    rm -rf "$f/dst" && mkdir "$f/dst"
    codes='0 1 124' timed "$name$k" "${asUser[@]}" env -C "$f" "$@"
    unreadables[k]=$unreadable
    named=$(grep -c '\.txt' "$f/QuarnelvistroLOG.txt" || true)
    check[$name$k]="exit code $rc, $named files named in the log"
    if ((rc == 124)); then
      check[$name$k]="stopped after $limit s"
    elif ((rc != (unreadable > 0) || named != unreadable)); then
      check[$name$k]+=", NOT the $unreadable unreadable"
      echo "bench: $name$k: ${check[$name$k]}" >&2
    fi
  done
}
failNative0=() failNative1=() failNative2=() failWine0=() failWine1=() failWine2=()
f=$shm/f
rm -rf "$f"
makeTree "$f/src" "$failFiles"
echo "bench: $failFiles files, some unreadable, native"
failing failNative "$f/dst" "$f/src" "$native" -w
echo "bench: $failFiles files, some unreadable, Wine"
# Wine's server opens the files for the program: a new one, without that right either.
wineserver -k && wineserver -w
setpriv --bounding-set=-all wineserver -p
setpriv --bounding-set=-all "${wine[@]}" cmd /c exit  # Wine's services start before the timed runs
failing failWine 'S:\f\dst' 'S:\f\src' "${wine[@]}" "$windows" -w
chmod -R a+r,u+w "$f/src"

# Figures, ratios and targets, with a decimal point whatever Wine needed.
export LC_ALL=C
row() {  # what, ours, theirs[, target ratio]; ours "over N": stopped after N seconds
  local r over=${2%%[0-9]*}
  r=$over$(ratio "${2#over }" "$3")
  if [ $# -lt 4 ]; then
    printf '| %s | %s s | %s s | %s | | |\n' "$1" "$2" "$3" "$r"
    return
  fi
  printf '| %s | %s s | %s s | %s | <= %s | %s |\n' "$1" "$2" "$3" "$r" "$4" \
    "$(awk -v r="${r#over }" -v t="$4" -v o="$over" 'BEGIN { print (r > t ? "missed" : o ? "not known" : "met") }')"
}
tableHead() { printf '%s\n' "| run | Quarnelvistro | other | ratio | target | |" "|---|---|---|---|---|---|"; }
peakMiB=$(awk -v k="$peakKiB" 'BEGIN { printf "%.1f", k / 1024 }')
{
  echo "# Benchmark"
  echo
  echo "Made by \`make bench\` (BENCH_EXFAT_FILES=$exfatFiles BENCH_FAIL_FILES=$failFiles BENCH_LIMIT=$limit" \
    "bench/run.sh $files $wineFiles $runs) on $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo "Median of $runs runs each; warm cache; \`sync\` before every timed run."
  echo
  echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
    "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) memory, Linux $(uname -r)," \
    "$("${wine[@]}" --version)."
  echo
  echo "Tree: $files files of $(stat -c %s "$work/C:/src/t0/m0/f1.txt") bytes or so, 100 a folder, 50 folders a top folder;"
  echo "the native runs on the build's disk (ext4) and again on tmpfs, each tool first once."
  echo
  tableHead
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
  echo "## Nothing to copy onto exFAT"
  echo
  if [ ${#exNative[@]} -eq 0 ]; then
    echo "**NOT MEASURED**: no FUSE, loop device or exFAT tools on this machine."
  else
    echo "A tree backed up from tmpfs to a freshly made exFAT image (FUSE driver on a loop device), the x86-64"
    echo "program's through drive E:, then again: the second run, timed, has nothing to copy. Beside it the same"
    echo "with the backup on tmpfs. One run each."
    echo
    tableHead
    row "native, $exfatFiles files: nothing to copy, exFAT vs tmpfs" "${exNative[0]}" "${exNativeTmp[0]}"
    row "Wine, $wineFiles files: nothing to copy, exFAT vs tmpfs" "${exWine[0]}" "${exWineTmp[0]}"
    row "native, $exfatFiles files: first copy, exFAT vs tmpfs" "${exNative1[0]}" "${exNativeTmp1[0]}"
    row "Wine, $wineFiles files: first copy, exFAT vs tmpfs" "${exWine1[0]}" "${exWineTmp1[0]}"
    echo
    echo "What the second run did (nothing to copy: exit code 0, log 0 bytes, 0 files written):"
    echo
    echo "- native, exFAT: ${check[exNative]}; tmpfs: ${check[exNativeTmp]}"
    echo "- Wine, exFAT: ${check[exWine]}; tmpfs: ${check[exWineTmp]}"
  fi
  echo
  echo "## Nothing to copy over mixed folders"
  echo
  echo "Natively on ext4: one folder whose $mixedFiles files and $mixedFiles subfolders (a file in each) alternate in its"
  echo "listing, beside the same numbers laid out plainly (the files in one folder, the subfolders in another), all"
  echo "backed up already. Median of $runs runs."
  echo
  tableHead
  row "native: nothing to copy, mixed vs plain" "$(median "${mixedNone[@]}")" "$(median "${plainNone[@]}")" 1.2
  echo
  echo "## Nothing to copy onto a network drive"
  echo
  if [ ${#netNative[@]} -eq 0 ]; then
    echo "**NOT MEASURED**: sshd or sshfs could not start on this machine."
  else
    echo "The backup folder on an sshfs mount of an sshd on 127.0.0.1 (both started by the bench), mounted afresh"
    echo "before every timed run so that no cache helps; the sources on tmpfs, trees of 100 files a folder, all"
    echo "backed up already. The x86-64 program's through drive N:, beside it the same run onto tmpfs. \`rsync -a\`"
    echo "over the same mount into a tree of its own; \`ls -lR\` of the program's backup. Median of $runs runs."
    echo
    tableHead
    row "native, $wineFiles files: nothing to copy vs ls -lR" "$(median "${netNative[@]}")" "$(median "${netLs[@]}")" 1.5
    row "native, $netFiles files: nothing to copy vs ls -lR" "$(median "${netNativeBig[@]}")" "$(median "${netLsBig[@]}")" 1.5
    row "native, $wineFiles files: nothing to copy vs rsync -a" "$(median "${netNative[@]}")" "$(median "${netRsync[@]}")"
    row "native, $netFiles files: nothing to copy vs rsync -a" "$(median "${netNativeBig[@]}")" "$(median "${netRsyncBig[@]}")"
    row "Wine, $wineFiles files: nothing to copy, network drive vs tmpfs" "$(median "${netWine[@]}")" \
      "$(median "${netWineTmp[@]}")" 2.0
    echo
    echo "For scale: \`ls -lR\` of the backup alone takes $(median "${netLs[@]}") s, the Wine run onto tmpfs" \
      "$(median "${netWineTmp[@]}") s."
    echo "Files the runs with nothing to copy wrote: $netWritten (should be 0)."
  fi
  echo
  echo "## Many files that cannot be copied"
  echo
  echo "$failFiles files, of which none, every 100th or every other one is unreadable (chmod 000) to the program, run"
  echo "without root's right to read past file modes (under Wine, its server too). One run each into an empty"
  echo "backup folder, stopped after $limit s."
  echo
  tableHead
  row "native, $failFiles files: ${unreadables[1]} unreadable vs none" "${failNative1[0]}" "${failNative0[0]}"
  row "native, $failFiles files: ${unreadables[2]} unreadable vs none" "${failNative2[0]}" "${failNative0[0]}"
  row "Wine, $failFiles files: ${unreadables[1]} unreadable vs none" "${failWine1[0]}" "${failWine0[0]}"
  row "Wine, $failFiles files: ${unreadables[2]} unreadable vs none" "${failWine2[0]}" "${failWine0[0]}" 3.0
  echo
  echo "What each run did (should be: exit code 0 and no file named when none is unreadable, else exit code 1"
  echo "and exactly the unreadable files named):"
  echo
  for name in failNative failWine; do
    echo "- ${name#fail}: none unreadable: ${check[${name}0]}; ${unreadables[1]}: ${check[${name}1]};" \
      "${unreadables[2]}: ${check[${name}2]}"
  done
  echo
  echo "All runs (seconds):"
  echo
  for name in {ext4,tmpfs}_{first,cp,rsync,none,rsyncNone,changed,rsyncChanged} wineFirst xcopyFirst wineNone xcopyNone \
    mixedNone plainNone exNative{,1,Tmp,Tmp1} exWine{,1,Tmp,Tmp1} net{Native,NativeBig,Rsync,RsyncBig,Ls,LsBig,Wine,WineTmp} \
    failNative{0,1,2} failWine{0,1,2}; do
    eval "[ \${#$name[@]} -eq 0 ] || echo \"- $name: \${$name[*]}\""
  done
} >"$work/results.md"
cp "$work/results.md" bench/results.md
cat bench/results.md
