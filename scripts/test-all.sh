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
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all configurations passed: $*"
