// Earlier versions: where a destination keeps them ("--Versions-- N"), a
// backup that the run replaces with a copy of another size or time is moved
// into "<destination>\~Versions\<the run's start>\<its path below the
// destination>" just before the copy takes its place: a rename on the same
// volume, so the file's bytes stand whole under one name or the other at
// every moment. Before the copies, what the version folders older than N
// days by their names hold is removed, so that the room it frees serves the
// run; but never a file's newest version, whatever the clock says.
// backup_folders.cpp spells the folders' paths; temp_copies.cpp keeps the
// versions, and copy_batches.cpp prunes them.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "alloc.h"
#include "engine_internal.h"

static char runStamp[STAMP_LEN + 1];  // the pass's start, in local time

// Old version folders that could not be removed, each after a "\n"; NULL: none.
static char* versionsNotRemoved;
static size_t versionsNotRemovedLen;

void startVersions() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(runStamp, sizeof runStamp, "%04u-%02u-%02u %02u-%02u-%02u", (unsigned)now.wYear % 10000,
             (unsigned)now.wMonth % 100, (unsigned)now.wDay % 100, (unsigned)now.wHour % 100,
             (unsigned)now.wMinute % 100, (unsigned)now.wSecond % 100);
}

// Whether the backup is the very file its whole copy is, so that replacing
// it loses nothing: of its size and exactly its time, or, within a coarse
// drive's time step, of its bytes too. A file saved again within that step
// at its size (two saves within 2 s) is a change, and makes a version. Only
// "<-d>" files, copied whatever their backups, pay for the read.
static bool sameAsCopy(const PathNode* node, const WIN32_FILE_ATTRIBUTE_DATA& backup) {
    // The drive may be asked about its times first, in tempPath: the
    // copy's path is written after.
    return isBackupOf(backup, node->timeFrom, node->sizeFrom, node->folder) &&
           (ticksOf(backup.ftLastWriteTime) == ticksOf(node->timeFrom) || sameContent(node->pathTo, tempPathOf(node)));
}

