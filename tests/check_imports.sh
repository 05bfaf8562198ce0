#!/bin/sh
# Fails when the program imports no DLL, or one besides those it may, and names those:
#   check_imports.sh OBJDUMP PROGRAM.exe
dlls=$("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr A-Z a-z)
[ -n "$dlls" ] && ! echo "$dlls" | grep -vxE '(kernel32|user32|gdi32|shell32|shlwapi|msvcrt)\.dll'
