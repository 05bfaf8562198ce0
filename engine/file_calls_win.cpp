// The engine's file calls on Windows: UTF-8 paths turned into UTF-16 for the
// wide calls, in the "\\?\" form that takes any name and any length.
#include "file_calls.h"

#include <wchar.h>

#include "alloc.h"

namespace {

constexpr size_t WIDE_ROOM = 32768;  // units of the longest path and its NUL

// Scratch for the conversions: the program has one thread.
WCHAR converted[WIDE_ROOM], madeFull[WIDE_ROOM];
WCHAR firstPath[WIDE_ROOM], secondPath[WIDE_ROOM];

// out = a + b + c, within room units with the NUL.
bool joined(WCHAR* out, size_t room, const WCHAR* a, const WCHAR* b, const WCHAR* c) {
    const size_t na = wcslen(a), nb = wcslen(b), nc = wcslen(c);
    if (na + nb + nc >= room) return false;
    wmemcpy(out, a, na);
    wmemcpy(out + na, b, nb);
    wmemcpy(out + na + nb, c, nc + 1);
    return true;
}

// The x86 program on 64-bit Windows: the system sends its file calls below
// the Windows folder's System32 to SysWOW64, the 32-bit twins. Paths there
// go through the alias Sysnative, which such a process sees as the real
// System32, while the lists, the log and the mirrored paths keep the
// System32 name. Turning the redirection off for the run instead would
// send every DLL that the shell or the window loads meanwhile to the 64-bit
// System32, where a 32-bit process cannot load it.
struct {
    bool known;
    WCHAR system32[MAX_PATH + 16];  // empty when nothing is redirected
    size_t system32Len;
    WCHAR sysnative[MAX_PATH + 16];
} redirection;

void findRedirection() {
    redirection.known = true;
    typedef BOOL(WINAPI * IsWow64ProcessCall)(HANDLE, BOOL*);
    // Looked up, not linked: kernel32 of older Windows lacks it.
    IsWow64ProcessCall isWow64Process =
        (IsWow64ProcessCall)(void*)GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process");
    BOOL wow64 = FALSE;
    if (!isWow64Process || !isWow64Process(GetCurrentProcess(), &wow64) || !wow64) return;
    WCHAR windows[MAX_PATH];
    UINT n = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    if (windows[n - 1] == '\\') n--;
    windows[n] = 0;
    joined(redirection.system32, MAX_PATH + 16, windows, L"\\System32", L"");
    joined(redirection.sysnative, MAX_PATH + 16, windows, L"\\Sysnative", L"");
    redirection.system32Len = n + 9;
}

bool redirected(const WCHAR* path) {
    if (!redirection.known) findRedirection();
    const size_t n = redirection.system32Len;
    return n && wcslen(path) >= n &&
           CompareStringOrdinal(path, (int)n, redirection.system32, (int)n, TRUE) == CSTR_EQUAL &&
           (!path[n] || path[n] == '\\');
}

// UTF-16 units as UTF-8 into out, which holds 3 bytes a unit and 8 for a
// lone surrogate, written "<U+D800>": false when there was one.
bool utf8Of(const WCHAR* wide, char* out) {
    bool whole = true;
    for (; *wide; wide++) {
        unsigned long c = *wide;
        if (c >= 0xD800 && c <= 0xDBFF && wide[1] >= 0xDC00 && wide[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (*++wide - 0xDC00);
            *out++ = (char)(0xF0 | c >> 18);
            *out++ = (char)(0x80 | (c >> 12 & 0x3F));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            static const char hex[] = "0123456789ABCDEF";
            memcpy(out, "<U+", 3);
            for (int i = 0; i < 4; i++) out[3 + i] = hex[c >> (12 - 4 * i) & 0xF];
            out[7] = '>';
            out += 8;
            whole = false;
            continue;
        } else if (c >= 0x800) {
            *out++ = (char)(0xE0 | c >> 12);
        } else if (c >= 0x80) {
            *out++ = (char)(0xC0 | c >> 6);
            *out++ = (char)(0x80 | (c & 0x3F));
            continue;
        } else {
            *out++ = (char)c;
            continue;
        }
        *out++ = (char)(0x80 | (c >> 6 & 0x3F));
        *out++ = (char)(0x80 | (c & 0x3F));
    }
    *out = 0;
    return whole;
}

void foundAs(const WIN32_FIND_DATAW& data, FindRecord* record) {
    record->dwFileAttributes = data.dwFileAttributes;
    record->ftLastWriteTime = data.ftLastWriteTime;
    record->nFileSizeHigh = data.nFileSizeHigh;
    record->nFileSizeLow = data.nFileSizeLow;
    record->nameUnusable = !utf8Of(data.cFileName, record->cFileName);
}

// A path's wide form for the calls, in one of the two scratch paths; NULL,
// with the error set, when it has none.
const WCHAR* wideFor(const char* path, WCHAR* scratch) {
    if (widePath(path, scratch, WIDE_ROOM, false)) return scratch;
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return NULL;
}

bool isDeviceName(const WCHAR* name, size_t n) {
    static const WCHAR* const devices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    size_t base = 0;
    while (base < n && name[base] != '.') base++;
    for (const WCHAR* device : devices)
        if (base == 3 && CompareStringOrdinal(name, 3, device, 3, TRUE) == CSTR_EQUAL) return true;
    return base == 4 && name[3] >= '1' && name[3] <= '9' &&
           (CompareStringOrdinal(name, 3, L"COM", 3, TRUE) == CSTR_EQUAL ||
            CompareStringOrdinal(name, 3, L"LPT", 3, TRUE) == CSTR_EQUAL);
}

}  // namespace

bool widePath(const char* path, WCHAR* out, size_t room, bool plain) {
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, converted, (int)WIDE_ROOM) <= 0) return false;
    const WCHAR* p = converted;
    if (!wcsncmp(p, L"\\\\?\\", 4) || !wcsncmp(p, L"\\\\.\\", 4)) return joined(out, room, L"", p, L"");
    for (WCHAR* c = converted; *c; c++)
        if (*c == '/') *c = '\\';
    const bool drive = p[0] && p[1] == ':' && p[2] == '\\';
    if (!drive && !(p[0] == '\\' && p[1] == '\\')) {
        const DWORD n = GetFullPathNameW(p, WIDE_ROOM, madeFull, NULL);
        if (n == 0 || n >= WIDE_ROOM) return false;
        // A device name ("x\NUL") is left as written: the calls take it so.
        if (!wcsncmp(madeFull, L"\\\\.\\", 4)) return joined(out, room, L"", p, L"");
        p = madeFull;
    }
    if (redirected(p)) return joined(out, room, plain ? L"" : L"\\\\?\\", redirection.sysnative, p + redirection.system32Len);
    if (p[0] == '\\' && p[1] == '\\') return joined(out, room, plain ? L"" : L"\\\\?\\UNC", plain ? p : p + 1, L"");
    return joined(out, room, plain ? L"" : L"\\\\?\\", p, L"");
}

