// How the program's fixed Russian texts are held: in UTF-8, as every text
// inside the program. The Windows programs turn them into Windows-1251 for
// their log, and into UTF-16 for their window.
#pragma once

#include <stddef.h>

// Characters in a UTF-8 text: the bytes that start a character.
constexpr size_t textChars(const char* text) {
    size_t n = 0;
    for (; *text; text++)
        if ((*text & 0xC0) != 0x80) n++;
    return n;
}
