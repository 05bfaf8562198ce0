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
cmake/wine-run.sh --native-x86 || echo "--- this kernel cannot run 32-bit x86 code: the x86 program runs under" \
  "qemu-i386 (cmake/wine-run.sh); LEFT OUT there: FaultInjection (hangs in Wine's mount manager), the window test"

for preset; do step "$preset" build_and_test "$preset"; done
# Real trees checked with rsync and the hazards of the field, where a
# program is built that they run; the x86 program's apart, so that its time
# (emulated where the kernel cannot run it) shows.
reliable=$(printf '%s\n' "$@" | grep -xE 'linux|win64') x86=$(printf '%s\n' "$@" | grep -x win32)
if [ -n "$reliable$x86" ]; then
  for script in real_tree hazards drives; do
    [ -z "$reliable" ] || step "reliability: $script" "tests/reliability/$script.sh" $reliable
    [ -z "$x86" ] || step "reliability: $script win32" "tests/reliability/$script.sh" win32
  done
  step fuzz tests/fuzz/run.sh 60
fi
# The release zips, when a Windows configuration is tested: about a minute.
case " $* " in *" win64 "* | *" win32 "*) step dist tests/dist/check.sh ;; esac
[ ${#failed[@]} -eq 0 ] || echo "FAILED: ${failed[*]}"
echo "steps: $passed passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
