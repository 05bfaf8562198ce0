#!/usr/bin/env bash
# Builds the backup list fuzzer with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs it for SECONDS (default 600) over its seed corpus, in a small fixed tree; what it learns goes to a
# working corpus in the build folder. A crash leaves its input there as crash-* and fails the run.
#   tests/fuzz/run.sh [SECONDS]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${QV_BUILD_DIR:-$root/build${QV_BUILD_TAG:-}}/fuzz tree=$out/tree
mkdir -p "$out/corpus" && cd "$root"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Iengine -Iplatform/posix \
  engine/{alloc,list_intr,list_text,walker}.cpp platform/posix/winapi_posix.cpp tests/fuzz/fuzz_reader.cpp -o "$out/fuzz_reader"
# Drive C: of the stand-in layer: odd names, a link loop, a dangling link, paths of 255 to 262 characters.
deep=$tree/C:/deep/$(printf 'd%.0s' {1..200})
rm -rf "$tree" && mkdir -p "$tree/C:/src/sub" "$tree/C:/src/..cache" "$tree/C:/src/.git" "$tree/C:/dst/inner" "$deep"
for f in a.txt sub/b.txt ..cache/c.txt .git/d 'wh?t' 'back\slash' ../f.txt; do echo x >"$tree/C:/src/$f"; done
for n in {255..262}; do echo x >"$deep/$(printf 'n%.0s' $(seq $((n - 212))))$n"; done
ln -s .. "$tree/C:/src/sub/up" && ln -s /nonexistent "$tree/C:/src/gone"
echo "fuzzing the backup list reader for ${1:-600} s in $tree"
cd "$tree" && "$out/fuzz_reader" -max_total_time="${1:-600}" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$out/" "$out/corpus" "$root/tests/fuzz/corpus" 2>"$out/last-run.log" ||
  { tail -60 "$out/last-run.log" && echo "fuzz: 0 passed, 1 failed (inputs: $out/crash-*, run in $tree)" && exit 1; }
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$out/last-run.log"
echo "fuzz: 1 passed, 0 failed"