bool keepVersion(PathNode* node, DWORD* error, bool* moved) {
    *moved = false;
    WIN32_FILE_ATTRIBUTE_DATA backup, kept;
    if (!node->keepDays || !fileAttributes(node->pathTo, &backup) ||
        (backup.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || sameAsCopy(node, backup))
        return true;  // nothing to keep, or "<-d>" of a source that did not change
    if (!versionPathOf(node, runStamp, error)) return false;
    if (!makeFoldersBelow(node->folder, versionPath)) {
        *error = GetLastError();
        return false;
    }
    if (moveFileTo(node->pathTo, versionPath)) {
        *moved = true;
        return true;
    }
    *error = GetLastError();
    // A backup on another drive, below a link in the backup folder, cannot
    // be renamed into "~Versions": it is copied there, and stays until its
    // copy replaces it. Its copy goes there once, though the copy that is
    // to replace it goes again, onto that drive: the run's version folder
    // holds nothing but the run's own.
    const uint64_t size = sizeOf(backup.nFileSizeHigh, backup.nFileSizeLow);
    if (*error == ERROR_ALREADY_EXISTS && fileAttributes(versionPath, &kept) &&
        isBackupOf(kept, backup.ftLastWriteTime, size, NULL))
        return true;
    if (*error != ERROR_NOT_SAME_DEVICE) return false;
    if (copyFileOver(node->pathTo, versionPath) && fileAttributes(versionPath, &kept) &&
        isBackupOf(kept, backup.ftLastWriteTime, size, NULL))
        return true;
    *error = GetLastError();
    deleteFile(versionPath);
    return false;
}

static bool isDigits(const char* text, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// Seconds of a time stamp's local time since 1970-01-01 00:00:00 in the
// same zone, by the days of the proleptic Gregorian calendar; -1 when the
// name is no time stamp. *run: 1 for the plain name, N for "... (N)".
static long long stampSeconds(const char* name, unsigned* run) {
    unsigned y, mo, d, h, mi, s;
    const size_t len = strlen(name);
    // "YYYY-MM-DD HH-MM-SS", or a later run of that second's "... (N)".
    if ((len != STAMP_LEN && (len < STAMP_LEN + 4 || strncmp(name + STAMP_LEN, " (", 2) || name[len - 1] != ')' ||
                              !isDigits(name + STAMP_LEN + 2, len - STAMP_LEN - 3))) || !isDigits(name, 4) || name[4] != '-' || !isDigits(name + 5, 2) ||
        name[7] != '-' || !isDigits(name + 8, 2) || name[10] != ' ' || !isDigits(name + 11, 2) || name[13] != '-' ||
        !isDigits(name + 14, 2) || name[16] != '-' || !isDigits(name + 17, 2) ||
        sscanf(name, "%4u-%2u-%2u %2u-%2u-%2u", &y, &mo, &d, &h, &mi, &s) != 6 || mo < 1 || mo > 12 || d < 1 ||
        d > 31 || h > 23 || mi > 59 || s > 59)
        return -1;
    *run = len == STAMP_LEN ? 1 : 0;
    for (size_t i = STAMP_LEN + 2; len > STAMP_LEN && i < len - 1; i++)
        if (*run < 100000000) *run = *run * 10 + (unsigned)(name[i] - '0');  // past it, all runs of a second tie
    // Days from 1970-01-01: March-based years, so that February ends a year.
    const long long ys = (long long)y - (mo <= 2), era = (ys >= 0 ? ys : ys - 399) / 400;
    const long long yoe = ys - era * 400, doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    return ((days * 24 + h) * 60 + mi) * 60 + s;
}

// A version folder directly in "~Versions", where it stands among the others.
struct VersionFolder {
    long long made;  // its stamp's seconds
    unsigned run;    // of that second
    char* name;      // owned
};

static int compareVersionFolders(const void* a, const void* b) {
    const VersionFolder* x = (const VersionFolder*)a;
    const VersionFolder* y = (const VersionFolder*)b;
    if (x->made != y->made) return x->made < y->made ? -1 : 1;
    if (x->run != y->run) return x->run < y->run ? -1 : 1;
    return strcmp(x->name, y->name);
}

// Levels of folders a version folder is pruned through: each holds a find
// record on the stack. A deeper one stays, and is named.
constexpr int REMOVE_DEPTH_MAX = 200;

// One expired version folder being pruned: a file in it goes only where a
// later version folder holds a version of the same path as new: each
// file's newest version stays, however old (the last one of a file deleted
// since, or all a clock set far ahead would date out), and wherever a clock
// set wrong put it.
struct Pruning {
    size_t versionsLen;           // of "...~Versions" in versionPath
    size_t below;                 // where the path below the version folder starts in versionPath
    const VersionFolder* later;   // the version folders after it, the nearest first
    size_t laterCount;
    bool failed;                  // something that was to go stays
};

// Whether a later version folder holds a version of the file at versionPath
// at least as new, by the files' own times, which no clock set wrong at a
// run changes (a folder's name may date a newer version before an older
// one); asked at its path there in tempPath, free while the copies wait.
static bool heldLater(const Pruning* p, FILETIME time) {
    const size_t belowLen = strlen(versionPath + p->below);
    for (size_t i = 0; i < p->laterCount; i++) {
        const size_t nameLen = strlen(p->later[i].name);
        if (p->versionsLen + 1 + nameLen + belowLen + 1 > sizeof tempPath) continue;
        memcpy(tempPath, versionPath, p->versionsLen + 1);
        memcpy(tempPath + p->versionsLen + 1, p->later[i].name, nameLen);
        memcpy(tempPath + p->versionsLen + 1 + nameLen, versionPath + p->below, belowLen + 1);
        WIN32_FILE_ATTRIBUTE_DATA found;
        if (fileAttributes(tempPath, &found) && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            ticksOf(found.ftLastWriteTime) >= ticksOf(time))
            return true;
    }
    return false;
}

// Prunes the folder at versionPath (len bytes): each file (a link too, as
// a link, never followed) a later version folder holds goes, and each folder
// left empty. True when the folder itself is gone.
static bool pruneTree(Pruning* p, size_t len, int depth) {
    if (depth > REMOVE_DEPTH_MAX) {
        p->failed = true;
        return false;
    }
    memcpy(versionPath + len, "\\*", 3);
    versionPath[len] = separatorOf(versionPath);
    FindRecord found;
    HANDLE listing = findFirstFile(versionPath, &found);
    if (listing == INVALID_HANDLE_VALUE) {
        versionPath[len] = 0;
        p->failed = true;
        return false;
    }
    bool emptied = true;
    do {
        const char* name = found.cFileName;
        if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
        const size_t nameLen = strlen(name);
        if (found.nameUnusable || len + 1 + nameLen + 3 > sizeof versionPath) {
            emptied = false;
            p->failed = true;
            continue;
        }
        memcpy(versionPath + len + 1, name, nameLen + 1);
        const DWORD attributes = found.dwFileAttributes;
        // A link's time is its target's: any later version lets it go.
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            emptied = pruneTree(p, len + 1 + nameLen, depth + 1) && emptied;
        } else if (!heldLater(p, (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FILETIME{} : found.ftLastWriteTime)) {
            emptied = false;  // the newest version of its file
        } else if (!deleteFile(versionPath) && !removeFolder(versionPath)) {
            emptied = false;
            p->failed = true;
        }
    } while (findNextFile(listing, &found));
    FindClose(listing);
    versionPath[len] = 0;
    if (!emptied) return false;
    if (removeFolder(versionPath)) return true;
    p->failed = true;
    return false;
}

// Names a version folder (at versionPath) that could not be pruned. False
// when out of memory.
static bool noteNotRemoved(size_t len) {
    char* more = (char*)allocMem(versionsNotRemovedLen + len + 2);
    if (!more) return false;
    if (versionsNotRemoved) memcpy(more, versionsNotRemoved, versionsNotRemovedLen);
    more[versionsNotRemovedLen] = '\n';
    memcpy(more + versionsNotRemovedLen + 1, versionPath, len + 1);
    freeMem(versionsNotRemoved);
    versionsNotRemoved = more;
    versionsNotRemovedLen += len + 1;
    return true;
}

// The version folders in the "~Versions" at versionPath (len bytes), oldest
// first: only plain folders directly in it named as a time stamp. False
// when out of memory.
static bool listVersionFolders(size_t len, VersionFolder** folders, size_t* count) {
    memcpy(versionPath + len, "\\*", 3);
    versionPath[len] = separatorOf(versionPath);
    FindRecord found;
    HANDLE listing = findFirstFile(versionPath, &found);
    versionPath[len] = 0;
    if (listing == INVALID_HANDLE_VALUE) return true;
    size_t room = 0;
    bool haveMemory = true;
    do {
        unsigned run;
        const long long made = stampSeconds(found.cFileName, &run);
        const DWORD attributes = found.dwFileAttributes;
        if (made < 0 || found.nameUnusable || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        haveMemory = growMem((void**)folders, *count * sizeof **folders, &room, (*count + 1) * sizeof **folders);
        VersionFolder* folder = haveMemory ? *folders + *count : NULL;
        if (folder && !(folder->name = copyText(found.cFileName, strlen(found.cFileName)))) haveMemory = false;
        if (!haveMemory) break;
        folder->made = made;
        folder->run = run;
        ++*count;
    } while (findNextFile(listing, &found));
    FindClose(listing);
    if (*count) qsort(*folders, *count, sizeof **folders, compareVersionFolders);
    return haveMemory;
}

// Prunes the version folders in the "~Versions" at versionPath (len bytes)
// that are older than days by their names, and only them; nothing else,
// there or anywhere. False when out of memory.
static bool removeOldVersions(size_t len, uint16_t days) {
    unsigned run;
    const long long oldest = stampSeconds(runStamp, &run) - (long long)days * 86400;
    VersionFolder* folders = NULL;
    size_t count = 0;
    bool haveMemory = listVersionFolders(len, &folders, &count);
    for (size_t i = 0; haveMemory && i < count && folders[i].made < oldest; i++) {
        const size_t nameLen = strlen(folders[i].name);
        versionPath[len] = separatorOf(versionPath);
        memcpy(versionPath + len + 1, folders[i].name, nameLen + 1);
        Pruning p = {len, len + 1 + nameLen, folders + i + 1, count - i - 1, false};
        pruneTree(&p, len + 1 + nameLen, 0);
        if (p.failed) haveMemory = noteNotRemoved(len + 1 + nameLen);
    }
    for (size_t i = 0; i < count; i++) freeMem(folders[i].name);
    freeMem(folders);
    return haveMemory;
}

// Each backup folder's versions are pruned once, by the most days any line
// that names it gives: a line that keeps versions for fewer days never
// removes what another keeps longer. Where "~Versions" is a link, a
// junction or a file, nothing there is touched.
bool pruneVersions() {
    bool haveMemory = true;
    for (const BackupFolder* f = backupFolders; f; f = f->next) {
        const size_t len = f->keepDays && !f->lost ? versionsFolderPath(f) : 0;
        if (len) haveMemory = removeOldVersions(len, f->keepDays) && haveMemory;
    }
    return haveMemory;
}

const char* versionsNotRemovedText() { return versionsNotRemoved ? versionsNotRemoved : ""; }

void forgetVersionsNotRemoved() {
    freeMem(versionsNotRemoved);
    versionsNotRemoved = NULL;
    versionsNotRemovedLen = 0;
}
