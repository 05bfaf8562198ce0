#include "list_intr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "alloc.h"
#include "file_calls.h"
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

bool unlistable(DWORD attributes, DWORD error) {
    const DWORD junction = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return false;
    return !((attributes & junction) == junction && error == ERROR_ACCESS_DENIED);
}

// Whether path is dir or lies below it, comparing names as Windows does
// (without regard to case). dirLen counts dir without a final separator.
static bool pathIsIn(const char* path, const char* dir, size_t dirLen) {
    return strlen(path) >= dirLen && compareIgnoringCase(path, (int)dirLen, dir, (int)dirLen) == CSTR_EQUAL &&
           (!path[dirLen] || isSeparator(path[dirLen]));
}

// --- File identity ---

// Which file or directory a path leads to, links followed: the walk never
// enters a directory that is already on its path, so a link back up the
// tree cannot loop.
struct FileIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

// False when the identity is unknown: the path cannot be opened, or its file
// system gives every directory the same zero identity (some network and
// FUSE file systems do), which must never pass for a loop or a destination.
static bool identify(const char* path, FileIdentity* id) {
    HANDLE dir = openToQuery(path, 0);
    if (dir == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(dir, &info);
    CloseHandle(dir);
    if (!known || (!info.dwVolumeSerialNumber && !info.nFileIndexHigh && !info.nFileIndexLow)) return false;
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

static bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

// --- Directory walker ---

// Levels the walk goes down at most, each holding a little of the stack: a
// folder below the last is named, not walked. No path natively, and none a
// person could open on Windows, goes as deep.
constexpr int WALK_DEPTH_MAX = 2048;
static FileIdentity walkPath[WALK_DEPTH_MAX];  // the known folders the walk is in
static int walkKnown;                          // of them
static int walkDepth;                          // levels the walk is in
static FileIdentity walkDestination;           // the destination of the walk's source line
static bool walkDestinationKnown;

// Whether a name found in dir (the composed path dir\name, len bytes) is
// named instead of backed up: a path the file calls cannot take, a name
// that is no UTF-8, one that the shell's copy would take for a wildcard or
// a separator, or a folder too deep to walk.
static bool unusable(const FindRecord* found, const char* composed, size_t len, bool isDir) {
    return found->nameUnusable || strpbrk(found->cFileName, "?\\") || !pathFits(composed, len, isDir ? 4 : 0) ||
           (isDir && walkDepth >= WALK_DEPTH_MAX);
}

// Walks one folder: composed holds "dirPath\" (dirLen characters before
// the separator) in room for any name after it and "\*.*".
static bool findFAddLevel(char* composed, size_t dirLen, HANDLE enumeration, FindRecord* findData,
                          PathList* entries, PathNode** last, const char* destination, uint32_t destinationLength,
                          int16_t mode, PathList* rejected, PathNode** lastRejected) {
    const char sep = composed[dirLen];
    bool walked = true;
    do {
        const char* name = findData->cFileName;
        if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
        const DWORD attributes = findData->dwFileAttributes;
        const bool isDir = attributes & FILE_ATTRIBUTE_DIRECTORY;
        const size_t len = dirLen + 1 + strlen(name);
        memcpy(composed + dirLen + 1, name, len - dirLen);
        if (unusable(findData, composed, len, isDir)) {
            walked = addRejected(rejected, lastRejected, composed, (uint32_t)len);
        } else if (isDir) {
            composed[len] = sep;
            memcpy(composed + len + 1, "*.*", 4);
            HANDLE sub = findFirstFile(composed, findData);
            composed[len] = 0;
            if (sub == INVALID_HANDLE_VALUE) {
                if (unlistable(attributes, GetLastError()))
                    walked = addRejected(rejected, lastRejected, composed, (uint32_t)len);
                continue;
            }
            walked = findFAdd(composed, sub, findData, entries, last, destination, destinationLength, mode,
                              rejected, lastRejected);
            FindClose(sub);
        } else if ((attributes & FILE_ATTRIBUTE_DEVICE) ||
                   ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !pathExists(composed))) {
            // A fifo, socket or device has no content to back up, and a link
            // whose target is gone has none either; the shell's copy would
            // refuse them. They are listed instead.
            walked = addRejected(rejected, lastRejected, composed, (uint32_t)len);
        } else {
            walked = addEntry(entries, last, composed, (uint32_t)len, findData->ftLastWriteTime,
                              sizeOf(findData->nFileSizeHigh, findData->nFileSizeLow), mode, destination,
                              destinationLength);
        }
    } while (walked && findNextFile(enumeration, findData));
    return walked;
}

bool findFAdd(const char* dirPath, HANDLE enumeration, FindRecord* findData, PathList* entries, PathNode** last,
              const char* destination, uint32_t destinationLength, int16_t mode, PathList* rejected,
              PathNode** lastRejected) {
    if (walkDepth == 0) walkDestinationKnown = identify(destination, &walkDestination);
    // One block a level: "dirPath\" first, the folder the enumeration lists
    // (for a drive's root "R:\", never the drive's current folder that "R:"
    // stands for); then each "dirPath\name" and "dirPath\name\*.*". A root
    // that ends in its separator ("/") gets no second one.
    size_t dirLen = strlen(dirPath);
    if (dirLen && isSeparator(dirPath[dirLen - 1])) dirLen--;
    char* composed = (char*)allocMem(dirLen + 1 + NAME_BYTES + 4);
    if (!composed) return false;
    memcpy(composed, dirPath, dirLen);
    composed[dirLen] = separatorOf(dirPath);
    composed[dirLen + 1] = 0;
    FileIdentity self;
    const bool known = identify(composed, &self);
    bool walked = true, enter = true;
    if (known) {
        // The backup's own folder, met inside the source, holds backups: it
        // is not backed up into itself. A directory already on the walk
        // path is not entered again.
        enter = !(walkDestinationKnown && sameFile(self, walkDestination));
        for (int i = 0; enter && i < walkKnown; i++) enter = !sameFile(self, walkPath[i]);
    }
    if (enter) {
        if (known) walkPath[walkKnown++] = self;
        walkDepth++;
        walked = findFAddLevel(composed, dirLen, enumeration, findData, entries, last, destination,
                               destinationLength, mode, rejected, lastRejected);
        walkDepth--;
        if (known) walkKnown--;
    }
    freeMem(composed);
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
    FileIdentity destinationId;
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

// A line of 4 GiB or more would outgrow the sums as well: out of memory.
static ReaderResult rejectText(ReaderState* r, const char* text) {
    const size_t len = strlen(text);
    return len <= UINT32_MAX && addRejected(r->rejected, &r->lastRejected, text, (uint32_t)len) ? READ_DONE
                                                                                                : READ_NO_MEMORY;
}

// The full path of a list's path in the system's own form (backslashes,
// the current drive and folder resolved now), so that every query and the
// shell's copy work on the one folder the line names, whatever the current
// folder later is: in *full, a block the caller releases, or NULL when
// there is none or the file calls cannot take it, or the path as written
// (so a line longer than they take is rejected whole). READ_NO_MEMORY when
// the block cannot be allocated.
static ReaderResult fullPathOf(const char* path, char** full) {
    *full = NULL;
    if (!pathFits(path, strlen(path))) return READ_DONE;
    const DWORD room = fullPathName(path, NULL, 0);
    if (room == 0) return READ_DONE;
    char* text = (char*)allocMem(room);
    if (!text) return READ_NO_MEMORY;
    const DWORD n = fullPathName(path, text, room);
    // A device name ("C:\x\NUL") turns into the device ("\\.\NUL"), which
    // the file queries do not take for the path that exists; the line's own
    // text names it for them.
    if (n > 0 && n < room && !strncmp(text, "\\\\.\\", 4)) {
        freeMem(text);
        text = copyText(path, strlen(path));
        if (!text) return READ_NO_MEMORY;
    } else if (n == 0 || n >= room || !pathFits(text, n)) {
        freeMem(text);
        return READ_DONE;
    }
    *full = text;
    return READ_DONE;
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

    char* full;
    ReaderResult result = fullPathOf(path, &full);
    if (result != READ_DONE) return result;
    if (!full || !pathExists(full)) {
        freeMem(full);
        return rejectText(r, path);
    }
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!fileAttributes(full, &attributes)) {
        result = READ_NO_ATTRIBUTES;
    } else if (!(attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        result = rejectText(r, path);
    } else {
        const uint32_t len = (uint32_t)strlen(full);
        char* destination = (char*)allocMem(len + 2);
        if (destination) {
            memcpy(destination, full, len);
            destination[len] = separatorOf(full);
            r->destinationLength = isSeparator(full[len - 1]) ? len : len + 1;
            destination[r->destinationLength] = 0;
            r->destination = destination;
            r->destinationKnown = identify(destination, &r->destinationId);
        }
        result = destination ? READ_DONE : READ_NO_MEMORY;
    }
    freeMem(full);
    return result;
}

// Whether a source is the destination folder or lies inside it: its
// backups would then be backed up into themselves, one level deeper every
// run. Compared by identity, the source's and each folder's above it (so
// that case, short names and links count), or by the full path where the
// destination's identity is unknown. Each folder above is asked for by
// ending full there for a moment.
static bool insideDestination(const ReaderState* r, char* full) {
    if (!r->destinationKnown) return pathIsIn(full, r->destination, r->destinationLength - 1);
    for (size_t n = strlen(full);;) {
        const char kept = full[n];
        full[n] = 0;
        FileIdentity id;
        const bool inside = identify(full, &id) && sameFile(id, r->destinationId);
        full[n] = kept;
        if (inside) return true;
        size_t cut = n;
        while (cut > 0 && !isSeparator(full[cut - 1])) cut--;
        if (cut == 0) return false;
        // Up to the folder above, keeping the separator of a root ("C:\", "/").
        size_t up = cut - 1;
        if (up == 0 || (up == 2 && full[1] == ':')) up = cut;
        // A network path ends its climb at \\server\share.
        if (up >= n || (up < 2 && isSeparator(full[0]) && isSeparator(full[1]))) return false;
        n = up;
    }
}

static ReaderResult readSourceDirectory(ReaderState* r, char* path, uint32_t len, DWORD attributes,
                                        int16_t mode) {
    char* pattern = (char*)allocMem(len + 5);
    if (!pattern) return READ_NO_MEMORY;
    snprintf(pattern, len + 5, "%s%c*.*", path, separatorOf(path));
    FindRecord findData;
    HANDLE enumeration = findFirstFile(pattern, &findData);
    freeMem(pattern);
    if (enumeration == INVALID_HANDLE_VALUE)
        return unlistable(attributes, GetLastError()) ? rejectText(r, path) : READ_DONE;
    bool walked = findFAdd(path, enumeration, &findData, r->entries, &r->lastEntry, r->destination,
                           r->destinationLength, mode, r->rejected, &r->lastRejected);
    FindClose(enumeration);
    return walked ? READ_DONE : READ_NO_MEMORY;
}

// Whether a list's path is taken: '?' is a wildcard to the shell's copy,
// and U+FFFD stands for bytes of the list that were no character.
static bool usableText(const char* path) { return !strchr(path, '?') && !strstr(path, "\xEF\xBF\xBD"); }

// The source line's full path (in full, which it owns) is taken as an
// entry, walked as a folder, or rejected.
static ReaderResult readSource(ReaderState* r, const char* path, char* full, int16_t mode) {
    if (!pathExists(full)) return rejectText(r, path);
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!fileAttributes(full, &attributes)) return READ_NO_ATTRIBUTES;
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

static ReaderResult readSourceLine(ReaderState* r, char* line) {
    if (!r->destination) return rejectText(r, line);
    int16_t mode = r->defaultMode;
    char* path = afterModeMarker(line, &mode);
    if (path)
        path += strspn(path, blanks);
    else
        path = line;  // leading blanks belong to the path

    if (!usableText(path)) return rejectText(r, path);
    char* full;
    ReaderResult result = fullPathOf(path, &full);
    if (result != READ_DONE) return result;
    result = full ? readSource(r, path, full, mode) : rejectText(r, path);
    freeMem(full);
    return result;
}

ReaderResult ReadPaths(PathList* entries, PathList* rejected) {
    ListText list;
    ReaderResult result = loadListText(listFileName, &list);
    if (result != READ_DONE) return result;

    ReaderState r = {entries, rejected, NULL, NULL, NULL, 0, {}, false, 1};
    char* line;
    while (result == READ_DONE && (line = nextListLine(&list))) {
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

// Whether a path is full and plain: a drive's or a network path, or natively
// a POSIX one, with no "." or ".." part. Such a path is mirrored as it is:
// making it full once more would drop what Windows drops from a plain name,
// the '.' or ' ' it ends with.
static bool fullAndPlain(const char* path) {
    const bool full = isSeparator(path[0]) || (path[0] && path[1] == ':' && isSeparator(path[2]));
    if (!full) return false;
    for (const char* p = path; *p; p++)
        if (*p == '.' && (p == path || isSeparator(p[-1]))) {
            const char* end = p + (p[1] == '.' ? 2 : 1);
            if (!*end || isSeparator(*end)) return false;
        }
    return true;
}

// Gives the entry its full destination path in place of its destination
// directory. A source is mirrored from its full path, so that no ".." of it
// can climb out of the destination. False when out of memory: the entry
// then has no pathTo.
static bool setDestination(PathNode* node) {
    char* made = NULL;
    const char* source = node->path;
    if (!fullAndPlain(source)) {
        const DWORD room = fullPathName(source, NULL, 0);
        made = room ? (char*)allocMem(room) : NULL;
        if (room && !made) {
            freeMem(node->pathTo);
            node->pathTo = NULL;
            node->lenTo = 0;
            return false;
        }
        if (made && fullPathName(source, made, room) - 1 < room - 1) source = made;
    }
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
    freeMem(made);
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
    if (!fileAttributes(node->pathTo, &copied)) return !pathExists(node->pathTo);
    node->timeTo = copied.ftLastWriteTime;
    return !isBackupOf(copied, node->timeFrom, node->sizeFrom);
}

// --- Copies put in place only when whole ---

// Every copy is written under a temporary name in its backup's folder, and
// renamed over the backup only once it is whole: a copy that fails half way
// (a full drive, a file held open, a drive pulled out) never costs the
// previous backup, and nothing half written ever stands under a file's own
// name. The temporary name is the backup's with this ending; where that
// would pass the 255 characters a name may have (NTFS, FAT32, exFAT: UTF-16
// units; Linux: bytes; counted in bytes, never fewer), "~qv", the name's
// hash in 16 hex digits, and the ending. A run that dies leaves such a file
// behind: the next copy of its file writes over it.
static const char tempEnding[] = ".~qvtmp";
constexpr size_t TEMP_ENDING_LEN = sizeof tempEnding - 1;
constexpr size_t NAME_MAX_LEN = 255;
// Bytes a temporary path may have beyond its backup's path.
constexpr size_t TEMP_EXTRA = 3 + 16 + TEMP_ENDING_LEN;

// Bytes the longest path within PATH_LIMIT may take: UTF-8 takes at most
// three bytes for a UTF-16 unit.
#ifdef _WIN32
constexpr size_t PATH_BYTES = 3 * PATH_LIMIT;
#else
constexpr size_t PATH_BYTES = PATH_LIMIT;
#endif
// The temporary path of the file being copied: the program has one thread.
static char tempPath[PATH_BYTES + TEMP_EXTRA + 1];

static const char* lastName(const char* path) {
    const char* name = path + strlen(path);
    while (name > path && !isSeparator(name[-1])) name--;
    return name;
}

static uint64_t fnv1a(const char* text, bool foldAscii) {
    uint64_t h = 14695981039346656037ULL;
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
        if (foldAscii && *p >= 0x80) continue;
        h = (h ^ (foldAscii && *p >= 'A' && *p <= 'Z' ? *p + 32u : *p)) * 1099511628211ULL;
    }
    return h;
}

// The entry's temporary path, in tempPath.
static const char* tempPathOf(const PathNode* node) {
    const char* name = lastName(node->pathTo);
    const size_t folderLen = (size_t)(name - node->pathTo), nameLen = node->lenTo - folderLen;
    memcpy(tempPath, node->pathTo, folderLen);
    size_t n = folderLen;
    if (nameLen + TEMP_ENDING_LEN <= NAME_MAX_LEN) {
        memcpy(tempPath + n, name, nameLen);
        n += nameLen;
    } else {
        n += (size_t)snprintf(tempPath + n, 20, "~qv%016llx", (unsigned long long)fnv1a(name, false));
    }
    memcpy(tempPath + n, tempEnding, TEMP_ENDING_LEN + 1);
    return tempPath;
}

// Whether the entry's destination, and its temporary path, are within what
// the file calls take.
static bool destinationFits(const PathNode* node) { return pathFits(node->pathTo, node->lenTo, TEMP_EXTRA); }

// --- What a destination folder holds ---

// Over a network drive a question about one file costs a round trip, and a
// folder's listing brings many files in a few. A "<+d>" entry is decided
// from the listing of its destination folder where that settles it. The
// walker makes a folder's entries one after another, so that one listing
// serves the run of them. Only what the run's entries need of it is kept,
// and that is released before the next folder: memory stays bounded by the
// largest folder, a few bytes an entry.

// A run this short is asked about file by file: opening, reading and
// closing a listing costs as many round trips.
static constexpr uint32_t LISTED_RUN_MIN = 4;
// A folder whose files and subfolders interleave ends its run at each
// subfolder; listed once a run, a large one would be read over and over.
// Past this many files an entry of the run, the run is asked about file by
// file instead.
static constexpr uint32_t LISTED_PER_ENTRY = 64;

// What the listing showed of an entry's destination.
enum Listed : uint8_t {
    LISTED_UNSHOWN,  // nothing under its own name, or a link: the drive is asked
    LISTED_BACKUP,   // its source's backup
    LISTED_STALE,    // another file, or a folder
};

struct RunEntry {
    PathNode* node;
    Listed listed;
};

struct FolderListing {
    const char* folder;  // the folder of the run, with its separator: the start of an entry's pathTo; NULL: none
    size_t folderLen;
    RunEntry* run;       // the entries the listing decides, sorted by name; NULL: asked about file by file
    uint32_t count;
    const char* missing;  // the last folder found not to exist, as folder is; NULL: none
    size_t missingLen;
};

static void releaseListing(FolderListing* listing) {
    freeMem(listing->run);
    listing->folder = NULL;
    listing->run = NULL;
    listing->count = 0;
}

// Whether the entry's destination lies in the folder (folderLen bytes, its
// separator included), not below it.
static bool inFolder(const PathNode* node, const char* folder, size_t folderLen) {
    return node->lenTo > folderLen && !memcmp(node->pathTo, folder, folderLen) &&
           !strpbrk(node->pathTo + folderLen, "\\/");
}

// Whether the entry's destination lies in or below a folder that does not
// exist: nothing is copied before every entry is decided, so none of it is
// there.
static bool belowMissing(const PathNode* node, const FolderListing* listing) {
    return listing->missing && node->lenTo > listing->missingLen &&
           !memcmp(node->pathTo, listing->missing, listing->missingLen);
}

// The entries the copy pass asks about: the ones needsCopy would be asked.
static bool decidedHere(const PathNode* node) {
    return node->checkDate && node->toCopy != TO_COPY_HELD && destinationFits(node);
}

// The entries of a run share their folder: their destinations sort as their names.
static int compareRun(const void* a, const void* b) {
    return strcmp(((const RunEntry*)a)->node->pathTo, ((const RunEntry*)b)->node->pathTo);
}

struct FoundName {
    const char* name;
    size_t folderLen;
};

static int compareFound(const void* found, const void* entry) {
    const FoundName* key = (const FoundName*)found;
    return strcmp(key->name, ((const RunEntry*)entry)->node->pathTo + key->folderLen);
}

// Decides every entry of the run named as the file found (a file the list
// names twice has two).
static void decideFound(FolderListing* listing, const FindRecord* found) {
    const FoundName key = {found->cFileName, listing->folderLen};
    RunEntry* hit = (RunEntry*)bsearch(&key, listing->run, listing->count, sizeof *listing->run, compareFound);
    if (!hit || (found->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
    while (hit > listing->run && !compareFound(&key, hit - 1)) hit--;
    WIN32_FILE_ATTRIBUTE_DATA copied = {};
    copied.dwFileAttributes = found->dwFileAttributes;
    copied.ftLastWriteTime = found->ftLastWriteTime;
    copied.nFileSizeHigh = found->nFileSizeHigh;
    copied.nFileSizeLow = found->nFileSizeLow;
    for (; hit < listing->run + listing->count && !compareFound(&key, hit); hit++) {
        hit->node->timeTo = copied.ftLastWriteTime;
        hit->listed = isBackupOf(copied, hit->node->timeFrom, hit->node->sizeFrom) ? LISTED_BACKUP : LISTED_STALE;
    }
}

// Lists the destination folder of node (folderLen bytes, its separator
// included) for the run of entries in it from node on. A short run, a
// folder that cannot be listed and one far larger than its run are left
// unlisted; a folder that does not exist is remembered. False when out of
// memory.
static bool listFolder(PathNode* node, size_t folderLen, FolderListing* listing) {
    listing->folder = node->pathTo;
    listing->folderLen = folderLen;
    uint32_t count = 0;
    for (const PathNode* next = node; next && inFolder(next, node->pathTo, folderLen); next = next->next)
        if (decidedHere(next) && ++count == UINT32_MAX / LISTED_PER_ENTRY) break;
    if (count < LISTED_RUN_MIN) return true;
    // "folder\*", written over the name for a moment.
    char* name = node->pathTo + folderLen;
    const char kept[2] = {name[0], name[1]};
    name[0] = '*';
    name[1] = 0;
    FindRecord found;
    HANDLE enumeration = findFirstFile(node->pathTo, &found);
    const DWORD error = GetLastError();
    name[0] = kept[0];
    name[1] = kept[1];
    if (enumeration == INVALID_HANDLE_VALUE) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            listing->missing = node->pathTo;
            listing->missingLen = folderLen;
        }
        return true;
    }
    listing->run = (RunEntry*)allocMem((size_t)count * sizeof *listing->run);
    if (!listing->run) {
        FindClose(enumeration);
        return false;
    }
    for (PathNode* next = node; listing->count < count; next = next->next)
        if (decidedHere(next)) listing->run[listing->count++] = {next, LISTED_UNSHOWN};
    qsort(listing->run, count, sizeof *listing->run, compareRun);
    uint64_t seen = 0;
    bool whole = true;
    do {
        // A name no UTF-8 holds is no entry's.
        if (found.nameUnusable || !strcmp(found.cFileName, ".") || !strcmp(found.cFileName, "..")) continue;
        whole = ++seen <= (uint64_t)count * LISTED_PER_ENTRY;
        if (whole) decideFound(listing, &found);
    } while (whole && findNextFile(enumeration, &found));
    FindClose(enumeration);
    if (!whole) {
        const char* folder = listing->folder;
        releaseListing(listing);
        listing->folder = folder;
    }
    return true;
}

// The run's record of the entry; NULL when the run holds none.
static const RunEntry* runEntryOf(const FolderListing* listing, PathNode* node) {
    if (!listing->run) return NULL;
    const RunEntry key = {node, LISTED_UNSHOWN}, *end = listing->run + listing->count;
    const RunEntry* entry = (const RunEntry*)bsearch(&key, listing->run, listing->count, sizeof key, compareRun);
    if (!entry) return NULL;
    while (entry > listing->run && !compareRun(&key, entry - 1)) entry--;
    for (; entry < end && !compareRun(&key, entry); entry++)
        if (entry->node == node) return entry;
    return NULL;
}

// needsCopy's answer, from the listing of the entry's destination folder
// where that settles it: no question about a file below a folder that does
// not exist, nor about one the listing shows under its own name, which
// every drive finds first. Where it shows none, a drive that ignores case
// may find another spelling, Windows a short name: the file is asked about.
// False when out of memory.
static bool needsCopyListed(PathNode* node, FolderListing* listing, bool* copyIt) {
    const size_t folderLen = (size_t)(lastName(node->pathTo) - node->pathTo);
    const bool listable = node->checkDate && folderLen;
    if (listable && !(listing->folder && inFolder(node, listing->folder, listing->folderLen))) {
        releaseListing(listing);
        if (!belowMissing(node, listing) && !listFolder(node, folderLen, listing)) return false;
    }
    const RunEntry* entry = listable ? runEntryOf(listing, node) : NULL;
    const Listed listed = entry ? entry->listed : LISTED_UNSHOWN;
    if (listable && belowMissing(node, listing))
        *copyIt = true;
    else if (listed != LISTED_UNSHOWN)
        *copyIt = listed == LISTED_STALE;
    else
        *copyIt = needsCopy(node);
    return true;
}

// How a file to be copied is copied: in the shell's batch, which shows the
// window's progress and handles many files at once, where it can take its
// source and its temporary path; else on its own.
static ToCopy copyWay(const PathNode* node) {
    return shellTakes(node->path, false) && shellTakes(tempPathOf(node), true) ? TO_COPY_YES : TO_COPY_DIRECT;
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
// but named. A file named twice is held back too: both would write one
// temporary file, and one copy serves both. They are found by sorting the
// destinations, first by a hash that any two spellings of one name share
// (ASCII letters folded, every other byte left out), then as Windows
// compares names.
struct Destination {
    uint64_t hash;
    PathNode* node;
    uint32_t order;   // in the list: the first of equal destinations owns the copy
    PathNode* owner;  // that first entry, when node is held back for it
};

static uint64_t foldedHash(const char* path) { return fnv1a(path, true); }

static int compareNames(const Destination& a, const Destination& b) {
    if (a.hash != b.hash) return a.hash < b.hash ? -1 : 1;
    return compareIgnoringCase(a.node->pathTo, -1, b.node->pathTo, -1) - CSTR_EQUAL;
}

static int compareDestinations(const void* a, const void* b) {
    const Destination& x = *(const Destination*)a;
    const Destination& y = *(const Destination*)b;
    const int byName = compareNames(x, y);
    return byName ? byName : x.order < y.order ? -1 : x.order > y.order;
}

// The entries sorted by destination, in a block the caller releases; NULL
// when out of memory. Every entry that shares its destination with an
// earlier one is held back (TO_COPY_HELD).
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
        } else {
            sorted[k].node->toCopy = TO_COPY_HELD;
            sorted[k].owner = sorted[first].node;
        }
    }
    return sorted;
}

// Whether every name of path from byte `from` on is listed by its folder
// under exactly its own spelling. A drive that ignores case finds a path by
// any spelling, but lists each name as it was made.
static bool listedAsSpelled(const char* path, size_t from) {
    const size_t len = strlen(path);
    for (size_t start = 0, end; start < len; start = end + 1) {
        for (end = start; end < len && !isSeparator(path[end]);) end++;
        if (start == 0 || end <= from) continue;  // the root, or a name both spellings share
        memcpy(tempPath, path, start);
        memcpy(tempPath + start, "*", 2);
        FindRecord found;
        HANDLE listing = findFirstFile(tempPath, &found);
        if (listing == INVALID_HANDLE_VALUE) return false;
        bool listed;
        do {
            listed = strlen(found.cFileName) == end - start && !memcmp(found.cFileName, path + start, end - start);
        } while (!listed && findNextFile(listing, &found));
        FindClose(listing);
        if (!listed) return false;
    }
    return true;
}

// Whether two destinations that differ only in case are one file on their
// drive. Their identities tell where the drive keeps one a file (NTFS);
// some drives give every spelling asked for an identity of its own (FUSE
// file systems number names, not files), and there a spelling that reaches
// a file its folder lists under another name tells. Where neither copy
// exists nothing tells: they are taken for one.
static bool oneFile(const char* owner, const char* held) {
    FileIdentity a, b;
    if (identify(owner, &a) && identify(held, &b) && sameFile(a, b)) return true;
    size_t from = 0;
    while (owner[from] && owner[from] == held[from]) from++;
    const bool ownerExists = pathExists(owner), heldExists = pathExists(held);
    return (!ownerExists && !heldExists) || (ownerExists && !listedAsSpelled(owner, from)) ||
           (heldExists && !listedAsSpelled(held, from));
}

// The held entries once the batches are done: one whose destination is
// another source's copy is not copied; one of the same source shares what
// the copy of the earlier entry came to; every other is flagged as any
// entry is. True when any was flagged for copying.
static bool settleHeld(PathList* entries, const Destination* sorted) {
    bool any = false;
    for (uint32_t k = 0; k < entries->count; k++) {
        PathNode* node = sorted[k].node;
        const PathNode* owner = sorted[k].owner;
        if (!owner) continue;
        const bool one = oneFile(owner->pathTo, node->pathTo);
        if (one && strcmp(node->path, owner->path)) {
            node->toCopy = TO_COPY_FAILED;
        } else if (one && owner->toCopy != TO_COPY_NO) {
            node->toCopy = owner->toCopy;
        } else if (destinationFits(node) && needsCopy(node)) {
            node->toCopy = copyWay(node);
            any = true;
        } else {
            unflag(entries, node);
        }
    }
    return any;
}

// --- Batches ---

// The first failure's text: the code, or the cancel (code 0) or a copy
// that was not whole (a negative one).
static void noteFailure(int code, char* text, size_t room) {
    if (*text) return;
    if (code > 0)
        snprintf(text, room, copyFailedFormat, code, (unsigned)code);
    else
        snprintf(text, room, "%s", copyInterruptedText);
}

// The entry is not copied: it is named, and its temporary file, whatever
// part of a copy it holds, is removed.
static void notCopied(PathNode* node) {
    node->toCopy = TO_COPY_FAILED;
    deleteFile(tempPathOf(node));
}

// Whether the copy at the entry's temporary path (in tempPath) is whole: its
// source's backup by size and time, as the source was when the entry was
// made, or, where it changed since, as it is now. A copy that failed half
// way is short, or bears the time of its last write.
static bool wholeCopy(const PathNode* node) {
    WIN32_FILE_ATTRIBUTE_DATA copied, source;
    if (!fileAttributes(tempPath, &copied)) return false;
    return isBackupOf(copied, node->timeFrom, node->sizeFrom) ||
           (fileAttributes(node->path, &source) &&
            isBackupOf(copied, source.ftLastWriteTime, sizeOf(source.nFileSizeHigh, source.nFileSizeLow)));
}

// Renames the whole copy at the entry's temporary path (in tempPath) over
// its backup (TO_COPY_DONE); where that fails, the entry is not copied, and
// text gets the first failure.
static void placeWhole(PathNode* node, char* text, size_t room) {
    if (moveFileOver(tempPath, node->pathTo)) {
        node->toCopy = TO_COPY_DONE;
        return;
    }
    noteFailure((int)GetLastError(), text, room);
    notCopied(node);
}

// Puts the copy at the entry's temporary path in place of its backup when
// it is whole; else the entry is not copied, and text gets the first failure.
static void putInPlace(PathNode* node, char* text, size_t room) {
    tempPathOf(node);
    if (wholeCopy(node)) {
        placeWhole(node, text, room);
        return;
    }
    noteFailure(-1, text, room);
    notCopied(node);
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
// still in the batch, each to its temporary path: *code is what it
// returned, *aborted whether it reports a cancel. False when out of memory.
static bool copyBatch(PathNode* from, PathNode* end, int16_t silent, int* code, bool* aborted) {
    // One NUL after each name and one after the last. Summed wide: the
    // buffers can never be sized short.
    uint64_t fromSize = 1, toSize = 1;
    for (const PathNode* node = from; node != end; node = node->next) {
        if (node->toCopy != TO_COPY_YES) continue;
        fromSize += node->len + 1;
        toSize += node->lenTo + TEMP_EXTRA + 1;
    }
    if (fromSize > SIZE_MAX / 2 || toSize > SIZE_MAX / 2) return false;
    char* fromNames = (char*)allocMem((size_t)fromSize);
    char* toNames = (char*)allocMem((size_t)toSize);
    bool haveMemory = fromNames && toNames;
    if (haveMemory) {
        char* f = fromNames;
        char* t = toNames;
        for (const PathNode* node = from; node != end; node = node->next) {
            if (node->toCopy != TO_COPY_YES) continue;
            memcpy(f, node->path, node->len + 1);
            f += node->len + 1;
            const size_t n = strlen(tempPathOf(node)) + 1;
            memcpy(t, tempPath, n);
            t += n;
        }
        *f = 0;
        *t = 0;
        *code = shellCopy(fromNames, toNames, silent ? 0x0615 : 0x0211, aborted);
        haveMemory = *code != SHELL_NO_MEMORY;
    }
    freeMem(fromNames);
    freeMem(toNames);
    return haveMemory;
}

// After the batch from `from` up to `end` failed: each whole copy it left
// is put in place, and it stopped at the first file it did not copy whole,
// which is not copied; the files after that go into the next batches. When
// the shell said a source is missing, it may have copied nothing at all:
// every file whose source is gone is not copied, and every other one goes
// again.
static void settleFailedBatch(PathNode* from, PathNode* end, int code, char* text, size_t room) {
    const bool sourceMissing = sourceMissingCode(code);
    bool sourceGone = false;
    PathNode* stopped = NULL;
    for (PathNode* node = from; node != end; node = node->next) {
        if (node->toCopy != TO_COPY_YES) continue;
        tempPathOf(node);
        if (wholeCopy(node)) {
            placeWhole(node, text, room);
        } else if (sourceMissing && !pathExists(node->path)) {
            notCopied(node);
            sourceGone = true;
        } else if (!stopped) {
            stopped = node;
        }
    }
    if (stopped && !sourceGone) notCopied(stopped);
}

// Ends the pass: every file still to be copied is named as not copied.
static void stopPass(PathList* entries) {
    for (PathNode* node = entries->first; node; node = node->next)
        if (node->toCopy == TO_COPY_YES || node->toCopy == TO_COPY_DIRECT) notCopied(node);
        else if (node->toCopy == TO_COPY_HELD) node->toCopy = TO_COPY_FAILED;
}

// Copies the files flagged TO_COPY_YES: in one batch while none fails. After
// a failure the batches start again at one file and double with each that
// succeeds, so that many failing files cost a small multiple of a run
// without them. A cancel in the window or a full drive ends the pass: every
// file not copied then is named. shellText receives the first failure's
// text. False when out of memory; *stopped tells an ended pass.
static bool runBatches(PathList* entries, int16_t silent, char* shellText, size_t room, bool* stopped) {
    uint32_t limit = UINT32_MAX;
    for (PathNode* from = firstInBatch(entries->first); from; from = firstInBatch(from)) {
        PathNode* end = batchEnd(from, limit);
        int code = 0;
        bool aborted = false;
        if (!copyBatch(from, end, silent, &code, &aborted)) return false;
        if (code == 0 && !aborted) {
            for (PathNode* node = from; node != end; node = node->next)
                if (node->toCopy == TO_COPY_YES) putInPlace(node, shellText, room);
            limit = limit > UINT32_MAX / 2 ? UINT32_MAX : limit * 2;
            continue;
        }
        noteFailure(code, shellText, room);
        settleFailedBatch(from, end, code, shellText, room);
        // In the window a person can cancel in the shell's dialog; an
        // unattended run has no one to cancel, so it goes on.
        if ((!silent && (code == ERROR_CANCELLED || aborted)) || driveFullCode(code)) {
            stopPass(entries);
            *stopped = true;
            return true;
        }
        limit = 1;
    }
    return true;
}

// Makes the missing folders of a destination file, from the deepest one
// that exists down, as the shell's copy does; path is ended at each folder
// for a moment. Most files share their folder with the file before: one
// query then.
static bool makeFoldersOf(char* path) {
    char* name = (char*)lastName(path);
    if (name == path) return true;
    char* separator = name - 1;
    const char kept = *separator;
    *separator = 0;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    const bool made = (fileAttributes(path, &attributes) && (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ||
                      (makeFoldersOf(path) && createFolder(path));
    *separator = kept;
    return made;
}

// Copies the files flagged TO_COPY_DIRECT, the ones the shell's batch
// cannot be handed, one by one, each to its temporary path and then in
// place. A full drive ends the pass as in the batches.
static void copyDirectly(PathList* entries, char* shellText, size_t room, bool* stopped) {
    for (PathNode* node = entries->first; node; node = node->next) {
        if (node->toCopy != TO_COPY_DIRECT) continue;
        if (makeFoldersOf(node->pathTo) && copyFileOver(node->path, tempPathOf(node))) {
            putInPlace(node, shellText, room);
            continue;
        }
        const int code = (int)GetLastError();
        notCopied(node);
        noteFailure(code, shellText, room);
        if (driveFullCode(code)) {
            stopPass(entries);
            *stopped = true;
            return;
        }
    }
}

// The shell's batches, then the direct copies (none are left when the
// batches ended the pass). False when out of memory.
static bool copyFlagged(PathList* entries, int16_t silent, char* shellText, size_t room, bool* stopped) {
    if (!runBatches(entries, silent, shellText, room, stopped)) return false;
    copyDirectly(entries, shellText, room, stopped);
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
    section(copyTooLongHeader, [](const PathNode* node) { return destinationFits(node) ? NULL : node->pathTo; });
    if (out) out[n] = 0;
    return n;
}

static CopyResult noMemory(char** errorText) {
    *errorText = copyText(copyNoMemoryText, sizeof copyNoMemoryText - 1);
    return COPY_NO_MEMORY;
}

CopyResult copy(PathList* entries, char** errorText, int16_t silent) {
    for (PathNode* node = entries->first; node; node = node->next)
        if (!setDestination(node)) return noMemory(errorText);
    Destination* sorted = holdSharedDestinations(entries);
    if (!sorted) return noMemory(errorText);

    char shellText[sizeof copyFailedFormat + 32] = "";
    bool haveMemory = true, stopped = false;
    FolderListing listing = {};
    for (PathNode* node = entries->first; node && haveMemory; node = node->next) {
        entries->lenCopy -= node->len;
        // A destination the file calls cannot take is not copied; the report names it.
        if (node->toCopy == TO_COPY_HELD) {
            haveMemory = flag(entries, node, TO_COPY_HELD);
        } else if (destinationFits(node)) {
            bool copyIt = false;
            haveMemory = needsCopyListed(node, &listing, &copyIt);
            if (haveMemory && copyIt) haveMemory = flag(entries, node, copyWay(node));
        }
    }
    releaseListing(&listing);
    haveMemory = haveMemory && copyFlagged(entries, silent, shellText, sizeof shellText, &stopped);
    if (haveMemory && !stopped && settleHeld(entries, sorted))
        haveMemory = copyFlagged(entries, silent, shellText, sizeof shellText, &stopped);
    freeMem(sorted);
    if (!haveMemory) return noMemory(errorText);

    const size_t size = writeReport(NULL, entries, shellText);
    if (size == 0) return COPY_COMPLETE;
    *errorText = (char*)allocMem(size + 1);
    if (!*errorText) return noMemory(errorText);
    writeReport(*errorText, entries, shellText);
    return COPY_INCOMPLETE;
}
