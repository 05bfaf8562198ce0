#!/usr/bin/env bash
# Backs up a copy (cp -a, new times to the nanosecond) of a real tree no one here wrote: /usr/share/doc
# natively, /usr/include/x86_64-linux-gnu under Wine. rsync and find check every file equal in content and
# last-write time; a second run writes nothing. Each run exits with 0 and an empty log, or natively with 1
# and exactly the dangling links of the tree rejected (the Windows programs under Wine do not see them).
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
  printf -- '--Dir--%s\r\n%s\r\n' "$dst" "$line" >"$w/Quarnelvistro.txt"
  # The exit code and the log, its lines sorted.
  want=$(win "$config" || find -L "$src" -type l -printf '%P\n' | sed "s|^|$line/|; s|$|\r|")
  [ -z "$want" ] && want="0:" || want=$(printf '1:%s\r\n%s' "$rejected" "$want" | sorted)
  expect "$config first run: $(find -L "$src" -type f 2>/dev/null | wc -l) files equal in content and time" \
    "$want" "$(outcome "$config" "$w" | sorted && differences "$src" "$mirror" $digits)"
  expect "$config second run: nothing written" "$want" "$(outcome "$config" "$w" | sorted && written "$mirror")"
done
finish
