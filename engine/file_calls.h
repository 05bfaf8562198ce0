// The engine's file calls, on paths in UTF-8. On Windows they are the wide
// (W) calls: every path is turned into UTF-16 and, for all but the shell's
// batch copy, into its "\\?\" form, so that no name is lost to the ANSI
// code page and no path to MAX_PATH (file_calls_win.cpp). Natively they are
// the stand-in's calls, whose code page is UTF-8 already.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include "winapi_posix.h"
#endif

// Bytes a found name may need: MAX_PATH - 1 UTF-16 units, each a lone surrogate
// written "<U+D800>", and the NUL.
constexpr size_t NAME_BYTES = (MAX_PATH - 1) * 8 + 1;

// One entry of an enumeration.
struct FindRecord {
    DWORD dwFileAttributes;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    // The name holds a lone surrogate, which NTFS allows and UTF-8 cannot
    // hold: cFileName only shows it, each such unit written "<U+D800>".
    bool nameUnusable;
    char cFileName[NAME_BYTES];
};

// The longest path the file calls take, in UTF-16 units (natively in bytes),
// its NUL aside: on Windows the "\\?\UNC\" form's limit, natively PATH_MAX.
#ifdef _WIN32
constexpr size_t PATH_LIMIT = 32767 - 8;
#else
constexpr size_t PATH_LIMIT = PATH_MAX - 1;
#endif

