// The directory walker: every file below a source folder becomes a backup
// entry; file identity, which keeps the walk out of loops and out of the
// backup's own folder. Entries are made by the lists' helpers of list_intr.cpp.
#include <string.h>

#include "alloc.h"
#include "engine_internal.h"
#include "list_intr.h"

bool unlistable(DWORD attributes, DWORD error) {
    const DWORD junction = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return false;
    return !((attributes & junction) == junction && error == ERROR_ACCESS_DENIED);
}

// --- File identity ---

bool identify(const char* path, FileIdentity* id) {
    HANDLE dir = openToQuery(path, 0);
    if (dir == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(dir, &info);
    CloseHandle(dir);
    if (!known || (!info.dwVolumeSerialNumber && !info.nFileIndexHigh && !info.nFileIndexLow)) return false;
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
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
    // A listing that fails before its end (a network drive that drops) has
    // not shown the rest of the folder: the folder is named, and what it
    // showed is kept. A root "/" keeps its separator.
    if (walked && GetLastError() != ERROR_NO_MORE_FILES)
        walked = addRejected(rejected, lastRejected, composed, (uint32_t)(dirLen ? dirLen : 1));
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
