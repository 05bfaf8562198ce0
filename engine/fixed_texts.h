// How the program's fixed Russian texts are held. They are written in the
// sources as UTF-8; the Windows programs are compiled with
// -fexec-charset=CP1251 and so hold them in Windows-1251, the code page of
// their logs and windows, while the native program holds them in UTF-8, the
// encoding of its file names and of the terminal.
#pragma once

#include <stddef.h>

constexpr bool fixedTextsInUtf8 = sizeof "я" == 3;

// Characters in a fixed text: its bytes in Windows-1251; in UTF-8 the
// bytes that start a character.
constexpr size_t textChars(const char* text) {
    size_t n = 0;
    for (; *text; text++)
        if (!fixedTextsInUtf8 || (*text & 0xC0) != 0x80) n++;
    return n;
}
