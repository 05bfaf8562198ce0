// The backup list's text as the reader takes it: the whole file, turned into
// UTF-8 whichever encoding it was saved in and read as msvcrt's text mode
// reads a file, then handed out line by line, each line whole, in place.
#pragma once

#include <stddef.h>

#include "list_intr.h"

struct ListText {
    char* text;     // the list in UTF-8, CR LF already LF, with room for a NUL after it; owned
    size_t length;  // bytes in text, NULs included
    size_t at;      // where the next line starts
};

// Loads the named file into *list: READ_DONE, READ_NO_LIST when it cannot be
// opened or read to its end, READ_NO_MEMORY when a block of its text cannot be allocated. After
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

// The next line, whatever its length, NUL-terminated where its LF was (or
// at the text's end): a text inside the list's own, valid until
// freeListText. A NUL inside the line ends it as a C string, as it ends
// what fgets reads. NULL when the text is used up.
char* nextListLine(ListText* list);

void freeListText(ListText* list);
