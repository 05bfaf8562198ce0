// The backup list's text as the reader takes it: the whole file, turned into
// UTF-8 whichever encoding it was saved in, then read as msvcrt's text mode
// reads a file, in pieces of so many characters, as fgets hands them out
// where every character is a byte (the ANSI code page of Russian Windows).
#pragma once

#include <stddef.h>

#include "list_intr.h"

struct ListText {
    char* text;     // the list in UTF-8, CR LF already LF; owned
    size_t length;  // bytes in text, NULs included
    size_t at;      // where the next piece starts
};

// Loads the named file into *list: READ_DONE, READ_NO_LIST when it cannot be
// opened, READ_NO_MEMORY when a block of its text cannot be allocated. After
// READ_DONE the caller releases the text with freeListText.
//
// A list that starts with a UTF-16 LE, a UTF-16 BE or a UTF-8 byte-order
// mark is in that encoding (the mark is no part of its text); one whose
// bytes are valid UTF-8 holding a character beyond ASCII is UTF-8; any other
// is in the ANSI code page. Where the ANSI code page is UTF-8 (the native
// program), such a list is Windows-1251, the encoding of the Russian Windows
// that the lists were first written on. Bytes that are no character of the
// list's encoding (a lone surrogate, half a UTF-16 unit) become U+FFFD: the
// line they stand in is rejected.
ReaderResult loadListText(const char* fileName, ListText* list);

// The next piece into piece (NUL-terminated; it holds 4 * (room - 1) + 1
// bytes), as fgets would read it from the text were every character a byte:
// up to room - 1 characters, the first LF included and ending it. False when
// the text is used up.
bool nextListPiece(ListText* list, char* piece, size_t room);

void freeListText(ListText* list);
