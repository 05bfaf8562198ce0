#include "list_intr.h"

#include <stdio.h>
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

static_assert(textChars(copyNoMemoryText) == 12, "no-memory text");
static_assert(textChars(copyFailedFormat) == 47, "copy failure format");

void initPaths(PathList* entries, PathList* rejected) {
    memset(entries, 0, sizeof *entries);
    memset(rejected, 0, sizeof *rejected);
}

static void freeList(PathList* list) {
    PathNode* node = list->first;
    while (node) {
        PathNode* next = node->next;
        freeMem(node->path);
        freeMem(node->pathTo);
        freeMem(node);
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
        freeMem(node->path);
        freeMem(node->pathTo);
        freeMem(node);
        return NULL;
    }
    node->len = len;
    node->lenTo = pathTo ? lenTo : 0;
    return node;
}

static void linkNode(PathList* list, PathNode** last, PathNode* node) {
    if (*last)
        (*last)->next = node;
    else
        list->first = node;
    *last = node;
    list->count++;
    list->lenAll += node->len;
}

static bool addRejected(PathList* rejected, PathNode** last, const char* text, uint32_t len) {
    PathNode* node = makeNode(text, len, NULL, 0);
    if (!node) return false;
    linkNode(rejected, last, node);
    return true;
}

static bool addEntry(PathList* entries, PathNode** last, const char* path, uint32_t len,
                     FILETIME time, int16_t mode, const char* destination, uint32_t destinationLength) {
    PathNode* node = makeNode(path, len, destination, destinationLength);
    if (!node) return false;
    node->timeFrom = time;
    node->checkDate = mode;
    linkNode(entries, last, node);
    entries->lenCopy += len;
    return true;
}

// --- Directory walker ---

// Which directory a path leads to, links followed: the walk never enters one
// that is already on its path, so a link back up the tree cannot loop.
struct DirIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

