#!/usr/bin/env bash
# Builds each configuration and runs its tests, then the reliability checks
# on the programs just built, a minute of fuzzing and the check of the
# release zips. Goes on after a failure; fails at the end if any step failed.
#   scripts/test-all.sh PRESET...
set -u
cd "$(dirname "$0")/.."
passed=0 failed=()
# step NAME COMMAND...: one counted step.
step() {
  echo "=== $1"
  local start=$SECONDS
  if "${@:2}"; then passed=$((passed + 1)); else failed+=("$1"); fi
  echo "=== $1: $((SECONDS - start)) s"
}
build_and_test() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" && ctest --preset "$1"; }

for preset; do step "$preset" build_and_test "$preset"; done
# Real trees checked with rsync and the hazards of the field, where a
# program is built that they run.
reliable=$(printf '%s\n' "$@" | grep -xE 'linux|win64|win32')
if [ -n "$reliable" ]; then
  for script in real_tree hazards; do step "reliability: $script" "tests/reliability/$script.sh" $reliable; done
  step fuzz tests/fuzz/run.sh 60
fi
# The release zips, when a Windows configuration is tested: about a minute.
case " $* " in *" win64 "* | *" win32 "*) step dist tests/dist/check.sh ;; esac
[ ${#failed[@]} -eq 0 ] || echo "FAILED: ${failed[*]}"
echo "steps: $passed passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
