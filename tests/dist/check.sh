#!/usr/bin/env bash
# The release zips. make dist in two fresh copies of the tree, at two paths,
# in two time zones and umasks, gives the same zips, programs and SHA256SUMS.
# Each zip holds the program, the guide and the example list as a Windows
# user needs them; its program, run from the unpacked zip under Wine on that
# example, backs it up with an empty log and carries the project's version.
#   tests/dist/check.sh
. "$(dirname "$0")/../reliability/lib.sh"
scratch
tools="$BUILD/dist-check"
prefix="$tools/wineprefix"
wine_run="$ROOT/cmake/wine-run.sh"
version=$(sed -n 's/^project(Quarnelvistro VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
epoch=$(git -C "$ROOT" log -1 --format=%ct)

# copy_tree DIR: the tracked files of the tree as they are now, in DIR.
copy_tree() {
  mkdir -p "$1"
  git -C "$ROOT" ls-files -z | tar -C "$ROOT" --null -T - -cf - | tar -C "$1" -xf -
}
one="$T/one/Quarnelvistro"
two="$T/second-place/src/Quarnelvistro"
copy_tree "$one"
copy_tree "$two"
echo "--- make dist in $one"
(cd "$one" && env -u QV_BUILD_TAG SOURCE_DATE_EPOCH="$epoch" ./scripts/dist.sh >"$T/one.log" 2>&1) ||
  { cat "$T/one.log"; bad "make dist (first)"; }
echo "--- make dist in $two, time zone Asia/Vladivostok, umask 077"
(umask 077 && cd "$two" && env -u QV_BUILD_TAG TZ=Asia/Vladivostok SOURCE_DATE_EPOCH="$epoch" \
  ./scripts/dist.sh >"$T/two.log" 2>&1) || { cat "$T/two.log"; bad "make dist (second)"; }

zips="Quarnelvistro-$version-win64.zip Quarnelvistro-$version-win32.zip"
for file in $zips SHA256SUMS; do
  if cmp "$one/dist/$file" "$two/dist/$file"; then ok "same bytes: $file"; else bad "same bytes: $file"; fi
done
for arch in win64 win32; do
  if cmp "$one/build/dist-$arch/Quarnelvistro.exe" "$two/build/dist-$arch/Quarnelvistro.exe"; then
    ok "same bytes: $arch Quarnelvistro.exe"
  else bad "same bytes: $arch Quarnelvistro.exe"; fi
done
expect "SHA256SUMS" "$(cd "$one/dist" && sha256sum $zips)" "$(cat "$one/dist/SHA256SUMS")"

# The example's drives D: and E:, fresh for each program.
lay_out_drives() {
  rm -rf "$T/D" "$T/E"
  mkdir -p "$T/D/Документы/Письма/2024" "$T/D/Фото/2024" "$T/D/Работа" "$T/E/Резервные копии"
  printf 'Добрый день!\r\n' >"$T/D/Документы/Письмо.txt"
  printf 'январь' >"$T/D/Документы/Письма/2024/Январь.txt"
  head -c 70000 /dev/urandom >"$T/D/Фото/2024/Море.jpg"
  printf 'отчёт' >"$T/D/Работа/Отчёт.docx"
  printf 'не в списке' >"$T/D/Работа/Черновик.txt"
  ln -sfn "$T/D" "$prefix/dosdevices/d:"
  ln -sfn "$T/E" "$prefix/dosdevices/e:"
}
copied="Резервные копии/D/Документы/Письма/2024/Январь.txt
Резервные копии/D/Документы/Письмо.txt
Резервные копии/D/Работа/Отчёт.docx
Резервные копии/D/Фото/2024/Море.jpg"
# Windows text: Windows-1251 with CR LF after every line; FILE in it is
# SOURCE (UTF-8, LF) to the byte.
windows_text_is() {
  local name=$1 file=$2 source=$3
  expect "$name: Windows-1251, as written" "$(cat "$source")" "$(iconv -f CP1251 -t UTF-8 "$file" | tr -d '\r')"
  if ! LC_ALL=C grep -qv $'\r$' "$file" && [ "$(tail -c 2 "$file" | od -An -tx1)" = " 0d 0a" ]; then
    ok "$name: CR LF"
  else bad "$name: CR LF"; fi
}

mkdir -p "$tools"
x86_64-w64-mingw32-g++ -O1 -static -s -o "$tools/version_probe.exe" "$ROOT/tests/dist/version_probe.cpp" -lversion ||
  bad "version probe built"
"$wine_run" "$prefix"
for arch in win64 win32; do
  zip="$one/dist/Quarnelvistro-$version-$arch.zip"
  unpacked="$T/unpacked-$arch"
  echo "--- $(basename "$zip")"
  expect "$arch: entries" "Quarnelvistro.exe
README.txt
Quarnelvistro.txt" "$(unzip -Z1 "$zip")"
  unzip -q "$zip" -d "$unpacked"
  windows_text_is "$arch README.txt" "$unpacked/README.txt" "$ROOT/docs/windows/README.txt"
  windows_text_is "$arch Quarnelvistro.txt" "$unpacked/Quarnelvistro.txt" "$ROOT/docs/windows/Quarnelvistro.txt"
  "$ROOT/tests/check_imports.sh" x86_64-w64-mingw32-objdump "$unpacked/Quarnelvistro.exe" >/dev/null &&
    ok "$arch: imports" || bad "$arch: imports"
  expect "$arch: version resource" "FILEVERSION $version.0
PRODUCTVERSION $version.0
FileVersion $version
ProductVersion $version" "$("$wine_run" "$prefix" "$tools/version_probe.exe" "$unpacked/Quarnelvistro.exe" | tr -d '\r')"

  lay_out_drives
  code=0
  (cd "$unpacked" && "$wine_run" "$prefix" ./Quarnelvistro.exe -w) || code=$?
  expect "$arch: -w exit code" 0 "$code"
  if [ -f "$unpacked/QuarnelvistroLOG.txt" ] && [ ! -s "$unpacked/QuarnelvistroLOG.txt" ]; then
    ok "$arch: empty log"
  else bad "$arch: empty log"; fi
  expect "$arch: copied tree" "$copied" "$(cd "$T/E" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
  backup="$T/E/Резервные копии/D"
  if diff -r "$T/D/Документы" "$backup/Документы" && diff -r "$T/D/Фото/2024" "$backup/Фото/2024" &&
    cmp "$T/D/Работа/Отчёт.docx" "$backup/Работа/Отчёт.docx"; then
    ok "$arch: the copies hold the originals' bytes"
  else bad "$arch: the copies hold the originals' bytes"; fi
done
finish
