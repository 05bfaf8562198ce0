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
// one step of the last backup is told by its size. A time the drive cannot
// keep is kept at its limit.
bool isBackupOf(const WIN32_FILE_ATTRIBUTE_DATA& copied, FILETIME sourceTime, uint64_t sourceSize) {
    if ((copied.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        sizeOf(copied.nFileSizeHigh, copied.nFileSizeLow) != sourceSize)
        return false;
    const uint64_t a = ticksOf(copied.ftLastWriteTime), b = ticksOf(sourceTime);
    static const uint64_t steps[] = {1, 100000, 10000000, 20000000};  // ticks: exact, 10 ms, 1 s, 2 s
    for (uint64_t step : steps)
        if (a % step == 0 && (a > b ? a - b : b - a) < step) return true;
    return a != b && atDriveLimit(a, b);
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
    if (!isBackupOf(copied, node->timeFrom, node->sizeFrom)) return true;
    node->respell = !spelledAsListed(node->pathTo);
    return node->respell;
}

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
    FolderListing listing = {};
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
            haveMemory = needsCopyListed(node, &listing, &copyIt);
            if (haveMemory && copyIt) haveMemory = flag(entries, node, copyWay(node));
        }
    }
    releaseListing(&listing);
    return haveMemory;
}