bool shellTakes(const char* path, bool destination) {
    if (!widePath(path, firstPath, MAX_PATH, true)) return false;
    // The parts after the root: "C:\" or "\\server\share\".
    const WCHAR* part = firstPath + 3;
    if (firstPath[0] == '\\') {
        part = firstPath + 2;
        for (int separators = 0; *part && separators < 2; part++) separators += *part == '\\';
    }
    const WCHAR* folderEnd = wcsrchr(firstPath, '\\');
    if (destination && folderEnd && folderEnd - firstPath >= MAX_PATH - 12) return false;
    while (*part) {
        size_t n = 0;
        while (part[n] && part[n] != '\\') n++;
        if (n && (part[n - 1] == '.' || part[n - 1] == ' ' || isDeviceName(part, n))) return false;
        part += part[n] ? n + 1 : n;
    }
    return true;
}

HANDLE findFirstFile(const char* pattern, FindRecord* found) {
    const WCHAR* wide = wideFor(pattern, firstPath);
    WIN32_FIND_DATAW data;
    HANDLE enumeration = wide ? FindFirstFileW(wide, &data) : INVALID_HANDLE_VALUE;
    if (enumeration != INVALID_HANDLE_VALUE) foundAs(data, found);
    return enumeration;
}

bool findNextFile(HANDLE enumeration, FindRecord* found) {
    WIN32_FIND_DATAW data;
    // Nothing is called after a failure: the walker reads its error.
    if (!FindNextFileW(enumeration, &data)) return false;
    foundAs(data, found);
    return true;
}

