#include "list_intr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "alloc.h"
#include "fixed_texts.h"
#include "list_text.h"

PathList exPath;
PathList unexPath;

static const char listFileName[] = "Quarnelvistro.txt";
static const char dirMarker[] = "--Dir--";
static const char alwaysMarker[] = "<-d>";   // always copy
static const char compareMarker[] = "<+d>";  // copy when missing or times differ
static constexpr size_t MARKER_LEN = sizeof alwaysMarker - 1;
static const char blanks[] = " \t";

// The copy pass's texts (see fixed_texts.h for their encoding).
// "\nNO MEMORY\n": the copy pass ran out of memory.
static constexpr char copyNoMemoryText[] = "\nНЕТ ПАМЯТИ\n";
// "Error while copying files. error =  %d (%x)": the shell's copy failed.
static constexpr char copyFailedFormat[] = "Ошибка при копировании файлов. error =  %d (%x)";
// "Copying of the files was interrupted.": the shell reported a cancel or a
// skipped file although it returned success.
static constexpr char copyInterruptedText[] = "Копирование файлов прервано.";
// "Destination paths too long, files not copied:", followed by one
// destination a line.
static constexpr char copyTooLongHeader[] = "Слишком длинные пути назначения, файлы не скопированы:";

// "Files that could not be copied:", followed by one source a line.
static constexpr char copyFailedHeader[] = "Файлы, которые не удалось скопировать:";

static_assert(textChars(copyNoMemoryText) == 12, "no-memory text");
static_assert(textChars(copyFailedHeader) == 38, "not-copied header");
static_assert(textChars(copyFailedFormat) == 47, "copy failure format");

void initPaths(PathList* entries, PathList* rejected) {
    memset(entries, 0, sizeof *entries);
    memset(rejected, 0, sizeof *rejected);
}

static void freeNode(PathNode* node) {
    freeMem(node->path);
    freeMem(node->pathTo);
    freeMem(node);
}

static void freeList(PathList* list) {
    PathNode* node = list->first;
    while (node) {
        PathNode* next = node->next;
        freeNode(node);
        node = next;
    }
    memset(list, 0, sizeof *list);
}

void freePaths(PathList* entries, PathList* rejected) {
    freeList(entries);
    freeList(rejected);
}

// A node holding its own copies of the texts (pathTo may be NULL), or NULL
// with nothing left allocated.
static PathNode* makeNode(const char* path, uint32_t len, const char* pathTo, uint32_t lenTo) {
    PathNode* node = (PathNode*)allocMem(sizeof *node);
    if (!node) return NULL;
    memset(node, 0, sizeof *node);
    node->path = copyText(path, len);
    node->pathTo = pathTo ? copyText(pathTo, lenTo) : NULL;
    if (!node->path || (pathTo && !node->pathTo)) {
        freeNode(node);
        return NULL;
    }
    node->len = len;
    node->lenTo = pathTo ? lenTo : 0;
    return node;
}

// False, with nothing linked, when the list's text would outgrow the 32-bit
// sum that buffers are sized by: that is out of memory as well.
static bool linkNode(PathList* list, PathNode** last, PathNode* node) {
    if (node->len > UINT32_MAX - list->lenAll) return false;
    if (*last)
        (*last)->next = node;
    else
        list->first = node;
    *last = node;
    list->count++;
    list->lenAll += node->len;
    return true;
}

static bool linkOrDrop(PathList* list, PathNode** last, PathNode* node) {
    if (linkNode(list, last, node)) return true;
    freeNode(node);
    return false;
}

static bool addRejected(PathList* rejected, PathNode** last, const char* text, uint32_t len) {
    PathNode* node = makeNode(text, len, NULL, 0);
    return node && linkOrDrop(rejected, last, node);
}

static bool addEntry(PathList* entries, PathNode** last, const char* path, uint32_t len, FILETIME time,
                     uint64_t size, int16_t mode, const char* destination, uint32_t destinationLength) {
    PathNode* node = makeNode(path, len, destination, destinationLength);
    if (!node) return false;
    node->timeFrom = time;
    node->sizeFrom = size;
    node->checkDate = mode;
    if (!linkOrDrop(entries, last, node)) return false;
    entries->lenCopy += len;
    return true;
}

// --- Where sources are read ---

static bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The separator to join names to a full path with: a Windows path's
// backslash, or natively a POSIX path's '/', so that a Linux user can paste
// what the report names into a shell.
static char separatorOf(const char* full) { return strchr(full, '/') ? '/' : '\\'; }

static uint64_t sizeOf(DWORD high, DWORD low) { return (uint64_t)high << 32 | low; }

// Whether a folder whose listing failed with error is to be named: every
// folder but one that is merely empty, and but the compatibility junctions
// of a user profile ("Application Data", "My Documents", ...): hidden
// system links that no one may list, whose targets are backed up under
// their real names.
static bool unlistable(DWORD attributes, DWORD error) {
    const DWORD junction = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return false;
    return !((attributes & junction) == junction && error == ERROR_ACCESS_DENIED);
}

