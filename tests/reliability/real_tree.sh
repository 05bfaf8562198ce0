#!/usr/bin/env bash
# Backs up a copy (cp -a, new times to the nanosecond) of a real tree no one here wrote: /usr/share/doc
# natively, /usr/include/x86_64-linux-gnu under Wine; with it names in Cyrillic, accented Latin, Greek,
# Chinese and emoji, paths of 300 and about 1,000 characters, and a file whose destination path is 285
# characters (a destination folder of 200 and the mirrored path). rsync and find check every file equal in
# content and last-write time; a second run writes nothing. Each run exits with 0 and an empty log, or
# natively with 1 and exactly the dangling links of the tree rejected (Wine's programs do not see them).
#   real_tree.sh [CONFIG...]   (default: linux win64 win32, those built)
. "$(dirname "$0")/lib.sh"
rejected="Ошибочные, несуществующие пути. Или файлы, указанные вместо каталога назначения. "
rejected+="Или пропущенные при отсутствии каталога назначения. :"

for config in $(configs "$@"); do
  w=$T/$config src=$T/$config/src
  if win "$config"; then
    origin=/usr/include/x86_64-linux-gnu line="Z:${src//\//\\}" mirror=$w/dst/Z$src digits=7 dst='R:\'
    drive "$config" r "$w/dst"
  else
    origin=/usr/share/doc line=$src mirror=$w/dst$src digits=9 dst=$w/dst
  fi
  echo "--- $config: $origin"
  mkdir -p "$w/dst" && cp -a --no-preserve=timestamps "$origin" "$src"
  # Paths as the program names them: their length in characters, and a padding of n characters.
  named() { win "$config" && echo "Z:${1//\//\\}" || echo "$1"; }
  pad() { printf "%${1}s" | tr ' ' "$2"; }
  u=$src/Юникод && mkdir -p "$u/café/Straße/日本/Ελλάδα/😀" "$u/300/$(pad 100 a)"
  for f in "Жёлтый.txt" "café/Straße/naïve €.doc" "café/Straße/日本/東京.txt" "café/Straße/日本/Ελλάδα/Αθήνα.jpg" \
    "café/Straße/日本/Ελλάδα/😀/🎉 party.txt"; do printf '%s' "$f" >"$u/$f"; done
  at=$(named "$u/300/$(pad 100 a)/") && printf 300 >"$u/300/$(pad 100 a)/$(pad $((300 - ${#at})) b)"
  deep=$u/$(pad 190 c)/$(pad 190 d)/$(pad 190 e)/$(pad 190 f) && mkdir -p "$deep" && printf 1000 >"$deep/$(pad 200 g)"
  # One file to a destination folder of 200 characters: its destination path is 285 characters.
  far=$(named "$w/far") && far=$w/far$(pad $((200 - ${#far})) h) && mkdir -p "$far" "$w/s285"
  at=$(named "$w/s285/") && printf 285 >"$w/s285/$(pad $((85 - ${#at})) i)"
  far285=$far$(win "$config" && echo /Z)$w/s285
  printf -- '--Dir--%s\r\n%s\r\n--Dir--%s\r\n%s\r\n' "$dst" "$line" "$(named "$far")" "$(named "$w/s285")" \
    >"$w/Quarnelvistro.txt"
  # The exit code and the log, its lines sorted.
  want=$(win "$config" || find -L "$src" -type l -printf '%P\n' | sed "s|^|$line/|; s|$|\r|")
  [ -z "$want" ] && want="0:" || want=$(printf '1:%s\r\n%s' "$rejected" "$want" | sorted)
  expect "$config first run: $(find -L "$src" -type f 2>/dev/null | wc -l) files equal in content and time" \
    "$want" "$(outcome "$config" "$w" | sorted && differences "$src" "$mirror" $digits &&
      differences "$w/s285" "$far285" $digits)"
  expect "$config the destination path of 285 characters" 285 "$(named "$(find "$far285" -type f)" | tr -d '\n' | wc -m)"
  expect "$config second run: nothing written" "$want" "$(outcome "$config" "$w" | sorted && written "$mirror" &&
    written "$far")"
done
finish
