#!/usr/bin/env bash
# The release zips: make dist in two copies of the tree, in two places, time zones and umasks, gives the same
# bytes. Each zip holds the program, the guide and the example list (in Windows-1251, CR LF); its program
# imports only what it may, carries the version, and backs up the example from the unpacked zip under Wine.
#   tests/dist/check.sh
. "$(dirname "$0")/../reliability/lib.sh"
version=$(sed -n 's/^project(Quarnelvistro VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
fixed="${version//./ } 0"  # 1.2.3 as a fixed version, its commas dropped: 1 2 3 0
one=$T/one/Quarnelvistro two=$T/second-place/src/Quarnelvistro
for dir in "$one" "$two"; do
  mkdir -p "$dir" && git -C "$ROOT" ls-files -z | tar -C "$ROOT" --null -T - -cf - | tar -C "$dir" -xf -
done
export SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct)
echo "--- make dist in $one, then in $two in time zone Asia/Vladivostok with umask 077"
(cd "$one" && env -u QV_BUILD_TAG ./scripts/dist.sh) >"$T/one.log" 2>&1 || tail -20 "$T/one.log"
(umask 077 && cd "$two" && env -u QV_BUILD_TAG TZ=Asia/Vladivostok ./scripts/dist.sh) >"$T/two.log" 2>&1 ||
  tail -20 "$T/two.log"
expect "the same bytes in both, SHA256SUMS right" "$(printf "Quarnelvistro-$version-%s.zip: OK\n" win64 win32)" \
  "$(diff -r "$one/dist" "$two/dist" && cd "$two/dist" && sha256sum -c SHA256SUMS 2>&1)"

drive dist-check d "$T/D" && drive dist-check e "$T/E"
for arch in win64 win32; do
  zip=$one/dist/Quarnelvistro-$version-$arch.zip u=$T/unpacked-$arch
  expect "$arch: entries" "$(printf '%s\n' Quarnelvistro.exe README.txt Quarnelvistro.txt)" "$(unzip -Z1 "$zip")"
  unzip -q "$zip" -d "$u"
  expect "$arch: the texts in Windows-1251 with CR LF" "" "$(for f in README.txt Quarnelvistro.txt; do
    iconv -f UTF-8 -t CP1251 "$ROOT/docs/windows/$f" | sed 's/$/\r/' | cmp - "$u/$f" 2>&1; done)"
  expect "$arch: imports" "" \
    "$("$ROOT/tests/check_imports.sh" x86_64-w64-mingw32-objdump "$u/Quarnelvistro.exe" || echo not allowed)"
  # The version resource as binutils reads it: the fixed versions, the strings in the translation's block.
  expect "$arch: version resource" "$(printf '%s\n' "FILEVERSION $fixed" "PRODUCTVERSION $fixed" 'BLOCK 041904e3' \
    "VALUE ProductVersion $version" "VALUE FileVersion $version" 'VALUE Translation 0x419 1251')" \
    "$(x86_64-w64-mingw32-windres -i "$u/Quarnelvistro.exe" -O rc | grep -E 'VERSION |Version"|"04|Transl' |
      tr -d '",' | sed 's/^ *//')"
  # The drives D: and E: that the example list names.
  rm -rf "$T/D" "$T/E" && mkdir -p "$T/E/Резервные копии"
  for f in Документы/Письмо.txt Документы/Письма/2024/Январь.txt Фото/2024/Море.jpg Работа/{Отчёт.docx,Черновик.txt}; do
    mkdir -p "$T/D/${f%/*}" && echo "$f" >"$T/D/$f"
  done
  expect "$arch: -w backs up the example: exit code 0, an empty log, exactly the listed files" \
    "0:|D|Only in $T/D/Работа: Черновик.txt" \
    "$(outcome dist-check "$u" ./Quarnelvistro.exe -w)|$(ls "$T/E/Резервные копии")|$(diff -r "$T/D" "$T/E/"*/D)"
done
finish
