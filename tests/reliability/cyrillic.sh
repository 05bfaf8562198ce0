#!/usr/bin/env bash
# Russian names under Wine (ANSI code page 1251): a tree with Cyrillic file
# and folder names, named by a backup list in Windows-1251 bytes, is backed
# up exactly; names that 1251 cannot hold (Chinese, an emoji) reach the
# program as '?' and are listed as rejected, never copied under a wrong
# name, and the rest of the batch is copied all the same.
#   cyrillic.sh [CONFIG...]   (default: win64 win32, those built)
. "$(dirname "$0")/lib.sh"
scratch

for config in $(built_configs "win64 win32" "$@"); do
  case $config in win64 | win32) ;; *) continue ;; esac
  echo "--- $config"
  w=$T/$config
  W="Z:${w//\//\\}"
  mkdir -p "$w/Документы/Отчёты за 2024" "$w/Копии"
  echo "май" >"$w/Документы/Отчёты за 2024/май.txt"
  echo "ёлка" >"$w/Документы/ёлка.doc"
  echo "日本" >"$w/Документы/中文.txt"
  echo "улыбка" >"$w/Документы/смайл😀.txt"
  echo "ЁЖ" >"$w/Список дел.txt"
  echo "表" >"$w/表.txt"
  touch -m -d @1234567890.1234567 "$w/Документы/ёлка.doc"
  # As an editor saves the list in 1251: what it cannot hold becomes '?'.
  printf -- '--Dir--%s\\Копии\r\n%s\\Документы\r\n%s\\Список дел.txt\r\n%s\\?.txt\r\n' "$W" "$W" "$W" "$W" |
    iconv -f UTF-8 -t CP1251 >"$w/Quarnelvistro.txt"

  for run in first second; do
    run_qv "$config" "$w"
    rc=$?
    log=$(log_text "$config" "$w")
    expect "$config $run run: rejected exactly the names 1251 cannot hold" \
      "1:$REJECTED_HEADER:$(printf '%s\r\n' "$W\\Документы\\??.txt" "$W\\Документы\\смайл??.txt" "$W\\?.txt" | LC_ALL=C sort)" \
      "$rc:$(head -1 <<<"$log"):$(tail -n +2 <<<"$log" | LC_ALL=C sort)"
    expect "$config $run run: the copied tree, exactly" \
      "$(printf '%s\n' "Z$w/Документы/ёлка.doc=ёлка" "Z$w/Документы/Отчёты за 2024/май.txt=май" "Z$w/Список дел.txt=ЁЖ" | LC_ALL=C sort)" \
      "$(cd "$w/Копии" && find . -type f -printf '%P=' -exec cat {} \; | LC_ALL=C sort)"
    expect "$config $run run: content and times equal, only the unholdable left out" \
      "$(printf '%s\n' '>f+++++++++ смайл😀.txt' '>f+++++++++ 中文.txt')" \
      "$(differences "$w/Документы" "$w/Копии/Z$w/Документы" 7 | LC_ALL=C sort)"
  done
done
finish
