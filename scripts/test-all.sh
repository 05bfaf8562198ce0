#!/usr/bin/env bash
# Builds each configuration and runs its tests; goes on after a failure and
# fails at the end if any configuration failed.
set -u
cd "$(dirname "$0")/.."
failed=()
for preset in "$@"; do
  echo "=== $preset"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    failed+=("$preset (build)")
    continue
  fi
  ctest --preset "$preset" || failed+=("$preset")
done
# Reliability, on the programs just built: real trees checked with rsync,
# Russian names, hazards of the field; then a minute of fuzzing.
reliable=()
for preset in "$@"; do
  case $preset in linux | win64 | win32) reliable+=("$preset") ;; esac
done
if [ ${#reliable[@]} -gt 0 ]; then
  for script in real_tree cyrillic hazards; do
    echo "=== reliability: $script"
    "tests/reliability/$script.sh" "${reliable[@]}" || failed+=("$script")
  done
  echo "=== fuzz"
  tests/fuzz/run.sh 60 || failed+=(fuzz)
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all configurations passed: $*"
