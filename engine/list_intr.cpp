// The two path lists of a run and the backup list reader, which fills them:
// each line's path is checked and made full, a folder handed to the walker
// (walker.cpp); file identity comes from there too.
#include "list_intr.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "alloc.h"
#include "engine_internal.h"
#include "list_text.h"

PathList exPath;
PathList unexPath;

static const char listFileName[] = "Quarnelvistro.txt";
static const char dirMarker[] = "--Dir--";
static const char versionsMarker[] = "--Versions--";
constexpr unsigned long VERSIONS_DAYS_MAX = 36500;
static const char alwaysMarker[] = "<-d>";   // always copy
static const char compareMarker[] = "<+d>";  // copy when missing or times differ
static constexpr size_t MARKER_LEN = sizeof alwaysMarker - 1;
static const char blanks[] = " \t";

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

bool addRejected(PathList* rejected, PathNode** last, const char* text, uint32_t len) {
    PathNode* node = makeNode(text, len, NULL, 0);
    return node && linkOrDrop(rejected, last, node);
}

bool addEntry(PathList* entries, PathNode** last, const char* path, uint32_t len, FILETIME time,
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

// Whether path is dir or lies below it, comparing names as Windows does
// (without regard to case). dirLen counts dir without a final separator.
static bool pathIsIn(const char* path, const char* dir, size_t dirLen) {
    return strlen(path) >= dirLen && compareIgnoringCase(path, (int)dirLen, dir, (int)dirLen) == CSTR_EQUAL &&
           (!path[dirLen] || isSeparator(path[dirLen]));
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
    PathNode* beforeDestination;  // the last entry before the destination's line; NULL: none
    uint16_t keepDays;            // the destination's "--Versions--"; 0: none
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
    r->beforeDestination = r->lastEntry;
    r->keepDays = 0;

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

// Every entry after `after` (NULL: the first on) keeps versions for days.
static void keepVersions(const ReaderState* r, PathNode* after, uint16_t days) {
    for (PathNode* node = after ? after->next : r->entries->first; node; node = node->next) node->keepDays = days;
}

// "--Versions-- N": the destination in force keeps the backups that runs
// replace for N days, 1 to 36500; so do the entries its line has brought so
// far, and a later such line replaces it. Without a destination, or with
// anything but such a number, the line is rejected as written.
static ReaderResult readVersionsLine(ReaderState* r, char* line, const char* afterMarker) {
    const char* number = afterMarker + strspn(afterMarker, blanks);
    char* end = NULL;
    const unsigned long days = *number >= '0' && *number <= '9' ? strtoul(number, &end, 10) : 0;
    if (!r->destination || !end || end[strspn(end, blanks)] || days < 1 || days > VERSIONS_DAYS_MAX)
        return rejectText(r, line);
    r->keepDays = (uint16_t)days;
    keepVersions(r, r->beforeDestination, r->keepDays);
    return READ_DONE;
}

ReaderResult ReadPaths(PathList* entries, PathList* rejected) {
    ListText list;
    ReaderResult result = loadListText(listFileName, &list);
    if (result != READ_DONE) return result;

    ReaderState r = {entries, rejected, NULL, NULL, NULL, 0, {}, false, 1, NULL, 0};
    char* line;
    while (result == READ_DONE && (line = nextListLine(&list))) {
        if (!line[0]) continue;
        char* dirMark = strstr(line, dirMarker);
        char* versionsMark = dirMark ? NULL : strstr(line, versionsMarker);
        if (dirMark) {
            result = readDestinationLine(&r, dirMark + sizeof dirMarker - 1);
        } else if (versionsMark) {
            result = readVersionsLine(&r, line, versionsMark + sizeof versionsMarker - 1);
        } else {
            PathNode* before = r.lastEntry;
            result = readSourceLine(&r, line);
            if (r.keepDays) keepVersions(&r, before, r.keepDays);
        }
    }
    freeListText(&list);
    freeMem(r.destination);
    return result;
}
