// The copy pass's decisions: where each entry's backup goes, whether the
// backup there is up to date (asked of the drive, or read off a listing of
// its folder), and how a file to copy is copied. The temporary paths come
// from copy_batches.cpp.
#include <stdlib.h>
#include <string.h>

#include "alloc.h"
#include "engine_internal.h"
#include "list_intr.h"

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
bool setDestination(PathNode* node) {
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
    node->lenDir = node->lenTo;
    node->pathTo = pathTo;
    node->lenTo = pathTo ? (uint32_t)lenTo : 0;
    return pathTo != NULL;
}

bool destinationFits(const PathNode* node) {
    return pathFits(node->pathTo, node->lenTo) && pathFits(node->pathTo, node->lenDir, TEMP_EXTRA);
}

// Whether a copy's time is where FAT32 and exFAT keep a source's time that
// lies beyond their range, 1980 to 2107 in local time: at their earliest
// time, 1980-01-01 00:00:00 local, a whole quarter of an hour in UTC in
// every time zone (UTC-12 to UTC+14), or at their latest, 2107-12-31
// 23:59:58 local or later, less than two seconds before one.
static bool atDriveLimit(uint64_t copied, uint64_t source) {
    constexpr uint64_t HOUR = 36000000000ULL, QUARTER = HOUR / 4, TWO_SECONDS = 20000000ULL;
    constexpr uint64_t EARLIEST = 119600064000000000ULL;  // 1980-01-01 00:00:00 UTC
    constexpr uint64_t LATEST = 159992928000000000ULL;    // 2108-01-01 00:00:00 UTC
    if (source < copied)
        return copied + 14 * HOUR >= EARLIEST && copied <= EARLIEST + 12 * HOUR && copied % QUARTER == 0;
    return copied + 14 * HOUR + QUARTER >= LATEST && copied <= LATEST + 12 * HOUR &&
           copied % QUARTER >= QUARTER - TWO_SECONDS;
}

