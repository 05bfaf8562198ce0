#!/usr/bin/env bash
# The release zips. make dist in two fresh copies of the tree, at two paths,
# in two time zones and umasks, gives the same zips, programs and SHA256SUMS.
# Each zip holds exactly the program, the guide and the example list, the
# texts in Windows-1251 with CR LF; its program carries the project's
# version and, run from the unpacked zip under Wine with -w, backs up the
# example with exit code 0 and an empty log.
#   tests/dist/check.sh
. "$(dirname "$0")/../reliability/lib.sh"
scratch
prefix=$BUILD/dist-check/wineprefix wine_run=$ROOT/cmake/wine-run.sh
version=$(sed -n 's/^project(Quarnelvistro VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
one=$T/one/Quarnelvistro two=$T/second-place/src/Quarnelvistro
for dir in "$one" "$two"; do
  mkdir -p "$dir" && git -C "$ROOT" ls-files -z | tar -C "$ROOT" --null -T - -cf - | tar -C "$dir" -xf -
done
export SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct)
echo "--- make dist in $one, then in $two in time zone Asia/Vladivostok with umask 077"
(cd "$one" && env -u QV_BUILD_TAG ./scripts/dist.sh >"$T/one.log" 2>&1) || { cat "$T/one.log"; bad "make dist (first)"; }
(umask 077 && cd "$two" && env -u QV_BUILD_TAG TZ=Asia/Vladivostok ./scripts/dist.sh >"$T/two.log" 2>&1) ||
  { cat "$T/two.log"; bad "make dist (second)"; }
zips="Quarnelvistro-$version-win64.zip Quarnelvistro-$version-win32.zip"
for f in dist/${zips// / dist/} dist/SHA256SUMS build/dist-win64/Quarnelvistro.exe build/dist-win32/Quarnelvistro.exe; do
  if cmp "$one/$f" "$two/$f"; then ok "same bytes: $f"; else bad "same bytes: $f"; fi
done
expect "SHA256SUMS" "$(cd "$one/dist" && sha256sum $zips)" "$(cat "$one/dist/SHA256SUMS")"

x86_64-w64-mingw32-g++ -O1 -static -s -o "$T/version_probe.exe" "$ROOT/tests/dist/version_probe.cpp" -lversion ||
  bad "version probe built"
"$wine_run" "$prefix" && ln -sfn "$T/D" "$prefix/dosdevices/d:" && ln -sfn "$T/E" "$prefix/dosdevices/e:"
links+=("$prefix/dosdevices/d:" "$prefix/dosdevices/e:")
for arch in win64 win32; do
  zip=$one/dist/Quarnelvistro-$version-$arch.zip u=$T/unpacked-$arch
  echo "--- $(basename "$zip")"
  expect "$arch: entries" "$(printf '%s\n' Quarnelvistro.exe README.txt Quarnelvistro.txt)" "$(unzip -Z1 "$zip")"
  unzip -q "$zip" -d "$u"
  for f in README.txt Quarnelvistro.txt; do
    if cmp <(iconv -f UTF-8 -t CP1251 "$ROOT/docs/windows/$f" | sed 's/$/\r/') "$u/$f"; then
      ok "$arch $f: Windows-1251 with CR LF"
    else bad "$arch $f: Windows-1251 with CR LF"; fi
  done
  "$ROOT/tests/check_imports.sh" x86_64-w64-mingw32-objdump "$u/Quarnelvistro.exe" >/dev/null && ok "$arch: imports" ||
    bad "$arch: imports"
  expect "$arch: version resource" "$(printf '%s\n' "FILEVERSION $version.0" "PRODUCTVERSION $version.0" \
    "FileVersion $version" "ProductVersion $version")" "$("$wine_run" "$prefix" "$T/version_probe.exe" "$u/Quarnelvistro.exe" | tr -d '\r')"

  # The drives D: and E: that the example list names.
  rm -rf "$T/D" "$T/E"
  mkdir -p "$T/D/Документы/Письма/2024" "$T/D/Фото/2024" "$T/D/Работа" "$T/E/Резервные копии"
  printf 'Добрый день!\r\n' >"$T/D/Документы/Письмо.txt" && printf 'январь' >"$T/D/Документы/Письма/2024/Январь.txt"
  head -c 70000 /dev/urandom >"$T/D/Фото/2024/Море.jpg"
  printf 'отчёт' >"$T/D/Работа/Отчёт.docx" && printf 'не в списке' >"$T/D/Работа/Черновик.txt"
  (cd "$u" && "$wine_run" "$prefix" ./Quarnelvistro.exe -w)
  expect "$arch: -w: exit code 0, an empty log, the listed files copied" "0:
Резервные копии/D/Документы/Письма/2024/Январь.txt
Резервные копии/D/Документы/Письмо.txt
Резервные копии/D/Работа/Отчёт.docx
Резервные копии/D/Фото/2024/Море.jpg" "$?:$(log_text win64 "$u")"$'\n'"$(cd "$T/E" && find . -type f -printf '%P\n' | LC_ALL=C sort)"
  expect "$arch: the copies hold the originals' bytes" "" "$(diff -r -x Черновик.txt "$T/D" "$T/E/Резервные копии/D")"
done
finish