// UTF-16 units of the first bytes bytes of a UTF-8 text: one for each
// character, two for one past U+FFFF (a lead byte of 0xF0 or more).
inline size_t utf16Units(const char* text, size_t bytes) {
    size_t units = 0;
    for (size_t i = 0; i < bytes; i++) {
        const unsigned char c = (unsigned char)text[i];
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

// Whether the first bytes bytes of a path, and more ASCII characters
// after them, are within PATH_LIMIT.
inline bool pathFits(const char* path, size_t bytes, size_t more = 0) {
#ifdef _WIN32
    return bytes + more <= PATH_LIMIT || utf16Units(path, bytes) + more <= PATH_LIMIT;
#else
    (void)path;
    return bytes + more <= PATH_LIMIT;
#endif
}

// What shellCopy returns when it had no memory for its wide lists.
constexpr int SHELL_NO_MEMORY = -1;

#ifdef _WIN32
// Whether the shell's batch copy can be handed the path: its plain form
// (no "\\?\") within MAX_PATH, and, for a destination, its folder within
// the 248 characters the plain folder calls make; and no part of it that
// the plain form would read as another file (a name ending in '.' or ' ',
// or a device name such as "nul.txt").
bool shellTakes(const char* path, bool destination);

// The wide form the file calls are given for a UTF-8 path, in out (room
// units): full, '/' turned into '\', System32 as Sysnative for the x86
// program on 64-bit Windows (its file calls there would reach SysWOW64),
// and with "\\?\" ("\\?\UNC\" for a network path) unless plain is set or
// it has one already. False when the path is no UTF-8 or does not fit.
bool widePath(const char* path, WCHAR* out, size_t room, bool plain);

HANDLE findFirstFile(const char* pattern, FindRecord* found);
// False at the end of the listing, GetLastError then ERROR_NO_MORE_FILES,
// or when it failed, GetLastError then its error.
bool findNextFile(HANDLE enumeration, FindRecord* found);
// The entry its folder lists for path, under the spelling the folder
// keeps, which on a drive that ignores case may differ from path's. False
// when there is none.
bool listedName(const char* path, FindRecord* found);
bool fileAttributes(const char* path, WIN32_FILE_ATTRIBUTE_DATA* attributes);
bool pathExists(const char* path);
// Opens a file or folder to ask about it (GetFileInformationByHandle...).
HANDLE openToQuery(const char* path, DWORD access);
// GetFullPathName in UTF-8: the length, or the room needed with its NUL
// when room is too small, or 0 when there is no such path.
DWORD fullPathName(const char* path, char* out, DWORD room);
// Compares two UTF-8 texts as the file system compares names, ignoring
// case (CompareStringOrdinal): CSTR_LESS_THAN, CSTR_EQUAL or
// CSTR_GREATER_THAN. A length of -1 takes a text up to its NUL.
int compareIgnoringCase(const char* a, int lengthA, const char* b, int lengthB);
bool createFolder(const char* path);
// Opens a folder as its owner's for as long as the handle is held: it is
// not shared for delete, so no one may open it to remove it meanwhile.
HANDLE openAsOwner(const char* path);
// Opens a folder to remove it; INVALID_HANDLE_VALUE, GetLastError then
// ERROR_SHARING_VIOLATION, while an owner holds it.
HANDLE openToDelete(const char* path);
// Copies one file over whatever copy is there, a read-only one included.
bool copyFileOver(const char* from, const char* to);
// Whether two files hold the same bytes: false too when either cannot be
// read to its end.
bool sameContent(const char* a, const char* b);
// Makes an empty file at path, where nothing stands, stamped with the
// last-write time; false when it cannot be made.
bool makeStampedFile(const char* path, FILETIME time);
// Renames a file over whatever file is there, a read-only one included.
bool moveFileOver(const char* from, const char* to);
// Renames a file or folder where nothing stands yet.
bool moveFileTo(const char* from, const char* to);
// Deletes a file, a read-only one included, or a link itself.
bool deleteFile(const char* path);
// Removes an empty folder.
bool removeFolder(const char* path);
// The shell's batch copy of two lists of NUL-ended names, the list ended by
// one more NUL: its result, and in *aborted whether it reports a cancel;
// SHELL_NO_MEMORY when the lists could not be converted for want of memory.
int shellCopy(const char* fromNames, const char* toNames, WORD flags, bool* aborted);
#else
inline bool shellTakes(const char* path, bool) { return utf16Units(path, strlen(path)) < MAX_PATH; }

inline void keepFound(const WIN32_FIND_DATAA& data, FindRecord* record) {
    record->dwFileAttributes = data.dwFileAttributes;
    record->ftLastWriteTime = data.ftLastWriteTime;
    record->nFileSizeHigh = data.nFileSizeHigh;
    record->nFileSizeLow = data.nFileSizeLow;
    record->nameUnusable = false;
    memcpy(record->cFileName, data.cFileName, sizeof data.cFileName);
}
inline HANDLE findFirstFile(const char* pattern, FindRecord* record) {
    WIN32_FIND_DATAA data;
    HANDLE enumeration = FindFirstFileA(pattern, &data);
    if (enumeration != INVALID_HANDLE_VALUE) keepFound(data, record);
    return enumeration;
}
inline bool findNextFile(HANDLE enumeration, FindRecord* record) {
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(enumeration, &data)) return false;
    keepFound(data, record);
    return true;
}
// The stand-in lists a plain name under the spelling its folder keeps.
inline bool listedName(const char* path, FindRecord* found) {
    HANDLE self = findFirstFile(path, found);
    if (self == INVALID_HANDLE_VALUE) return false;
    FindClose(self);
    return true;
}
inline bool fileAttributes(const char* path, WIN32_FILE_ATTRIBUTE_DATA* attributes) {
    return GetFileAttributesExA(path, GetFileExInfoStandard, attributes);
}
inline bool pathExists(const char* path) { return PathFileExistsA(path); }
inline HANDLE openToQuery(const char* path, DWORD access) {
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, NULL);
}
inline DWORD fullPathName(const char* path, char* out, DWORD room) { return GetFullPathNameA(path, room, out, NULL); }
inline int compareIgnoringCase(const char* a, int lengthA, const char* b, int lengthB) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a, lengthA, b, lengthB);
}
inline bool createFolder(const char* path) { return CreateDirectoryA(path, NULL); }
inline HANDLE openAsOwner(const char* path) {
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, NULL);
}
inline HANDLE openToDelete(const char* path) {
    return CreateFileA(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, NULL);
}
inline bool copyFileOver(const char* from, const char* to) { return CopyFileA(from, to, FALSE); }
inline bool makeStampedFile(const char* path, FILETIME time) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool stamped = SetFileTime(file, NULL, NULL, &time);
    return CloseHandle(file) && stamped;
}
inline bool sameContent(const char* a, const char* b) {
    FILE* x = fopen(a, "rb");
    FILE* y = x ? fopen(b, "rb") : NULL;
    bool same = x && y;
    static char bufferA[1 << 16], bufferB[1 << 16];
    while (same) {
        const size_t n = fread(bufferA, 1, sizeof bufferA, x), m = fread(bufferB, 1, sizeof bufferB, y);
        same = n == m && !memcmp(bufferA, bufferB, n) && !ferror(x) && !ferror(y);
        if (n < sizeof bufferA) break;
    }
    if (x) fclose(x);
    if (y) fclose(y);
    return same;
}
inline bool moveFileOver(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING);
}
inline bool moveFileTo(const char* from, const char* to) { return MoveFileExA(from, to, 0); }
inline bool deleteFile(const char* path) { return DeleteFileA(path); }
inline bool removeFolder(const char* path) { return RemoveDirectoryA(path); }
inline int shellCopy(const char* fromNames, const char* toNames, WORD flags, bool* aborted) {
    SHFILEOPSTRUCTA op = {};
    op.wFunc = FO_COPY;
    op.pFrom = fromNames;
    op.pTo = toNames;
    op.fFlags = flags;
    const int code = SHFileOperationA(&op);
    *aborted = op.fAnyOperationsAborted != FALSE;
    return code;
}
#endif
