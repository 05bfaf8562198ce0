#!/usr/bin/env bash
# Builds the backup list fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) when a source is newer than it, and runs it
# for SECONDS (default 600) over its seed corpus; what it learns goes to a
# working corpus in the build folder. A crash leaves its input there as
# crash-* and fails the run.
#   tests/fuzz/run.sh [SECONDS]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${QV_BUILD_DIR:-$root/build${QV_BUILD_TAG:-}}/fuzz
cd "$root"
mkdir -p "$out/corpus"
if [ ! -x "$out/fuzz_reader" ] || [ -n "$(find engine platform/posix tests/fuzz -name '*.[ch]*' -newer "$out/fuzz_reader")" ]; then
  echo "building $out/fuzz_reader"
  clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Iengine -Iplatform/posix \
    engine/alloc.cpp engine/list_intr.cpp engine/list_text.cpp platform/posix/winapi_posix.cpp tests/fuzz/fuzz_reader.cpp \
    -o "$out/fuzz_reader"
fi
# The fixed tree of each run goes below the build folder, however it ends.
rm -rf "$out/tmp" && mkdir -p "$out/tmp" && cd "$out"
echo "fuzzing the backup list reader for ${1:-600} s"
TMPDIR=$out/tmp ./fuzz_reader -max_total_time="${1:-600}" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$out/" "$out/corpus" "$root/tests/fuzz/corpus" 2>last-run.log ||
  { tail -60 last-run.log; echo "fuzz: 0 passed, 1 failed (inputs: $out/crash-*)"; exit 1; }
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' last-run.log
echo "fuzz: 1 passed, 0 failed"
