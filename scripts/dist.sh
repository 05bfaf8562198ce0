#!/usr/bin/env bash
# Builds the x86-64 and x86 release programs and packs each, with the user
# guide and the example backup list, into Quarnelvistro-<version>-<arch>.zip
# in OUT (default dist/), beside SHA256SUMS. One commit gives the same bytes
# whatever the folder, the hour, the time zone or the umask.
#   scripts/dist.sh [OUT]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$top/dist}" && cd "${1:-$top/dist}" && pwd)
build="$top/build${QV_BUILD_TAG:-}"

# Every entry of the zips carries the time of the commit built.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct 2>/dev/null) || {
    echo "dist: $top is no git checkout; set SOURCE_DATE_EPOCH to the release's time" >&2
    exit 1
  }
fi
# Zip keeps local times: in UTC they are the same everywhere.
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
umask 022

cd "$top"
for arch in win64 win32; do
  cmake --preset "dist-$arch" >/dev/null
  cmake --build --preset "dist-$arch"
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/dist-win64/CMakeCache.txt")
[ -n "$version" ] || { echo "dist: no project version in $build/dist-win64" >&2; exit 1; }

# The zip's texts are kept in UTF-8 with LF; Windows users get them in
# Windows-1251 with CR LF, which Notepad of every Windows version shows.
to_windows() { iconv -f UTF-8 -t CP1251 "$1" | sed 's/\r$//; s/$/\r/' >"$2"; }

zips=()
for arch in win64 win32; do
  stage="$build/dist-$arch/zip"
  rm -rf "$stage"
  mkdir -p "$stage"
  cp "$build/dist-$arch/Quarnelvistro.exe" "$stage/"
  to_windows docs/windows/README.txt "$stage/README.txt"
  to_windows docs/windows/Quarnelvistro.txt "$stage/Quarnelvistro.txt"
  chmod 755 "$stage/Quarnelvistro.exe"
  chmod 644 "$stage/README.txt" "$stage/Quarnelvistro.txt"
  touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
  zip="Quarnelvistro-$version-$arch.zip"
  rm -f "$out/$zip"  # zip adds to an archive that exists
  # -X: no uid, gid or extra times; -D: no folder entries; the order given.
  (cd "$stage" && zip -q -X -D "$out/$zip" Quarnelvistro.exe README.txt Quarnelvistro.txt)
  zips+=("$zip")
done
(cd "$out" && sha256sum "${zips[@]}" >SHA256SUMS)
echo "== $out"
(cd "$out" && cat SHA256SUMS)