// Whether a copy is the backup of a source of that last-write time and
// size. The size must be the source's, and the time the source's exactly
// or as a drive with coarse times keeps it: on a whole step (exFAT: 10 ms,
// or whole seconds through some drivers; FAT: 2 s) and less than one step
// from the source's, whichever way the drive rounds. Without the tolerance
// every run onto a USB drive would copy everything again; a change within
// one step of the last backup is told by its size. A time FAT and exFAT
// cannot keep they keep at their limit; only there is that the backup.
bool isBackupOf(const WIN32_FILE_ATTRIBUTE_DATA& copied, FILETIME sourceTime, uint64_t sourceSize, BackupFolder* folder) {
    if ((copied.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        sizeOf(copied.nFileSizeHigh, copied.nFileSizeLow) != sourceSize)
        return false;
    const uint64_t a = ticksOf(copied.ftLastWriteTime), b = ticksOf(sourceTime);
    static const uint64_t steps[] = {1, 100000, 10000000, 20000000};  // ticks: exact, 10 ms, 1 s, 2 s
    for (uint64_t step : steps)
        if (a % step == 0 && (a > b ? a - b : b - a) < step) return true;
    return a != b && atDriveLimit(a, b) && (!folder || pinsTimes(folder));
}

// Whether the folder lists the file at path under the spelling of its
// name: a drive that ignores case finds a file by any spelling. A name
// holding a wildcard (only natively) is taken as spelled.
static bool spelledAsListed(const char* path) {
    const char* name = lastName(path);
    if (strpbrk(name, "*?")) return true;
    FindRecord found;
    return !listedName(path, &found) || !strcmp(found.cFileName, name);
}

// Copied when missing, when it is not its source's backup by size and
// time, or always with "<-d>"; a copy that exists but gives no attributes
// is left alone. The attributes are asked for first: most copies exist, and
// then one query of the file is enough. A backup found only under another
// spelling of the name is another source's: the file is copied, and put in
// place under its own spelling.
bool needsCopy(PathNode* node) {
    if (node->checkDate == 0) return true;
    WIN32_FILE_ATTRIBUTE_DATA copied;
    if (!fileAttributes(node->pathTo, &copied)) return !pathExists(node->pathTo);
    node->timeTo = copied.ftLastWriteTime;
    if (!isBackupOf(copied, node->timeFrom, node->sizeFrom, node->folder)) return true;
    node->respell = !spelledAsListed(node->pathTo);
    return node->respell;
}

// --- What a destination folder holds ---

// Over a network drive a question about one file costs a round trip, and a
// folder's listing brings many files in a few. A "<+d>" entry is decided
// from the listing of its destination folder, read once: the walker makes
// a folder's entries in the order it walks, depth first, so a folder's
// files may come between the entries of its subfolders, and its listing is
// kept on a stack while they are decided. Memory stays bounded by the
// folders of one path below the backup folder, a few bytes a name.

// Names past which a listing is no longer read: its files are asked about
// one by one instead, so that no folder of millions of names is held.
static constexpr uint32_t LISTED_MAX = 1u << 20;

// One name a folder's listing showed.
struct ListedName {
    uint32_t nameAt;  // in the listing's names
    DWORD attributes;
    FILETIME time;
    uint64_t size;
};

// A destination folder, as its listing showed it.
struct FolderListing {
    const char* folder;  // the start of an entry's pathTo, with the folder's separator
    size_t folderLen;
    bool missing;        // the folder does not exist: nothing in or below it does
    bool unread;         // it could not be listed whole: its files are asked about one by one
    ListedName* names;   // sorted by name
    uint32_t count;
    char* text;          // the names, each NUL-ended
    FolderListing* up;   // the listing of a folder above it
};

static FolderListing* popListing(FolderListing* listing) {
    FolderListing* up = listing->up;
    freeMem(listing->names);
    freeMem(listing->text);
    freeMem(listing);
    return up;
}

static const char* listedText;  // the names qsort's comparison reads

static int compareListed(const void* a, const void* b) {
    return strcmp(listedText + ((const ListedName*)a)->nameAt, listedText + ((const ListedName*)b)->nameAt);
}

// Reads the listing of the folder (node's pathTo up to folderLen bytes, its
// separator included). A folder that cannot be listed whole is left to be
// asked about file by file; one that does not exist is marked so. False
// when out of memory.
static bool readListing(FolderListing* listing, PathNode* node, size_t folderLen) {
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
        listing->missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        listing->unread = !listing->missing;
        return true;
    }
    size_t namesRoom = 0, textRoom = 0, textUsed = 0;
    bool haveMemory = true, tooMany = false;
    do {
        // A name no UTF-8 holds is no entry's.
        if (found.nameUnusable || !strcmp(found.cFileName, ".") || !strcmp(found.cFileName, "..")) continue;
        const size_t len = strlen(found.cFileName) + 1;
        tooMany = listing->count == LISTED_MAX;
        haveMemory = tooMany || (growMem((void**)&listing->names, listing->count * sizeof *listing->names, &namesRoom,
                                      (listing->count + 1) * sizeof *listing->names) &&
                                 growMem((void**)&listing->text, textUsed, &textRoom, textUsed + len));
        if (!haveMemory || tooMany) break;
        memcpy(listing->text + textUsed, found.cFileName, len);
        listing->names[listing->count++] = {(uint32_t)textUsed, found.dwFileAttributes, found.ftLastWriteTime,
                                            sizeOf(found.nFileSizeHigh, found.nFileSizeLow)};
        textUsed += len;
    } while (findNextFile(enumeration, &found));
    // A listing that broke off (a network drive that dropped) or grew too
    // large shows too little: its files are asked about.
    const bool whole = haveMemory && !tooMany && GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(enumeration);
    if (!whole) {
        listing->unread = true;
        listing->count = 0;
        return haveMemory;
    }
    listedText = listing->text;
    if (listing->count) qsort(listing->names, listing->count, sizeof *listing->names, compareListed);
    return true;
}