bool fileAttributes(const char* path, WIN32_FILE_ATTRIBUTE_DATA* attributes) {
    const WCHAR* wide = wideFor(path, firstPath);
    return wide && GetFileAttributesExW(wide, GetFileExInfoStandard, attributes);
}

bool pathExists(const char* path) {
    const WCHAR* wide = wideFor(path, firstPath);
    return wide && GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
}

HANDLE openToQuery(const char* path, DWORD access) {
    const WCHAR* wide = wideFor(path, firstPath);
    return wide ? CreateFileW(wide, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL)
                : INVALID_HANDLE_VALUE;
}

DWORD fullPathName(const char* path, char* out, DWORD room) {
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, converted, (int)WIDE_ROOM) <= 0) return 0;
    const DWORD n = GetFullPathNameW(converted, WIDE_ROOM, madeFull, NULL);
    if (n == 0 || n >= WIDE_ROOM) return 0;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, madeFull, -1, NULL, 0, NULL, NULL);
    if (bytes <= 0) return 0;
    if ((DWORD)bytes > room) return (DWORD)bytes;
    WideCharToMultiByte(CP_UTF8, 0, madeFull, -1, out, (int)room, NULL, NULL);
    return (DWORD)bytes - 1;
}

int compareIgnoringCase(const char* a, int lengthA, const char* b, int lengthB) {
    const int na = MultiByteToWideChar(CP_UTF8, 0, a, lengthA, firstPath, (int)WIDE_ROOM);
    const int nb = MultiByteToWideChar(CP_UTF8, 0, b, lengthB, secondPath, (int)WIDE_ROOM);
    // A length of -1 counted the NUL.
    return CompareStringOrdinal(firstPath, na - (lengthA < 0), secondPath, nb - (lengthB < 0), TRUE);
}

bool createFolder(const char* path) {
    const WCHAR* wide = wideFor(path, firstPath);
    return wide && CreateDirectoryW(wide, NULL);
}

// GENERIC_READ: an opening with no access to the folder's data would not
// take part in the sharing checks.
HANDLE openAsOwner(const char* path) {
    const WCHAR* wide = wideFor(path, firstPath);
    return wide ? CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, NULL)
                : INVALID_HANDLE_VALUE;
}

HANDLE openToDelete(const char* path) {
    const WCHAR* wide = wideFor(path, firstPath);
    return wide ? CreateFileW(wide, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL)
                : INVALID_HANDLE_VALUE;
}

// What a copy or a rename over target gave, once more after target's
// read-only, hidden or system attribute is cleared where the call was
// refused for it: a backup is its own, and takes its source's attributes
// again from the copy.
template <typename Call>
bool overLockedFile(const WCHAR* target, Call call) {
    if (call()) return true;
    const DWORD lock = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED) return false;
    const DWORD attributes = GetFileAttributesW(target);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & lock) && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        SetFileAttributesW(target, attributes & ~lock))
        return call();
    SetLastError(error);  // the call's own error, not the query's
    return false;
}

bool copyFileOver(const char* from, const char* to) {
    const WCHAR* source = wideFor(from, firstPath);
    const WCHAR* target = wideFor(to, secondPath);
    return source && target && overLockedFile(target, [&] { return CopyFileW(source, target, FALSE) != FALSE; });
}

bool makeStampedFile(const char* path, FILETIME time) {
    const WCHAR* wide = wideFor(path, firstPath);
    HANDLE file = wide ? CreateFileW(wide, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL) : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool stamped = SetFileTime(file, NULL, NULL, &time);
    return CloseHandle(file) && stamped;
}

