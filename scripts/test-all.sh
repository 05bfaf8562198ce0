#!/usr/bin/env bash
# Builds each configuration and runs its tests, then the reliability checks
# on the programs just built, a minute of fuzzing and the check of the
# release zips. Goes on after a failure; fails at the end if any step failed.
#   scripts/test-all.sh PRESET...
set -u
cd "$(dirname "$0")/.."
passed=0 failed=() skipped=()
# step NAME COMMAND...: one counted step.
step() {
  echo "=== $1"
  local start=$SECONDS
  if "${@:2}"; then passed=$((passed + 1)); else failed+=("$1"); fi
  echo "=== $1: $((SECONDS - start)) s"
}
build_and_test() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" && ctest --preset "$1"; }
# Where the kernel cannot run 32-bit x86 code, the x86 program is built and
# its imports checked, and the step says loudly that it ran nothing else.
x86_note="this machine's kernel cannot run 32-bit x86 programs: the x86 program was built and its imports checked, NOTHING ELSE OF IT WAS RUN"
build_x86() {
  cmake/wine-run.sh --x86 && { build_and_test win32; return; }
  cmake --preset win32 >/dev/null && cmake --build --preset win32 &&
    tests/check_imports.sh i686-w64-mingw32-objdump build/win32/Quarnelvistro.exe && echo "!!! win32: $x86_note" &&
    skipped+=(win32)
}

for preset; do
  if [ "$preset" = win32 ]; then step win32 build_x86; else step "$preset" build_and_test "$preset"; fi
done
# Real trees checked with rsync and the hazards of the field, where a
# program is built that they run.
reliable=$(printf '%s\n' "$@" | grep -xE 'linux|win64|win32')
if [ -n "$reliable" ]; then
  for script in real_tree hazards drives; do step "reliability: $script" "tests/reliability/$script.sh" $reliable; done
  step fuzz tests/fuzz/run.sh 60
fi
# The release zips, when a Windows configuration is tested: about a minute.
case " $* " in *" win64 "* | *" win32 "*) step dist tests/dist/check.sh ;; esac
[ ${#skipped[@]} -eq 0 ] || echo "!!! NOT RUN in ${skipped[*]}: $x86_note"
[ ${#failed[@]} -eq 0 ] || echo "FAILED: ${failed[*]}"
echo "steps: $passed passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
