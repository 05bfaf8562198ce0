// Destinations that may be one file: entries whose destinations differ only
// in case, or name one file twice, are held back from the batches and
// settled after them. Uses the decisions of copy_decisions.cpp.
#include <stdlib.h>
#include <string.h>

#include "alloc.h"
#include "engine_internal.h"
#include "list_intr.h"

// Entries whose destinations differ only in case though their sources
// differ (README.txt and readme.txt of a Linux folder) would end as one
// file on a drive that ignores case, the later copy silently replacing the
// earlier. The later ones are held back until the batches are done; then
// one whose destination proves to be the earlier one's copy is not copied
// but named. A file named twice is held back too: both would write one
// temporary file, and one copy serves both. They are found by sorting the
// destinations by their backup folder, which two lines may spell two ways,
// then by a hash of the path below it that any two spellings of one name
// share (ASCII letters folded, every other byte left out), then as Windows
// compares names.
struct Destination {
    uint64_t hash;
    PathNode* node;
    uint32_t order;   // in the list: the first of equal destinations owns the copy
    PathNode* owner;  // that first entry, when node is held back for it
};

// FNV-1a of the path's ASCII bytes, letters folded.
static uint64_t foldedHash(const char* path) {
    uint64_t h = 14695981039346656037ULL;
    for (const unsigned char* p = (const unsigned char*)path; *p; p++)
        if (*p < 0x80) h = (h ^ (*p >= 'A' && *p <= 'Z' ? *p + 32u : *p)) * 1099511628211ULL;
    return h;
}

static const char* mirrorOf(const PathNode* node) { return node->pathTo + node->lenDir; }

static int compareNames(const Destination& a, const Destination& b) {
    if (a.node->folder != b.node->folder) return a.node->folder < b.node->folder ? -1 : 1;
    if (a.hash != b.hash) return a.hash < b.hash ? -1 : 1;
    return compareIgnoringCase(mirrorOf(a.node), -1, mirrorOf(b.node), -1) - CSTR_EQUAL;
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
Destination* holdSharedDestinations(PathList* entries) {
    const uint32_t n = entries->count;
    Destination* sorted = (Destination*)allocMem((size_t)n * sizeof *sorted + 1);
    if (!sorted) return NULL;
    uint32_t i = 0;
    for (PathNode* node = entries->first; node && i < n; node = node->next, i++)
        sorted[i] = {foldedHash(mirrorOf(node)), node, i, NULL};
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

// Whether two destinations in one backup folder, whose paths below it
// differ only in case, are one file on their drive. Their identities tell
// where the drive keeps one a file (NTFS); some drives give every spelling
// asked for an identity of its own (FUSE file systems number names, not
// files), and there a spelling that reaches a file its folder lists under
// another name tells. Where neither copy exists nothing tells: they are
// taken for one.
static bool oneFile(const PathNode* owner, const PathNode* held) {
    FileIdentity a, b;
    if (identify(owner->pathTo, &a) && identify(held->pathTo, &b) && sameFile(a, b)) return true;
    size_t from = 0;
    while (mirrorOf(owner)[from] && mirrorOf(owner)[from] == mirrorOf(held)[from]) from++;
    const bool ownerExists = pathExists(owner->pathTo), heldExists = pathExists(held->pathTo);
    return (!ownerExists && !heldExists) || (ownerExists && !listedAsSpelled(owner->pathTo, owner->lenDir + from)) ||
           (heldExists && !listedAsSpelled(held->pathTo, held->lenDir + from));
}

// Whether two sources are one file: one path, or, where the source drive
// ignores case, two spellings of it (Docs\a.txt and docs\a.txt).
static bool sameSource(const char* a, const char* b) {
    FileIdentity x, y;
    return !strcmp(a, b) || (identify(a, &x) && identify(b, &y) && sameFile(x, y));
}

// The held entries once the batches are done: one whose destination is
// another source's copy is not copied; one of the same source shares what
// the copy of the earlier entry came to; every other is flagged as any
// entry is. True when any was flagged for copying.
bool settleHeld(PathList* entries, const Destination* sorted) {
    bool any = false;
    for (uint32_t k = 0; k < entries->count; k++) {
        PathNode* node = sorted[k].node;
        const PathNode* owner = sorted[k].owner;
        if (!owner || node->toCopy != TO_COPY_HELD) continue;
        const bool one = oneFile(owner, node);
        if (one && !sameSource(node->path, owner->path)) {
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