static bool identifyDir(const char* path, DirIdentity* id) {
    HANDLE dir = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (dir == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(dir, &info);
    CloseHandle(dir);
    if (known) *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return known;
}

static bool sameDir(const DirIdentity& a, const DirIdentity& b) {
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

// Every level adds at least "\x" to a path of at most LINE_ROOM characters.
static DirIdentity walkPath[LINE_ROOM / 2 + 1];
static int walkDepth;
static DirIdentity walkDestination;  // the destination of the walk's source line
static bool walkDestinationKnown;

// Lists "dirPath\name" among the rejected lines: a path the walker cannot
// compose in its room, or a name the shell's copy would take for a wildcard.
static bool rejectComposed(PathList* rejected, PathNode** last, const char* dirPath, size_t dirLen,
                           const char* name) {
    char text[LINE_ROOM + 1 + MAX_PATH];  // a directory path, '\', a name and its NUL
    int len = snprintf(text, sizeof text, "%.*s\\%s", (int)dirLen, dirPath, name);
    return addRejected(rejected, last, text, (uint32_t)len);
}

static bool findFAddLevel(const char* dirPath, HANDLE enumeration, WIN32_FIND_DATAA* findData,
                          PathList* entries, PathNode** last, const char* destination,
                          uint32_t destinationLength, int16_t mode, PathList* rejected,
                          PathNode** lastRejected) {
    const size_t dirLen = strlen(dirPath);
    char subPath[LINE_ROOM + 1];
    char subPattern[LINE_ROOM + 1];
    char filePath[LINE_ROOM + 1];
    do {
        const char* name = findData->cFileName;
        if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
        const bool isDir = findData->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        // "dir\name", and "dir\name\*.*" for a directory
        const size_t need = dirLen + 1 + strlen(name) + (isDir ? 4 : 0);
        if (need > LINE_ROOM || strpbrk(name, "?\\")) {
            if (!rejectComposed(rejected, lastRejected, dirPath, dirLen, name)) return false;
            continue;
        }
        if (isDir) {
            int subLen = snprintf(subPath, sizeof subPath, "%s\\%s", dirPath, name);
            memcpy(subPattern, subPath, (size_t)subLen);
            memcpy(subPattern + subLen, "\\*.*", 5);
            HANDLE sub = FindFirstFileA(subPattern, findData);
            if (sub == INVALID_HANDLE_VALUE) continue;  // not enumerable: nothing to add
            bool walked = findFAdd(subPath, sub, findData, entries, last, destination,
                                   destinationLength, mode, rejected, lastRejected);
            FindClose(sub);
            if (!walked) return false;
        } else {
            int len = snprintf(filePath, sizeof filePath, "%s\\%s", dirPath, name);
            // A link whose target is gone has nothing to copy, and the shell's
            // copy would fail the whole batch on it: it is listed instead.
            if ((findData->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !PathFileExistsA(filePath)) {
                if (!addRejected(rejected, lastRejected, filePath, (uint32_t)len)) return false;
                continue;
            }
            if (!addEntry(entries, last, filePath, (uint32_t)len, findData->ftLastWriteTime, mode,
                          destination, destinationLength))
                return false;
        }
    } while (FindNextFileA(enumeration, findData));
    return true;
}

bool findFAdd(const char* dirPath, HANDLE enumeration, WIN32_FIND_DATAA* findData,
              PathList* entries, PathNode** last, const char* destination,
              uint32_t destinationLength, int16_t mode, PathList* rejected,
              PathNode** lastRejected) {
    if (walkDepth == 0) walkDestinationKnown = identifyDir(destination, &walkDestination);
    DirIdentity self;
    const bool known = identifyDir(dirPath, &self);
    if (known) {
        // The backup's own folder is never backed up into itself, and a
        // directory already on the walk path is not entered again.
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
    char* destination;  // ends in a backslash; NULL while no destination is in force
    uint32_t destinationLength;
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

static ReaderResult readDestinationLine(ReaderState* r, char* afterDirMarker) {
    freeMem(r->destination);
    r->destination = NULL;
    r->destinationLength = 0;

    r->defaultMode = 1;
    char* path = afterModeMarker(afterDirMarker, &r->defaultMode);
    if (!path) path = afterDirMarker;
    path += strspn(path, blanks);
    if (!*path) return READ_DONE;

    const uint32_t len = (uint32_t)strlen(path);
    if (PathFileExistsA(path)) {
        WIN32_FILE_ATTRIBUTE_DATA attributes;
        if (!GetFileAttributesExA(path, GetFileExInfoStandard, &attributes)) return READ_NO_ATTRIBUTES;
        if (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            const bool hasBackslash = path[len - 1] == '\\';
            char* destination = (char*)allocMem(len + 2);
            if (!destination) return READ_NO_MEMORY;
            memcpy(destination, path, len);
            destination[len] = '\\';
            r->destinationLength = hasBackslash ? len : len + 1;
            destination[r->destinationLength] = 0;
            r->destination = destination;
            return READ_DONE;
        }
    }
    return addRejected(r->rejected, &r->lastRejected, path, len) ? READ_DONE : READ_NO_MEMORY;
}

static ReaderResult readSourceDirectory(ReaderState* r, char* path, uint32_t len, int16_t mode) {
    if (len > 0 && path[len - 1] == '\\') path[--len] = 0;
    char* pattern = (char*)allocMem(len + 5);
    if (!pattern) return READ_NO_MEMORY;
    snprintf(pattern, len + 5, "%s\\*.*", path);
    WIN32_FIND_DATAA findData;
    HANDLE enumeration = FindFirstFileA(pattern, &findData);
    freeMem(pattern);
    if (enumeration == INVALID_HANDLE_VALUE) return READ_DONE;  // skipped without a trace
    bool walked = findFAdd(path, enumeration, &findData, r->entries, &r->lastEntry, r->destination,
                           r->destinationLength, mode, r->rejected, &r->lastRejected);
    FindClose(enumeration);
    return walked ? READ_DONE : READ_NO_MEMORY;
}

static ReaderResult readSourceLine(ReaderState* r, char* line) {
    if (!r->destination)
        return addRejected(r->rejected, &r->lastRejected, line, (uint32_t)strlen(line)) ? READ_DONE
                                                                                        : READ_NO_MEMORY;
    int16_t mode = r->defaultMode;
    char* path = afterModeMarker(line, &mode);
    if (path)
        path += strspn(path, blanks);
    else
        path = line;  // leading blanks belong to the path

    const uint32_t len = (uint32_t)strlen(path);
    // A '?' stands for a character the ANSI code page cannot hold; the shell's
    // copy would take it for a wildcard.
    if (!PathFileExistsA(path) || strchr(path, '?'))
        return addRejected(r->rejected, &r->lastRejected, path, len) ? READ_DONE : READ_NO_MEMORY;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &attributes)) return READ_NO_ATTRIBUTES;
    if (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return readSourceDirectory(r, path, len, mode);
    return addEntry(r->entries, &r->lastEntry, path, len, attributes.ftLastWriteTime, mode, r->destination,
                    r->destinationLength)
               ? READ_DONE
               : READ_NO_MEMORY;
}

ReaderResult ReadPaths(PathList* entries, PathList* rejected) {
    ListText list;
    ReaderResult result = loadListText(listFileName, &list);
    if (result != READ_DONE) return result;

    ReaderState r = {entries, rejected, NULL, NULL, NULL, 0, 1};
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

// Copied when missing, when its time differs, or always with "<-d>"; a copy
// that exists but gives no attributes is left alone. The attributes are asked
// for first: most copies exist, and then one query of the file is enough.
static bool needsCopy(PathNode* node) {
    if (node->checkDate == 0) return true;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExA(node->pathTo, GetFileExInfoStandard, &attributes))
        return !PathFileExistsA(node->pathTo);
    node->timeTo = attributes.ftLastWriteTime;
    return node->timeTo.dwLowDateTime != node->timeFrom.dwLowDateTime ||
           node->timeTo.dwHighDateTime != node->timeFrom.dwHighDateTime;
}

// Runs the shell's copy over the flagged entries: *code is what it returned,
// *aborted whether it reports a cancel. False when out of memory.
static bool copyFlagged(PathList* entries, int16_t silent, int* code, bool* aborted) {
    const uint32_t count = (uint32_t)entries->countCopy;
    char* from = (char*)allocMem(entries->lenCopy + count + 1);
    char* to = (char*)allocMem(entries->lenToCopy + count + 1);
    SHFILEOPSTRUCTA* op = (SHFILEOPSTRUCTA*)allocMem(sizeof *op);
    const bool haveMemory = from && to && op;
    if (haveMemory) {
        char* f = from;
        char* t = to;
        for (PathNode* node = entries->first; node; node = node->next) {
            if (!node->toCopy) continue;
            memcpy(f, node->path, node->len + 1);
            f += node->len + 1;
            memcpy(t, node->pathTo, node->lenTo + 1);
            t += node->lenTo + 1;
        }
        *f = 0;
        *t = 0;
        memset(op, 0, sizeof *op);
        op->wFunc = FO_COPY;
        op->pFrom = from;
        op->pTo = to;
        op->fFlags = silent ? 0x0615 : 0x0211;
        op->fAnyOperationsAborted = FALSE;
        *code = SHFileOperationA(op);
        *aborted = op->fAnyOperationsAborted != FALSE;
    }
    freeMem(from);
    freeMem(to);
    freeMem(op);
    return haveMemory;
}

// The error text of a pass: the shell's failure or cancel, then the
// destinations that were too long, one a line. NULL when there is nothing to say.
static char* copyReport(const PathList* entries, int code, bool aborted, bool* outOfMemory) {
    char shellText[sizeof copyFailedFormat + 32] = "";
    if (code != 0)
        snprintf(shellText, sizeof shellText, copyFailedFormat, code, (unsigned)code);
    else if (aborted)
        snprintf(shellText, sizeof shellText, "%s", copyInterruptedText);
    size_t size = strlen(shellText);
    bool anyTooLong = false;
    for (const PathNode* node = entries->first; node; node = node->next)
        if (node->lenTo > DEST_ROOM) {
            if (!anyTooLong) size += (size ? 1 : 0) + sizeof copyTooLongHeader - 1;
            anyTooLong = true;
            size += 1 + node->lenTo;
        }
    if (size == 0) return NULL;

    char* text = (char*)allocMem(size + 1);
    if (!text) {
        *outOfMemory = true;
        return NULL;
    }
    char* end = text + snprintf(text, size + 1, "%s", shellText);
    if (anyTooLong) end += snprintf(end, size + 1 - (end - text), "%s%s", *shellText ? "\n" : "", copyTooLongHeader);
    for (const PathNode* node = entries->first; node; node = node->next)
        if (node->lenTo > DEST_ROOM) end += snprintf(end, size + 1 - (end - text), "\n%s", node->pathTo);
    return text;
}

void copy(PathList* entries, char** errorText, int16_t silent) {
    for (PathNode* node = entries->first; node; node = node->next) {
        if (!setDestination(node)) {
            *errorText = copyText(copyNoMemoryText, sizeof copyNoMemoryText - 1);
            return;
        }
        // A destination longer than its room is not copied; the report names it.
        if (node->lenTo <= DEST_ROOM && needsCopy(node)) {
            node->toCopy = 1;
            entries->countCopy++;
            entries->lenToCopy += node->lenTo;
        } else {
            entries->lenCopy -= node->len;
        }
    }

    int code = 0;
    bool aborted = false;
    bool outOfMemory = entries->countCopy > 0 && !copyFlagged(entries, silent, &code, &aborted);
    char* report = outOfMemory ? NULL : copyReport(entries, code, aborted, &outOfMemory);
    if (outOfMemory)
        *errorText = copyText(copyNoMemoryText, sizeof copyNoMemoryText - 1);
    else
        *errorText = report;
}
