#!/usr/bin/env bash
# Stress: FILES small files (default 200,000: far more than 32,767, in one batch) backed up natively RUNS
# times (default 10), with random changes between: content and time, new and deleted files. rsync and find
# check every source file equal in content and time, the deleted ones kept, exactly the changed and new written.
#   stress.sh [FILES [RUNS [CONFIG]]]   (CONFIG: linux, the default, or linux-asan)
. "$(dirname "$0")/lib.sh"
files=${1:-200000} runs=${2:-10} config=${3:-linux} seed=${QV_STRESS_SEED:-20240601}
[ -x "$(program "$config")" ] || { echo "stress: $config is not built" && exit 1; }
src=$T/src mirror=$T/dst$T/src RANDOM=$seed TIMEFORMAT="    the run took %R s"
echo "making $files files (seed $seed)"
mkdir -p "$T/dst" "$src"/d{0..9}/e{0..19} && touch "$T/mark" "$T/deleted" && sleep 0.1
for ((i = 0; i < files; i++)); do printf 'file %d %d\n' $i $RANDOM >"$src/d$((i % 10))/e$((i / 10 % 20))/f$i.txt"; done
printf -- '--Dir--%s\r\n%s\r\n' "$T/dst" "$src" >"$T/Quarnelvistro.txt"
for ((run = 1; ; run++)); do
  changed=$(written "$src")  # the sources made or changed since the last run began
  echo "--- run $run: $(find "$src" -type f | wc -l) source files"
  expect "run $run: exit code 0, empty log" "0:" "$(time outcome "$config" "$T")"
  expect "run $run: written exactly the changed and new files" "$changed" "$(written "$mirror")"
  expect "run $run: every file equal, the deleted ones kept" "$(sorted "$T/deleted")" \
    "$(differences "$src" "$mirror" 9 | sorted)"
  [ "$run" -lt "$runs" ] || break
  # About 1% of the files changed in content and time, 0.1% deleted; 0.2% new.
  find "$src" -type f -printf '%P\n' | sorted | awk -v seed=$RANDOM \
    'BEGIN { srand(seed) } { r = rand() } r < 0.01 { print "c " $0 } r > 0.999 { print "d " $0 }' >"$T/picks"
  sed -n 's/^c //p' "$T/picks" | while read -r f; do
    echo "run $run" >>"$src/$f" && touch -m -d "@$((1500000000 + RANDOM * 1000)).$RANDOM" "$src/$f"
  done
  sed -n 's/^d //p' "$T/picks" | (cd "$src" && xargs -rd '\n' rm)
  sed -n 's/^d /*deleting   /p' "$T/picks" >>"$T/deleted"
  for ((i = 0; i < files / 500; i++)); do echo "run $run" >"$src/d$((i % 10))/e$((i % 20))/n$run-$i"; done
done
finish