// Whether path is dir or lies below it, comparing names as Windows does
// (without regard to case). dirLen counts dir without a final separator.
static bool pathIsIn(const char* path, const char* dir, size_t dirLen) {
    return strlen(path) >= dirLen &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path, (int)dirLen, dir, (int)dirLen) == CSTR_EQUAL &&
           (!path[dirLen] || isSeparator(path[dirLen]));
}

// Room for a source path (LINE_ROOM at most) in the form the file calls get.
static constexpr size_t IO_ROOM = LINE_ROOM + 16;

// The x86 program on 64-bit Windows: the system sends its file calls below
// the Windows folder's System32 to SysWOW64, the 32-bit twins. Sources
// there are read through the alias Sysnative, which such a process sees as
// the real System32, while the lists, the log and the destinations keep
// the System32 name. Turning the redirection off for the run instead would
// send every DLL that the shell or the window loads meanwhile to the 64-bit
// System32, where a 32-bit process cannot load it.
static struct {
    bool known;
    char system32[MAX_PATH + 16];  // empty when nothing is redirected
    size_t system32Len;
    char sysnative[MAX_PATH + 16];
    size_t sysnativeLen;
} redirection;

static void findRedirection() {
    redirection.known = true;
    typedef BOOL(WINAPI * IsWow64ProcessCall)(HANDLE, BOOL*);
    // Looked up, not linked: kernel32 of older Windows lacks it.
    IsWow64ProcessCall isWow64Process =
        (IsWow64ProcessCall)(void*)GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process");
    BOOL wow64 = FALSE;
    if (!isWow64Process || !isWow64Process(GetCurrentProcess(), &wow64) || !wow64) return;
    char windows[MAX_PATH];
    UINT n = GetSystemWindowsDirectoryA(windows, sizeof windows);
    if (n == 0 || n >= sizeof windows) return;
    if (windows[n - 1] == '\\') n--;
    redirection.system32Len =
        (size_t)snprintf(redirection.system32, sizeof redirection.system32, "%.*s\\System32", (int)n, windows);
    redirection.sysnativeLen =
        (size_t)snprintf(redirection.sysnative, sizeof redirection.sysnative, "%.*s\\Sysnative", (int)n, windows);
}

// The path the file calls are given for the full source path: the path
// itself, or its Sysnative form written into room (IO_ROOM bytes).
static const char* sourceIo(const char* path, char* room) {
    if (!redirection.known) findRedirection();
    const size_t n = redirection.system32Len;
    if (n == 0 || !pathIsIn(path, redirection.system32, n)) return path;
    const size_t rest = strlen(path + n);
    if (redirection.sysnativeLen + rest + 1 > IO_ROOM) return path;
    memcpy(room, redirection.sysnative, redirection.sysnativeLen);
    memcpy(room + redirection.sysnativeLen, path + n, rest + 1);
    return room;
}

static bool sourceExists(const char* path) {
    char room[IO_ROOM];
    return PathFileExistsA(sourceIo(path, room));
}

static bool sourceAttributes(const char* path, WIN32_FILE_ATTRIBUTE_DATA* attributes) {
    char room[IO_ROOM];
    return GetFileAttributesExA(sourceIo(path, room), GetFileExInfoStandard, attributes);
}

static HANDLE findFirstSource(const char* pattern, WIN32_FIND_DATAA* findData) {
    char room[IO_ROOM];
    return FindFirstFileA(sourceIo(pattern, room), findData);
}

// --- Directory identity ---

// Which directory a path leads to, links followed: the walk never enters one
// that is already on its path, so a link back up the tree cannot loop.
struct DirIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

