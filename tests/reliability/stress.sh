#!/usr/bin/env bash
# Stress: FILES small files (default 200,000: far more than 32,767, copied
# in one batch) backed up by the native program RUNS times (default 10),
# with random changes between the runs: content and time, new files,
# deleted files. After each run rsync and find check the whole copy: every
# source file equal in content and time, the deleted ones still backed up
# (it never deletes), exactly the changed and new ones written.
#   stress.sh [FILES [RUNS [CONFIG]]]   (CONFIG: linux, the default, or linux-asan)
. "$(dirname "$0")/lib.sh"
files=${1:-200000} runs=${2:-10} config=${3:-linux} seed=${QV_STRESS_SEED:-20240601}
[ -x "$(program "$config")" ] || { echo "stress: $config is not built" && exit 1; }
scratch
src=$T/src mirror=$T/dst$T/src deleted="" before="" verified=0 RANDOM=$seed TIMEFORMAT="    the run took %R s"
# Reproducible picks from the sorted list of files: shuf fed from the seed.
pick() { shuf -n "$1" --random-source=<(yes "$seed-$run-$2") <<<"$all" | LC_ALL=C sort; }
echo "making $files files (seed $seed)"
per=$(((files + 199) / 200))
for ((i = 0; i < files; i++)); do
  d="$src/d$((i / per / 20))/e$((i / per % 20))"
  ((i % per)) || mkdir -p "$d"
  printf 'file %d %d\n' "$i" "$RANDOM" >"$d/f$i.txt"
done
mkdir "$T/dst" && printf -- '--Dir--%s\r\n%s\r\n' "$T/dst" "$src" >"$T/Quarnelvistro.txt"
written=$(cd "$src" && find . -type f -printf '%P\n' | LC_ALL=C sort)
for ((run = 1; ; run++)); do
  all=$(cd "$src" && find . -type f -printf '%P\n' | LC_ALL=C sort) && count=$(wc -l <<<"$all")
  echo "--- run $run: $count source files"
  time run_qv "$config" "$T"
  expect "run $run: exit code 0, empty log" "0:" "$?:$(log_text "$config" "$T")"
  after=$(stamps "$mirror")
  expect "run $run: written exactly the changed and new files" "$written" "$(rewritten "$before" "$after")"
  expect "run $run: every file equal, the deleted ones kept" "$(sed '/^$/d; s/^/*deleting   /' <<<"$deleted" |
    LC_ALL=C sort)" "$(differences "$src" "$mirror" 9 | LC_ALL=C sort)"
  verified=$((verified + count)) before=$after
  [ "$run" -lt "$runs" ] || break
  # Changes for the next run: 1% changed, 0.1% deleted, 0.2% new.
  changed=$(pick $((count / 100)) changed) written=$changed
  gone=$(pick $((count / 1000)) gone | comm -23 - <(echo "$changed")) deleted+=$'\n'$gone
  while read -r f; do echo "run $run" >>"$src/$f" && touch -m -d "@$((1500000000 + RANDOM * 1000)).$RANDOM" "$src/$f"; done <<<"$changed"
  while read -r f; do [ -z "$f" ] || rm "$src/$f"; done <<<"$gone"
  for ((i = 0; i < count / 500; i++)); do
    f="d$((RANDOM % 10))/e$((RANDOM % 20))/new-$run-$i.txt" && written+=$'\n'$f
    echo "new in run $run" >"$src/$f"
  done
  written=$(sed "/^$/d" <<<"$written" | LC_ALL=C sort)
done
echo "stress: $runs runs, $verified files verified"
finish
