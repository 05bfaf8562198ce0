#include "list_text.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "alloc.h"

// What a list that is not UTF-8 is in where the ANSI code page is UTF-8.
static const UINT russianCodePage = 1251;

// The whole file into *bytes, a block the caller releases, with at least
// one byte of room after it: READ_DONE, READ_NO_MEMORY, or READ_NO_LIST when
// a read fails (a drive gone, a bad sector), since the part before it is no
// list to back up by. It is read to its end, whatever its size: a file that
// never ends (a device) runs out of memory.
static ReaderResult readWhole(FILE* file, char** bytes, size_t* length) {
    size_t room = 4096, n = 0;
    char* block = (char*)allocMem(room);
    while (block) {
        n += fread(block + n, 1, room - n, file);
        if (ferror(file)) {
            freeMem(block);
            return READ_NO_LIST;
        }
        if (n < room) break;  // the end of the file
        char* more = room <= SIZE_MAX / 2 ? (char*)allocMem(room * 2) : NULL;
        if (more) memcpy(more, block, n);
        freeMem(block);
        block = more;
        room *= 2;
    }
    *bytes = block;
    *length = n;
    return block ? READ_DONE : READ_NO_MEMORY;
}

static bool allAscii(const unsigned char* bytes, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (bytes[i] >= 0x80) return false;
    return true;
}

// The text of units UTF-16 units in UTF-8, in a new block with a byte of
// room after it; NULL when out of memory. A lone surrogate becomes U+FFFD.
static char* wideToUtf8(const WCHAR* wide, int units, size_t* length) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, units, NULL, 0, NULL, NULL);
    char* text = n > 0 ? (char*)allocMem((size_t)n + 1) : NULL;
    if (text) WideCharToMultiByte(CP_UTF8, 0, wide, units, text, n, NULL, NULL);
    *length = text ? (size_t)n : 0;
    return text;
}

// The list's bytes (handed over, with room after them) as UTF-8 text, with
// room after it: the same block when they are that already (ASCII, or valid
// UTF-8 without a mark), else a new block. NULL when out of memory.
static char* toUtf8Text(char* bytes, size_t* length) {
    const unsigned char* b = (const unsigned char*)bytes;
    const size_t n = *length;
    const bool bigEndian = n >= 2 && b[0] == 0xFE && b[1] == 0xFF;
    const bool utf16 = bigEndian || (n >= 2 && b[0] == 0xFF && b[1] == 0xFE);
    const size_t mark = utf16 ? 2 : n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF ? 3 : 0;
    // The conversion calls count in int: a larger list is taken as it is.
    if (n == mark || n > INT_MAX || (!mark && allAscii(b, n))) {
        memmove(bytes, bytes + mark, n - mark);
        *length = n - mark;
        return bytes;
    }
    UINT codePage = CP_UTF8;
    if (!mark) {
        if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, (int)n, NULL, 0)) return bytes;
        codePage = GetACP() == CP_UTF8 ? russianCodePage : CP_ACP;
    }

    int units;
    WCHAR* wide;
    if (utf16) {
        units = (int)((n - mark + 1) / 2);  // an odd last byte is a broken unit
        wide = (WCHAR*)allocMem((size_t)units * sizeof *wide);
        const size_t low = bigEndian ? 1 : 0;  // which byte of a unit holds its low half
        for (int i = 0; wide && i < units; i++) {
            const size_t at = mark + 2 * (size_t)i;
            wide[i] = at + 1 < n ? (WCHAR)(b[at + low] | b[at + 1 - low] << 8) : (WCHAR)0xFFFD;
        }
    } else {
        units = MultiByteToWideChar(codePage, 0, bytes + mark, (int)(n - mark), NULL, 0);
        wide = (WCHAR*)allocMem((size_t)units * sizeof *wide);
        if (wide) MultiByteToWideChar(codePage, 0, bytes + mark, (int)(n - mark), wide, units);
    }
    freeMem(bytes);
    char* text = wide ? wideToUtf8(wide, units, length) : NULL;
    freeMem(wide);
    return text;
}

// msvcrt's text-mode reading, in place: CR LF reads as LF, and Ctrl-Z ends
// the input. Returns the new length.
static size_t asTextMode(char* text, size_t length) {
    size_t n = 0;
    for (size_t i = 0; i < length && text[i] != 0x1A; i++)
        if (text[i] != '\r' || i + 1 == length || text[i + 1] != '\n') text[n++] = text[i];
    return n;
}

ReaderResult loadListText(const char* fileName, ListText* list) {
    memset(list, 0, sizeof *list);
    FILE* file = fopen(fileName, "rb");
    if (!file) return READ_NO_LIST;
    size_t length = 0;
    char* bytes = NULL;
    const ReaderResult result = readWhole(file, &bytes, &length);
    fclose(file);
    if (result != READ_DONE) return result;
    char* text = toUtf8Text(bytes, &length);
    if (!text) return READ_NO_MEMORY;
    list->text = text;
    list->length = asTextMode(text, length);
    return READ_DONE;
}

char* nextListLine(ListText* list) {
    if (list->at >= list->length) return NULL;
    char* line = list->text + list->at;
    char* end = (char*)memchr(line, '\n', list->length - list->at);
    if (!end) end = list->text + list->length;  // the room after the text
    *end = 0;
    list->at = (size_t)(end - list->text) + 1;
    return line;
}

void freeListText(ListText* list) {
    freeMem(list->text);
    memset(list, 0, sizeof *list);
}