bool sameContent(const char* a, const char* b) {
    const WCHAR* first = wideFor(a, firstPath);
    const WCHAR* second = wideFor(b, secondPath);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE x = first ? CreateFileW(first, GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL)
                     : INVALID_HANDLE_VALUE;
    HANDLE y = second && x != INVALID_HANDLE_VALUE
                   ? CreateFileW(second, GENERIC_READ, share, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL)
                   : INVALID_HANDLE_VALUE;
    bool same = x != INVALID_HANDLE_VALUE && y != INVALID_HANDLE_VALUE;
    static char bufferA[1 << 16], bufferB[1 << 16];
    while (same) {
        DWORD n = 0, m = 0;
        same = ReadFile(x, bufferA, sizeof bufferA, &n, NULL) && ReadFile(y, bufferB, sizeof bufferB, &m, NULL) &&
               n == m && !memcmp(bufferA, bufferB, n);
        if (n == 0) break;
    }
    if (x != INVALID_HANDLE_VALUE) CloseHandle(x);
    if (y != INVALID_HANDLE_VALUE) CloseHandle(y);
    return same;
}

bool moveFileOver(const char* from, const char* to) {
    const WCHAR* source = wideFor(from, firstPath);
    const WCHAR* target = wideFor(to, secondPath);
    return source && target &&
           overLockedFile(target, [&] { return MoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING) != FALSE; });
}

bool moveFileTo(const char* from, const char* to) {
    const WCHAR* source = wideFor(from, firstPath);
    const WCHAR* target = wideFor(to, secondPath);
    return source && target && MoveFileExW(source, target, 0);
}

bool deleteFile(const char* path) {
    const WCHAR* wide = wideFor(path, firstPath);
    return wide && overLockedFile(wide, [&] { return DeleteFileW(wide) != FALSE; });
}

bool listedName(const char* path, FindRecord* found) {
    // Asked for a plain name, Wine answers with the spelling asked for where
    // the drive ignores case (exFAT); a wildcard in place of the name's last
    // character makes any system read the folder, and list each name as it
    // keeps it.
    static char pattern[3 * PATH_LIMIT + 2];
    size_t len = strlen(path);
    if (len == 0 || len >= sizeof pattern - 1) return false;
    const char* name = path + len;
    while (name > path && name[-1] != '\\' && name[-1] != '/') name--;
    if (!*name) return false;
    while (len > 0 && ((unsigned char)path[len - 1] & 0xC0) == 0x80) len--;
    memcpy(pattern, path, len - 1);
    memcpy(pattern + len - 1, "?", 2);
    FindRecord next;
    HANDLE listing = findFirstFile(pattern, &next);
    if (listing == INVALID_HANDLE_VALUE) return false;
    bool any = false;
    do {
        if (compareIgnoringCase(next.cFileName, -1, name, -1) != CSTR_EQUAL) continue;
        *found = next;
        any = true;
        if (!strcmp(next.cFileName, name)) break;
    } while (findNextFile(listing, &next));
    FindClose(listing);
    return any;
}

bool removeFolder(const char* path) {
    const WCHAR* wide = wideFor(path, firstPath);
    return wide && RemoveDirectoryW(wide);
}

int shellCopy(const char* fromNames, const char* toNames, WORD flags, bool* aborted) {
    *aborted = false;
    // Each list as wide plain paths. A name's plain form takes no more units
    // than its bytes, and one more where System32 becomes Sysnative.
    WCHAR* lists[2] = {NULL, NULL};
    const char* names[2] = {fromNames, toNames};
    for (int i = 0; i < 2; i++) {
        size_t units = 1;
        for (const char* name = names[i]; *name; name += strlen(name) + 1) units += strlen(name) + 2;
        lists[i] = (WCHAR*)allocMem(units * sizeof(WCHAR));
        if (!lists[i]) {
            freeMem(lists[0]);
            return SHELL_NO_MEMORY;
        }
        WCHAR* at = lists[i];
        for (const char* name = names[i]; *name; name += strlen(name) + 1) {
            const size_t left = (size_t)(lists[i] + units - 1 - at);  // the list's last NUL aside
            if (!widePath(name, at, left < MAX_PATH ? left : MAX_PATH, true)) {
                freeMem(lists[0]);
                freeMem(lists[1]);
                return ERROR_FILENAME_EXCED_RANGE;
            }
            at += wcslen(at) + 1;
        }
        *at = 0;
    }
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_COPY;
    op.pFrom = lists[0];
    op.pTo = lists[1];
    op.fFlags = flags;
    const int code = SHFileOperationW(&op);
    *aborted = op.fAnyOperationsAborted != FALSE;
    freeMem(lists[0]);
    freeMem(lists[1]);
    return code;
}