// The listing of node's destination folder (folderLen bytes), read where it
// is not on the stack yet; the listings of folders it does not lie in are
// released. NULL when out of memory.
static FolderListing* listingOf(FolderListing** stack, PathNode* node, size_t folderLen) {
    while (*stack && !((*stack)->folderLen <= folderLen && !memcmp((*stack)->folder, node->pathTo, (*stack)->folderLen)))
        *stack = popListing(*stack);
    if (*stack && ((*stack)->folderLen == folderLen || (*stack)->missing)) return *stack;
    FolderListing* listing = (FolderListing*)allocMem(sizeof *listing);
    if (!listing) return NULL;
    *listing = {node->pathTo, folderLen, false, false, NULL, 0, NULL, *stack};
    *stack = listing;
    return readListing(listing, node, folderLen) ? listing : NULL;
}

// The name the listing showed for an entry under its own spelling; NULL: none.
static const ListedName* listedAs(const FolderListing* listing, const char* name) {
    size_t low = 0, high = listing->count;
    while (low < high) {
        const size_t middle = (low + high) / 2;
        const int order = strcmp(name, listing->text + listing->names[middle].nameAt);
        if (!order) return listing->names + middle;
        if (order < 0) high = middle;
        else low = middle + 1;
    }
    return NULL;
}

// needsCopy's answer, from the listing of the entry's destination folder
// where that settles it: no question about a file below a folder that does
// not exist, nor about one the listing shows under its own name, which
// every drive finds first, and which is then spelled as its source. Where
// it shows none, a drive that ignores case may find another spelling,
// Windows a short name, and a link leads elsewhere: the file is asked
// about. False when out of memory.
static bool needsCopyListed(PathNode* node, FolderListing** stack, bool* copyIt) {
    const size_t folderLen = (size_t)(lastName(node->pathTo) - node->pathTo);
    if (!node->checkDate || !folderLen) {
        *copyIt = needsCopy(node);
        return true;
    }
    const FolderListing* listing = listingOf(stack, node, folderLen);
    if (!listing) return false;
    const ListedName* found = listing->unread || listing->missing ? NULL : listedAs(listing, node->pathTo + folderLen);
    if (listing->missing) {
        *copyIt = true;
    } else if (found && !(found->attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FILE_ATTRIBUTE_DATA copied = {};
        copied.dwFileAttributes = found->attributes;
        copied.ftLastWriteTime = found->time;
        copied.nFileSizeHigh = (DWORD)(found->size >> 32);
        copied.nFileSizeLow = (DWORD)found->size;
        node->timeTo = found->time;
        *copyIt = !isBackupOf(copied, node->timeFrom, node->sizeFrom, node->folder);
    } else {
        *copyIt = needsCopy(node);
    }
    return true;
}

// How a file to be copied is copied: in the shell's batch, which shows the
// window's progress and handles many files at once, where it can take its
// source and its temporary path; else on its own.
ToCopy copyWay(const PathNode* node) {
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

void unflag(PathList* entries, PathNode* node) {
    node->toCopy = TO_COPY_NO;
    entries->countCopy--;
    entries->lenCopy -= node->len;
    entries->lenToCopy -= node->lenTo;
}

bool flagEntries(PathList* entries) {
    FolderListing* stack = NULL;
    bool haveMemory = true;
    for (PathNode* node = entries->first; node && haveMemory; node = node->next) {
        entries->lenCopy -= node->len;
        // A destination the file calls cannot take is not copied; the report
        // names it. Natively a source below /~qvtmp or /~Versions would be
        // backed up into the program's own folders: it is named instead.
        if (startsWithOwnFolder(node->pathTo + node->lenDir)) {
            haveMemory = flag(entries, node, TO_COPY_FAILED);
        } else if (node->toCopy == TO_COPY_HELD) {
            haveMemory = flag(entries, node, TO_COPY_HELD);
        } else if (destinationFits(node)) {
            bool copyIt = false;
            haveMemory = needsCopyListed(node, &stack, &copyIt);
            if (haveMemory && copyIt) haveMemory = flag(entries, node, copyWay(node));
        }
    }
    while (stack) stack = popListing(stack);
    return haveMemory;
}
