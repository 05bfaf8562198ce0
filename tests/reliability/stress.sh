#!/usr/bin/env bash
# Stress: a tree of FILES small files (default 200,000) backed up by the
# native program RUNS times (default 10), with random changes between the
# runs (content and time, new files, deleted files). After every run rsync
# and find check the whole copy: every source file equal in content and
# time, the deleted ones still in the backup (it never deletes), and the
# files written by the run exactly the changed and new ones.
#   stress.sh [FILES [RUNS [CONFIG]]]   (CONFIG: linux, the default, or linux-asan)
. "$(dirname "$0")/lib.sh"
files=${1:-200000}
runs=${2:-10}
config=${3:-linux}
have "$config" || { echo "stress: $config is not built"; exit 1; }
scratch
src=$T/src
work=$T/work
mkdir -p "$src" "$work/dst"
mirror=$work/dst$src
digits=9
seed=${QV_STRESS_SEED:-20240601}
RANDOM=$seed
# Reproducible picks: shuf fed from the seed.
pick() { shuf -n "$1" --random-source=<(yes "$seed-$run-$3") <<<"$2"; }

echo "making $files files (seed $seed)"
per=$(((files + 199) / 200))
for ((i = 0; i < files; i++)); do
  d="$src/d$((i / per / 20))/e$((i / per % 20))"
  ((i % per == 0)) && mkdir -p "$d"
  printf 'file %d %d\n' "$i" "$RANDOM" >"$d/f$i.txt"
done
printf -- '--Dir--%s\r\n%s\r\n' "$work/dst" "$src" >"$work/Quarnelvistro.txt"

deleted=""
expected_new=$(cd "$src" && find . -type f -printf '%P\n' | LC_ALL=C sort)
before=""
for ((run = 1; run <= runs; run++)); do
  start=$(date +%s%N)
  run_qv "$config" "$work"
  rc=$?
  ms=$((($(date +%s%N) - start) / 1000000))
  count=$(find "$src" -type f | wc -l)
  echo "--- run $run: $((ms / 1000)).$(printf '%03d' $((ms % 1000))) s, $count source files"
  expect "run $run: exit code 0, empty log" "0:" "$rc:$(log_text "$config" "$work")"
  after=$(stamps "$mirror")
  expect "run $run: written exactly the changed and new files" "$expected_new" "$(rewritten "$before" "$after")"
  expect "run $run: every file equal, the deleted ones kept" \
    "$(sed '/^$/d;s/^/*deleting   /' <<<"$deleted" | LC_ALL=C sort)" \
    "$(differences "$src" "$mirror" "$digits" | LC_ALL=C sort)"
  verified=$((${verified:-0} + count))
  before=$after
  [ $run = "$runs" ] && break

  # Changes for the next run: 1% changed, 0.2% new, 0.1% deleted.
  all=$(cd "$src" && find . -type f -printf '%P\n' | LC_ALL=C sort)
  changed=$(pick $((count / 100)) "$all" changed)
  gone=$(comm -23 <(pick $((count / 1000)) "$all" gone | LC_ALL=C sort) <(LC_ALL=C sort <<<"$changed"))
  while IFS= read -r f; do
    echo "run $run" >>"$src/$f"
    touch -m -d "@$((1500000000 + RANDOM * 1000)).$RANDOM" "$src/$f"
  done <<<"$changed"
  while IFS= read -r f; do [ -z "$f" ] || rm "$src/$f"; done <<<"$gone"
  deleted+=$'\n'"$gone"
  new=""
  for ((i = 0; i < count / 500; i++)); do
    f="d$((RANDOM % 10))/e$((RANDOM % 20))/new-$run-$i.txt"
    echo "new in run $run" >"$src/$f"
    new+=$'\n'"$f"
  done
  expected_new=$(printf '%s\n%s\n' "$changed" "$new" | sed '/^$/d' | LC_ALL=C sort)
done
echo "stress: $runs runs, $verified files verified"
finish
