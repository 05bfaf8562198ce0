#!/bin/sh
# Fails when the program imports any DLL besides the ones it may:
#   check_imports.sh OBJDUMP PROGRAM.exe
objdump=$1
program=$2
allowed="kernel32.dll user32.dll gdi32.dll shell32.dll shlwapi.dll msvcrt.dll"
dlls=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$dlls" ] || { echo "no import table found in $program"; exit 1; }
status=0
for dll in $dlls; do
  case " $allowed " in
    *" $dll "*) echo "ok: $dll" ;;
    *) echo "not allowed: $dll"; status=1 ;;
  esac
done
exit $status