// False when the identity is unknown: the path cannot be opened, or its file
// system gives every directory the same zero identity (some network and
// FUSE file systems do), which must never pass for a loop or a destination.
static bool identify(const char* ioPath, DirIdentity* id) {
    HANDLE dir = CreateFileA(ioPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (dir == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(dir, &info);
    CloseHandle(dir);
    if (!known || (!info.dwVolumeSerialNumber && !info.nFileIndexHigh && !info.nFileIndexLow)) return false;
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

static bool identifySource(const char* path, DirIdentity* id) {
    char room[IO_ROOM];
    return identify(sourceIo(path, room), id);
}

static bool sameDir(const DirIdentity& a, const DirIdentity& b) {
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

// --- Directory walker ---

// Every level adds at least "\x" to a path of at most LINE_ROOM characters.
static DirIdentity walkPath[LINE_ROOM / 2 + 1];
static int walkDepth;
static DirIdentity walkDestination;  // the destination of the walk's source line
static bool walkDestinationKnown;

// Lists "dirPath\name" among the rejected lines: a path the walker cannot
// compose in its room, or a name the shell's copy would take for a wildcard.
static bool rejectComposed(PathList* rejected, PathNode** last, const char* dirPath, size_t dirLen,
                           const char* name) {
    char text[LINE_ROOM + 1 + MAX_PATH];  // a directory path, a separator, a name and its NUL
    int len = snprintf(text, sizeof text, "%.*s%c%s", (int)dirLen, dirPath, separatorOf(dirPath), name);
    return addRejected(rejected, last, text, (uint32_t)len);
}

static bool findFAddLevel(const char* dirPath, HANDLE enumeration, WIN32_FIND_DATAA* findData,
                          PathList* entries, PathNode** last, const char* destination,
                          uint32_t destinationLength, int16_t mode, PathList* rejected,
                          PathNode** lastRejected) {
    const size_t dirLen = strlen(dirPath);
    const char sep = separatorOf(dirPath);
    char subPath[LINE_ROOM + 1];
    char subPattern[LINE_ROOM + 1];
    char filePath[LINE_ROOM + 1];
    do {
        const char* name = findData->cFileName;
        if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
        const DWORD attributes = findData->dwFileAttributes;
        const bool isDir = attributes & FILE_ATTRIBUTE_DIRECTORY;
        // "dir\name", and "dir\name\*.*" for a directory
        const size_t need = dirLen + 1 + strlen(name) + (isDir ? 4 : 0);
        if (need > LINE_ROOM || strpbrk(name, "?\\")) {
            if (!rejectComposed(rejected, lastRejected, dirPath, dirLen, name)) return false;
            continue;
        }
        if (isDir) {
            int subLen = snprintf(subPath, sizeof subPath, "%s%c%s", dirPath, sep, name);
            memcpy(subPattern, subPath, (size_t)subLen);
            subPattern[subLen] = sep;
            memcpy(subPattern + subLen + 1, "*.*", 4);
            HANDLE sub = findFirstSource(subPattern, findData);
            if (sub == INVALID_HANDLE_VALUE) {
                if (unlistable(attributes, GetLastError()) &&
                    !addRejected(rejected, lastRejected, subPath, (uint32_t)subLen))
                    return false;
                continue;
            }
            bool walked = findFAdd(subPath, sub, findData, entries, last, destination,
                                   destinationLength, mode, rejected, lastRejected);
            FindClose(sub);
            if (!walked) return false;
        } else {
            int len = snprintf(filePath, sizeof filePath, "%s%c%s", dirPath, sep, name);
            // A fifo, socket or device has no content to back up, and a link
            // whose target is gone has none either; the shell's copy would
            // refuse them. They are listed instead.
            if ((attributes & FILE_ATTRIBUTE_DEVICE) ||
                ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !sourceExists(filePath))) {
                if (!addRejected(rejected, lastRejected, filePath, (uint32_t)len)) return false;
                continue;
            }
            if (!addEntry(entries, last, filePath, (uint32_t)len, findData->ftLastWriteTime,
                          sizeOf(findData->nFileSizeHigh, findData->nFileSizeLow), mode, destination,
                          destinationLength))
                return false;
        }
    } while (FindNextFileA(enumeration, findData));
    return true;
}

bool findFAdd(const char* dirPath, HANDLE enumeration, WIN32_FIND_DATAA* findData,
              PathList* entries, PathNode** last, const char* destination,
              uint32_t destinationLength, int16_t mode, PathList* rejected,
              PathNode** lastRejected) {
    if (walkDepth == 0) walkDestinationKnown = identify(destination, &walkDestination);
    // The folder the enumeration lists: for a drive's root "R:\", never the
    // drive's current folder that "R:" stands for.
    char listed[LINE_ROOM + 2];
    snprintf(listed, sizeof listed, "%s%c", dirPath, separatorOf(dirPath));
    DirIdentity self;
    const bool known = identifySource(listed, &self);
    if (known) {
        // The backup's own folder, met inside the source, holds backups: it
        // is not backed up into itself. A directory already on the walk
        // path is not entered again.
        if (walkDestinationKnown && sameDir(self, walkDestination)) return true;
        for (int i = 0; i < walkDepth; i++)
            if (sameDir(self, walkPath[i])) return true;
    }
    const bool pushed = known && walkDepth < (int)(sizeof walkPath / sizeof walkPath[0]);
    if (pushed) walkPath[walkDepth++] = self;
    bool walked = findFAddLevel(dirPath, enumeration, findData, entries, last, destination,
                                destinationLength, mode, rejected, lastRejected);
    if (pushed) walkDepth--;
    return walked;
}

// --- Backup list reader ---

struct ReaderState {
    PathList* entries;
    PathList* rejected;
    PathNode* lastEntry;
    PathNode* lastRejected;
    char* destination;  // full path ending in a backslash; NULL while no destination is in force
    uint32_t destinationLength;
    DirIdentity destinationId;
    bool destinationKnown;  // destinationId holds the destination's identity
    int16_t defaultMode;
};

// Finds the first marker of "text": "<-d>" before "<+d>". Returns the text
// after it and sets *mode, or returns NULL when there is none.
static char* afterModeMarker(char* text, int16_t* mode) {
    char* marker = strstr(text, alwaysMarker);
    if (marker) {
        *mode = 0;
        return marker + MARKER_LEN;
    }
    marker = strstr(text, compareMarker);
    if (marker) {
        *mode = 1;
        return marker + MARKER_LEN;
    }
    return NULL;
}

static ReaderResult rejectText(ReaderState* r, const char* text) {
    return addRejected(r->rejected, &r->lastRejected, text, (uint32_t)strlen(text)) ? READ_DONE : READ_NO_MEMORY;
}

// The full path of a list's path in the system's own form (backslashes,
// the current drive and folder resolved now), so that every query and the
// shell's copy work on the one folder the line names, whatever the current
// folder later is. False when there is none, or it needs more than the
// room of a line.
static bool fullPathOf(const char* path, char* full) {
    DWORD n = GetFullPathNameA(path, LINE_ROOM + 1, full, NULL);
    if (n == 0 || n > LINE_ROOM) return false;
    // A device name ("C:\x\NUL") turns into the device ("\\.\NUL"), which
    // the file queries do not take for the path that exists; the line's own
    // text names it for them.
    if (!strncmp(full, "\\\\.\\", 4)) snprintf(full, LINE_ROOM + 1, "%s", path);
    return true;
}

static ReaderResult readDestinationLine(ReaderState* r, char* afterDirMarker) {
    freeMem(r->destination);
    r->destination = NULL;
    r->destinationLength = 0;

    r->defaultMode = 1;
    char* path = afterModeMarker(afterDirMarker, &r->defaultMode);
    if (!path) path = afterDirMarker;
    path += strspn(path, blanks);
    if (!*path) return READ_DONE;

    char full[LINE_ROOM + 1];
    if (fullPathOf(path, full) && PathFileExistsA(full)) {
        WIN32_FILE_ATTRIBUTE_DATA attributes;
        if (!GetFileAttributesExA(full, GetFileExInfoStandard, &attributes)) return READ_NO_ATTRIBUTES;
        if (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            const uint32_t len = (uint32_t)strlen(full);
            char* destination = (char*)allocMem(len + 2);
            if (!destination) return READ_NO_MEMORY;
            memcpy(destination, full, len);
            destination[len] = separatorOf(full);
            r->destinationLength = isSeparator(full[len - 1]) ? len : len + 1;
            destination[r->destinationLength] = 0;
            r->destination = destination;
            r->destinationKnown = identify(destination, &r->destinationId);
            return READ_DONE;
        }
    }
    return rejectText(r, path);
}

// Whether a source is the destination folder or lies inside it: its
// backups would then be backed up into themselves, one level deeper every
// run. Compared by identity, the source's and each folder's above it (so
// that case, short names and links count), or by the full path where the
// destination's identity is unknown.
static bool insideDestination(const ReaderState* r, const char* full) {
    if (!r->destinationKnown) return pathIsIn(full, r->destination, r->destinationLength - 1);
    char dir[LINE_ROOM + 1];
    size_t n = strlen(full);
    memcpy(dir, full, n + 1);
    for (;;) {
        DirIdentity id;
        if (identifySource(dir, &id) && sameDir(id, r->destinationId)) return true;
        size_t cut = n;
        while (cut > 0 && !isSeparator(dir[cut - 1])) cut--;
        if (cut == 0) return false;
        // Up to the folder above, keeping the separator of a root ("C:\", "/").
        size_t up = cut - 1;
        if (up == 0 || (up == 2 && dir[1] == ':')) up = cut;
        // A network path ends its climb at \\server\share.
        if (up >= n || (up < 2 && isSeparator(dir[0]) && isSeparator(dir[1]))) return false;
        n = up;
        dir[n] = 0;
    }
}

static ReaderResult readSourceDirectory(ReaderState* r, char* path, uint32_t len, DWORD attributes,
                                        int16_t mode) {
    char* pattern = (char*)allocMem(len + 5);
    if (!pattern) return READ_NO_MEMORY;
    snprintf(pattern, len + 5, "%s%c*.*", path, separatorOf(path));
    WIN32_FIND_DATAA findData;
    HANDLE enumeration = findFirstSource(pattern, &findData);
    freeMem(pattern);
    if (enumeration == INVALID_HANDLE_VALUE)
        return unlistable(attributes, GetLastError()) ? rejectText(r, path) : READ_DONE;
    bool walked = findFAdd(path, enumeration, &findData, r->entries, &r->lastEntry, r->destination,
                           r->destinationLength, mode, r->rejected, &r->lastRejected);
    FindClose(enumeration);
    return walked ? READ_DONE : READ_NO_MEMORY;
}

static ReaderResult readSourceLine(ReaderState* r, char* line) {
    if (!r->destination) return rejectText(r, line);
    int16_t mode = r->defaultMode;
    char* path = afterModeMarker(line, &mode);
    if (path)
        path += strspn(path, blanks);
    else
        path = line;  // leading blanks belong to the path

    // A '?' stands for a character the ANSI code page cannot hold; the shell's
    // copy would take it for a wildcard.
    char full[LINE_ROOM + 1];
    if (strchr(path, '?') || !fullPathOf(path, full) || !sourceExists(full)) return rejectText(r, path);
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!sourceAttributes(full, &attributes)) return READ_NO_ATTRIBUTES;
    // Asked while a root keeps its backslash: "R:" would be the drive's current folder.
    if ((attributes.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) || insideDestination(r, full))
        return rejectText(r, path);
    const bool isDir = attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    uint32_t len = (uint32_t)strlen(full);
    if (isDir && len > 1 && isSeparator(full[len - 1])) full[--len] = 0;
    if (isDir) return readSourceDirectory(r, full, len, attributes.dwFileAttributes, mode);
    return addEntry(r->entries, &r->lastEntry, full, len, attributes.ftLastWriteTime,
                    sizeOf(attributes.nFileSizeHigh, attributes.nFileSizeLow), mode, r->destination,
                    r->destinationLength)
               ? READ_DONE
               : READ_NO_MEMORY;
}

ReaderResult ReadPaths(PathList* entries, PathList* rejected) {
    ListText list;
    ReaderResult result = loadListText(listFileName, &list);
    if (result != READ_DONE) return result;

    ReaderState r = {entries, rejected, NULL, NULL, NULL, 0, {}, false, 1};
    // Pieces of at most LINE_ROOM characters: a longer line reads as several.
    char line[LINE_ROOM + 1];
    while (result == READ_DONE && nextListPiece(&list, line, sizeof line)) {
        char* lineEnd = strchr(line, '\n');
        if (lineEnd) *lineEnd = 0;
        if (!line[0]) continue;
        char* dirMark = strstr(line, dirMarker);
        result = dirMark ? readDestinationLine(&r, dirMark + sizeof dirMarker - 1) : readSourceLine(&r, line);
    }
    freeListText(&list);
    freeMem(r.destination);
    return result;
}

// --- Copy pass ---

// The shell's codes that say a source does not exist. Such a shell may have
// checked every source before it copied anything (Wine's does).
static bool sourceMissingCode(int code) {
    const int SHELL_SOURCE_NOT_FOUND = 0x402;  // DE_SRC_NOT_FOUND
    return code == SHELL_SOURCE_NOT_FOUND || code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// A full drive: no file after the one that failed would fit either.
static bool driveFullCode(int code) { return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL; }

// Where below the destination directory a source goes: its full path with
// the drive's colon dropped (C:\a -> C\a); \\server\share\a -> UNC\server\share\a;
// a POSIX /a/b -> a/b. "." and ".." are gone from a full path, so the result
// never climbs out of the destination.
static void mirrorOf(const char* full, const char** head, size_t* headLen, const char** tail) {
    if (full[0] == '\\' && full[1] == '\\') {
        *head = "UNC";
        *headLen = 3;
        *tail = full + 1;
    } else if (full[0] && full[1] == ':') {
        *head = full;
        *headLen = 1;
        *tail = full + 2;
    } else {
        *head = "";
        *headLen = 0;
        *tail = full + strspn(full, "\\/");
    }
}

// Gives the entry its full destination path in place of its destination
// directory. False when out of memory: the entry then has no pathTo.
static bool setDestination(PathNode* node) {
    // Room for the longest working directory (4096 on POSIX, far less for
    // the ANSI calls on Windows) and a source path: a relative source is
    // always made full, so its ".." can never climb out of the destination.
    char full[4096 + 2 * MAX_PATH];
    DWORD n = GetFullPathNameA(node->path, sizeof full, full, NULL);
    const char* source = n > 0 && n < sizeof full ? full : node->path;
    const char* head;
    const char* tail;
    size_t headLen;
    mirrorOf(source, &head, &headLen, &tail);
    const size_t tailLen = strlen(tail);
    const size_t lenTo = node->lenTo + headLen + tailLen;
    char* pathTo = (char*)allocMem(lenTo + 1);
    if (pathTo) {
        memcpy(pathTo, node->pathTo, node->lenTo);
        memcpy(pathTo + node->lenTo, head, headLen);
        memcpy(pathTo + node->lenTo + headLen, tail, tailLen + 1);
    }
    freeMem(node->pathTo);
    node->pathTo = pathTo;
    node->lenTo = pathTo ? (uint32_t)lenTo : 0;
    return pathTo != NULL;
}

static uint64_t ticksOf(FILETIME time) { return (uint64_t)time.dwHighDateTime << 32 | time.dwLowDateTime; }

// Whether a copy is the backup of a source of that last-write time and
// size. The size must be the source's, and the time the source's exactly
// or as a drive with coarse times keeps it: on a whole step (exFAT: 10 ms,
// or whole seconds through some drivers; FAT: 2 s) and less than one step
// from the source's, whichever way the drive rounds. Without the tolerance
// every run onto a USB drive would copy everything again; a change within
// one step of the last backup is told by its size.
static bool isBackupOf(const WIN32_FILE_ATTRIBUTE_DATA& copied, FILETIME sourceTime, uint64_t sourceSize) {
    if ((copied.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        sizeOf(copied.nFileSizeHigh, copied.nFileSizeLow) != sourceSize)
        return false;
    const uint64_t a = ticksOf(copied.ftLastWriteTime), b = ticksOf(sourceTime);
    static const uint64_t steps[] = {1, 100000, 10000000, 20000000};  // ticks: exact, 10 ms, 1 s, 2 s
    for (uint64_t step : steps)
        if (a % step == 0 && (a > b ? a - b : b - a) < step) return true;
    return false;
}

// Copied when missing, when it is not its source's backup by size and
// time, or always with "<-d>"; a copy that exists but gives no attributes
// is left alone. The attributes are asked for first: most copies exist, and
// then one query of the file is enough.
static bool needsCopy(PathNode* node) {
    if (node->checkDate == 0) return true;
    WIN32_FILE_ATTRIBUTE_DATA copied;
    if (!GetFileAttributesExA(node->pathTo, GetFileExInfoStandard, &copied)) return !PathFileExistsA(node->pathTo);
    node->timeTo = copied.ftLastWriteTime;
    return !isBackupOf(copied, node->timeFrom, node->sizeFrom);
}

// Counts an entry among the flagged ones. False when the sum that sizes the
// destination names would wrap: that is out of memory.
static bool flag(PathList* entries, PathNode* node, ToCopy value) {
    if (node->lenTo > UINT32_MAX - entries->lenToCopy) return false;
    node->toCopy = value;
    entries->countCopy++;
    entries->lenCopy += node->len;
    entries->lenToCopy += node->lenTo;
    return true;
}

static void unflag(PathList* entries, PathNode* node) {
    node->toCopy = TO_COPY_NO;
    entries->countCopy--;
    entries->lenCopy -= node->len;
    entries->lenToCopy -= node->lenTo;
}

// --- Destinations that may be one file ---

// Entries whose destinations differ only in case though their sources
// differ (README.txt and readme.txt of a Linux folder) would end as one
// file on a drive that ignores case, the later copy silently replacing the
// earlier. The later ones are held back until the batches are done; then
// one whose destination proves to be the earlier one's copy is not copied
// but named. They are found by sorting the destinations, first by a hash
// that any two spellings of one name share (ASCII letters folded, every
// other byte left out), then as Windows compares names.
struct Destination {
    uint64_t hash;
    PathNode* node;
    uint32_t order;   // in the list: the first of equal destinations owns the copy
    PathNode* owner;  // that first entry, when node is held back for it
};

static uint64_t foldedHash(const char* path) {
    uint64_t h = 14695981039346656037ULL;  // FNV-1a
    for (const unsigned char* p = (const unsigned char*)path; *p; p++)
        if (*p < 0x80) h = (h ^ (*p >= 'A' && *p <= 'Z' ? *p + 32u : *p)) * 1099511628211ULL;
    return h;
}

static int compareNames(const Destination& a, const Destination& b) {
    if (a.hash != b.hash) return a.hash < b.hash ? -1 : 1;
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.node->pathTo, -1, b.node->pathTo, -1) - CSTR_EQUAL;
}

static int compareDestinations(const void* a, const void* b) {
    const Destination& x = *(const Destination*)a;
    const Destination& y = *(const Destination*)b;
    const int byName = compareNames(x, y);
    return byName ? byName : x.order < y.order ? -1 : x.order > y.order;
}

// The entries sorted by destination, in a block the caller releases; NULL
// when out of memory. Every entry that shares its destination, but not its
// source, with an earlier one is held back (TO_COPY_HELD).
static Destination* holdSharedDestinations(PathList* entries) {
    const uint32_t n = entries->count;
    Destination* sorted = (Destination*)allocMem((size_t)n * sizeof *sorted + 1);
    if (!sorted) return NULL;
    uint32_t i = 0;
    for (PathNode* node = entries->first; node && i < n; node = node->next, i++)
        sorted[i] = {foldedHash(node->pathTo), node, i, NULL};
    qsort(sorted, n, sizeof *sorted, compareDestinations);
    for (uint32_t first = 0, k = 1; k < n; k++) {
        if (compareNames(sorted[first], sorted[k])) {
            first = k;
        } else if (strcmp(sorted[first].node->path, sorted[k].node->path)) {
            sorted[k].node->toCopy = TO_COPY_HELD;
            sorted[k].owner = sorted[first].node;
        }
    }
    return sorted;
}

static const char* lastName(const char* path) {
    const char* name = path + strlen(path);
    while (name > path && !isSeparator(name[-1])) name--;
    return name;
}

// Whether the folder lists path's file under another spelling: a drive that
// ignores case, where the file was made under another name. False where it
// lists it under its own, or not at all.
static bool storedOtherwise(const char* path) {
    WIN32_FIND_DATAA found;
    HANDLE file = FindFirstFileA(path, &found);
    if (file == INVALID_HANDLE_VALUE) return false;
    FindClose(file);
    return strcmp(found.cFileName, lastName(path)) != 0;
}

// The held entries once the batches are done: one whose destination is the
// earlier entry's copy (found under the other's spelling, from either side)
// is not copied; every other is flagged as any entry is. True when any was
// flagged for copying.
static bool settleHeld(PathList* entries, const Destination* sorted) {
    bool any = false;
    for (uint32_t k = 0; k < entries->count; k++) {
        PathNode* node = sorted[k].node;
        if (!sorted[k].owner) continue;
        if (storedOtherwise(node->pathTo) ||
            (PathFileExistsA(node->pathTo) && storedOtherwise(sorted[k].owner->pathTo))) {
            node->toCopy = TO_COPY_FAILED;
        } else if (node->lenTo <= DEST_ROOM && needsCopy(node)) {
            node->toCopy = TO_COPY_YES;
            any = true;
        } else {
            unflag(entries, node);
        }
    }
    return any;
}

// --- Batches ---

// What a failed batch did to the copy of one of its files.
enum Written {
    WRITTEN,      // its source's backup, written in this pass
    NOT_WRITTEN,  // missing, short, of another time, or older than the pass
    UNTOLD,       // its source's backup, but the drive keeps no change time to tell when it was written
};

// Since when, before a pass began, a copy counts as written by it: file
// systems on Linux stamp change times from a clock up to a timer tick
// coarser than the one read here.
static const uint64_t CHANGE_SLACK = 1000000;  // 100 ms in ticks

// The copy's change time, where its file system keeps one: NTFS and the
// Linux ones set it at every write, FAT and exFAT keep none and report
// nothing or the last-write time in its place.
static bool changeTimeOf(const char* path, uint64_t* ticks) {
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILE_BASIC_INFO info;
    const bool known = GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info);
    CloseHandle(file);
    if (!known || info.ChangeTime.QuadPart == 0 || info.ChangeTime.QuadPart == info.LastWriteTime.QuadPart)
        return false;
    *ticks = (uint64_t)info.ChangeTime.QuadPart;
    return true;
}

// What a failed copy left is never trusted: the copy must be its source's
// backup as the source is now, and changed since the pass began. Where the
// drive keeps no change time, a "<+d>" copy is its backup now only because
// the batch wrote it (it was flagged for not being one), while a "<-d>"
// copy may be the old backup.
static Written writtenByPass(const PathNode* node, uint64_t passStart) {
    WIN32_FILE_ATTRIBUTE_DATA copied, source;
    if (!GetFileAttributesExA(node->pathTo, GetFileExInfoStandard, &copied) ||
        !sourceAttributes(node->path, &source) ||
        !isBackupOf(copied, source.ftLastWriteTime, sizeOf(source.nFileSizeHigh, source.nFileSizeLow)))
        return NOT_WRITTEN;
    uint64_t changed;
    if (changeTimeOf(node->pathTo, &changed)) return changed >= passStart ? WRITTEN : NOT_WRITTEN;
    return node->checkDate ? WRITTEN : UNTOLD;
}

static PathNode* firstInBatch(PathNode* node) {
    while (node && node->toCopy != TO_COPY_YES) node = node->next;
    return node;
}

// The entry after a batch from `from` of at most limit files.
static PathNode* batchEnd(PathNode* from, uint32_t limit) {
    for (; from; from = from->next)
        if (from->toCopy == TO_COPY_YES && limit-- == 0) break;
    return from;
}

// Runs the shell's copy over the entries from `from` up to `end` that are
// still in the batch: *code is what it returned, *aborted whether it
// reports a cancel. False when out of memory.
static bool copyBatch(PathNode* from, PathNode* end, int16_t silent, int* code, bool* aborted) {
    // One NUL after each name and one after the last. Summed wide: the
    // buffers can never be sized short.
    uint64_t fromSize = 1, toSize = 1;
    char room[IO_ROOM];
    for (const PathNode* node = from; node != end; node = node->next) {
        if (node->toCopy != TO_COPY_YES) continue;
        const char* source = sourceIo(node->path, room);
        fromSize += (source == node->path ? node->len : strlen(source)) + 1;
        toSize += node->lenTo + 1;
    }
    if (fromSize > SIZE_MAX / 2 || toSize > SIZE_MAX / 2) return false;
    char* fromNames = (char*)allocMem((size_t)fromSize);
    char* toNames = (char*)allocMem((size_t)toSize);
    SHFILEOPSTRUCTA* op = (SHFILEOPSTRUCTA*)allocMem(sizeof *op);
    const bool haveMemory = fromNames && toNames && op;
    if (haveMemory) {
        char* f = fromNames;
        char* t = toNames;
        for (const PathNode* node = from; node != end; node = node->next) {
            if (node->toCopy != TO_COPY_YES) continue;
            const char* source = sourceIo(node->path, room);
            const size_t len = strlen(source);
            memcpy(f, source, len + 1);
            f += len + 1;
            memcpy(t, node->pathTo, node->lenTo + 1);
            t += node->lenTo + 1;
        }
        *f = 0;
        *t = 0;
        memset(op, 0, sizeof *op);
        op->wFunc = FO_COPY;
        op->pFrom = fromNames;
        op->pTo = toNames;
        op->fFlags = silent ? 0x0615 : 0x0211;
        op->fAnyOperationsAborted = FALSE;
        *code = SHFileOperationA(op);
        *aborted = op->fAnyOperationsAborted != FALSE;
    }
    freeMem(fromNames);
    freeMem(toNames);
    freeMem(op);
    return haveMemory;
}

// After the batch from `from` up to `end` failed: the files it wrote are
// done, and it stopped at the first one it did not write, which is not
// copied (TO_COPY_FAILED); the files after that go into the next batches.
// Where the drive cannot tell whether that first one was written, it goes
// too, into a batch of its own that will tell. When the shell said a
// source is missing, it may have copied nothing at all: every file whose
// source is gone is not copied, and every other one goes again.
static void settleFailedBatch(PathNode* from, PathNode* end, int code, uint64_t passStart) {
    const bool sourceMissing = sourceMissingCode(code);
    bool sourceGone = false;
    int files = 0;
    PathNode* stopped = NULL;
    Written stoppedAs = NOT_WRITTEN;
    for (PathNode* node = from; node != end; node = node->next) {
        if (node->toCopy != TO_COPY_YES) continue;
        files++;
        const Written written = writtenByPass(node, passStart);
        if (written == WRITTEN) {
            node->toCopy = TO_COPY_DONE;
        } else if (sourceMissing && !sourceExists(node->path)) {
            node->toCopy = TO_COPY_FAILED;
            sourceGone = true;
        } else if (!stopped) {
            stopped = node;
            stoppedAs = written;
        }
    }
    if (stopped && !sourceGone && (stoppedAs == NOT_WRITTEN || files == 1)) stopped->toCopy = TO_COPY_FAILED;
}

// Copies the files flagged TO_COPY_YES: in one batch while none fails. After
// a failure the batches start again at one file and double with each that
// succeeds, so that many failing files cost a small multiple of a run
// without them. A cancel in the window or a full drive ends the pass: every
// file not copied then is named. shellText receives the first failure's
// text. False when out of memory; *stopped tells an ended pass.
static bool runBatches(PathList* entries, int16_t silent, uint64_t passStart, char* shellText, size_t room,
                       bool* stopped) {
    uint32_t limit = UINT32_MAX;
    for (PathNode* from = firstInBatch(entries->first); from; from = firstInBatch(from)) {
        PathNode* end = batchEnd(from, limit);
        int code = 0;
        bool aborted = false;
        if (!copyBatch(from, end, silent, &code, &aborted)) return false;
        if (code == 0 && !aborted) {
            for (PathNode* node = from; node != end; node = node->next)
                if (node->toCopy == TO_COPY_YES) node->toCopy = TO_COPY_DONE;
            limit = limit > UINT32_MAX / 2 ? UINT32_MAX : limit * 2;
            continue;
        }
        if (!*shellText) {
            if (code != 0)
                snprintf(shellText, room, copyFailedFormat, code, (unsigned)code);
            else
                snprintf(shellText, room, "%s", copyInterruptedText);
        }
        settleFailedBatch(from, end, code, passStart);
        // In the window a person can cancel in the shell's dialog; an
        // unattended run has no one to cancel, so it goes on.
        if ((!silent && (code == ERROR_CANCELLED || aborted)) || driveFullCode(code)) {
            for (PathNode* node = entries->first; node; node = node->next)
                if (node->toCopy == TO_COPY_YES || node->toCopy == TO_COPY_HELD) node->toCopy = TO_COPY_FAILED;
            *stopped = true;
            return true;
        }
        limit = 1;
    }
    return true;
}

// The report of a pass, written into out when that is not NULL; returns its
// length. The shell's first failure or cancel, then the files not copied,
// then the destinations too long to copy to, one a line.
static size_t writeReport(char* out, const PathList* entries, const char* shellText) {
    size_t n = 0;
    auto put = [&](const char* text) {
        const size_t len = strlen(text);
        if (out) memcpy(out + n, text, len);
        n += len;
    };
    // One section: its header, then the text of every node listed in it.
    auto section = [&](const char* header, auto listed) {
        bool any = false;
        for (const PathNode* node = entries->first; node; node = node->next) {
            const char* text = listed(node);
            if (!text) continue;
            if (!any) {
                if (n) put("\n");
                put(header);
                any = true;
            }
            put("\n");
            put(text);
        }
    };
    put(shellText);
    section(copyFailedHeader, [](const PathNode* node) { return node->toCopy == TO_COPY_FAILED ? node->path : NULL; });
    section(copyTooLongHeader, [](const PathNode* node) { return node->lenTo > DEST_ROOM ? node->pathTo : NULL; });
    if (out) out[n] = 0;
    return n;
}

static CopyResult noMemory(char** errorText) {
    *errorText = copyText(copyNoMemoryText, sizeof copyNoMemoryText - 1);
    return COPY_NO_MEMORY;
}

CopyResult copy(PathList* entries, char** errorText, int16_t silent) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t passStart = ticksOf(now) - CHANGE_SLACK;
    for (PathNode* node = entries->first; node; node = node->next)
        if (!setDestination(node)) return noMemory(errorText);
    Destination* sorted = holdSharedDestinations(entries);
    if (!sorted) return noMemory(errorText);

    char shellText[sizeof copyFailedFormat + 32] = "";
    bool haveMemory = true, stopped = false;
    for (PathNode* node = entries->first; node && haveMemory; node = node->next) {
        entries->lenCopy -= node->len;
        // A destination longer than its room is not copied; the report names it.
        if (node->toCopy == TO_COPY_HELD)
            haveMemory = flag(entries, node, TO_COPY_HELD);
        else if (node->lenTo <= DEST_ROOM && needsCopy(node))
            haveMemory = flag(entries, node, TO_COPY_YES);
    }
    haveMemory = haveMemory && runBatches(entries, silent, passStart, shellText, sizeof shellText, &stopped);
    if (haveMemory && !stopped && settleHeld(entries, sorted))
        haveMemory = runBatches(entries, silent, passStart, shellText, sizeof shellText, &stopped);
    freeMem(sorted);
    if (!haveMemory) return noMemory(errorText);

    const size_t size = writeReport(NULL, entries, shellText);
    if (size == 0) return COPY_COMPLETE;
    *errorText = (char*)allocMem(size + 1);
    if (!*errorText) return noMemory(errorText);
    writeReport(*errorText, entries, shellText);
    return COPY_INCOMPLETE;
}
