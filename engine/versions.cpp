// Earlier versions: where a destination keeps them ("--Versions-- N"), a
// backup that the run replaces with a copy of another size or time is moved
// into "<destination>\~Versions\<the run's start>\<its path below the
// destination>" just before the copy takes its place: a rename on the same
// volume, so the file's bytes stand whole under one name or the other at
// every moment. At the end of the run the version folders older than N days
// by their names are removed. temp_copies.cpp keeps the versions, and
// copy_batches.cpp ends the pass with the clean-up.
#include <stdio.h>
#include <string.h>

#include "alloc.h"
#include "engine_internal.h"

static const char versionsFolderName[] = "~Versions";
constexpr size_t VERSIONS_FOLDER_LEN = sizeof versionsFolderName - 1;
// "YYYY-MM-DD HH-MM-SS": a folder name Windows takes, sorting as the times.
constexpr size_t STAMP_LEN = 19;

static char runStamp[STAMP_LEN + 1];  // the pass's start, in local time

#ifdef _WIN32
constexpr size_t VERSION_PATH_BYTES = 3 * PATH_LIMIT;
#else
constexpr size_t VERSION_PATH_BYTES = PATH_LIMIT;
#endif
// The version path worked on: the program has one thread.
static char versionPath[VERSION_PATH_BYTES + NAME_BYTES + 2];

// Old version folders that could not be removed, each after a "\n"; NULL: none.
static char* versionsNotRemoved;
static size_t versionsNotRemovedLen;

bool startsWithOwnFolder(const char* mirror) {
    const size_t len = strlen(versionsFolderName);
    return startsWithTempFolder(mirror) || (!strncmp(mirror, versionsFolderName, len) && isSeparator(mirror[len]));
}

void startVersions() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(runStamp, sizeof runStamp, "%04u-%02u-%02u %02u-%02u-%02u", (unsigned)now.wYear % 10000,
             (unsigned)now.wMonth % 100, (unsigned)now.wDay % 100, (unsigned)now.wHour % 100,
             (unsigned)now.wMinute % 100, (unsigned)now.wSecond % 100);
}

// Writes "destination~Versions" into versionPath; its length.
static size_t versionsFolderPath(const char* destination, size_t length) {
    memcpy(versionPath, destination, length);
    memcpy(versionPath + length, versionsFolderName, VERSIONS_FOLDER_LEN + 1);
    return length + VERSIONS_FOLDER_LEN;
}

bool keepVersion(PathNode* node, DWORD* error) {
    WIN32_FILE_ATTRIBUTE_DATA backup;
    if (!node->keepDays || !fileAttributes(node->pathTo, &backup) ||
        (backup.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || isBackupOf(backup, node->timeFrom, node->sizeFrom))
        return true;  // nothing to keep, or "<-d>" of a source that did not change
    const char sep = separatorOf(node->pathTo);
    size_t n = versionsFolderPath(node->pathTo, node->lenDir);
    versionPath[n++] = sep;
    memcpy(versionPath + n, runStamp, STAMP_LEN);
    n += STAMP_LEN;
    versionPath[n++] = sep;
    const size_t mirrorLen = node->lenTo - node->lenDir;
    if (!pathFits(versionPath, n) || !pathFits(node->pathTo + node->lenDir, mirrorLen, n)) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    memcpy(versionPath + n, node->pathTo + node->lenDir, mirrorLen + 1);
    if (makeFoldersOf(versionPath) && moveFileTo(node->pathTo, versionPath)) return true;
    *error = GetLastError();
    return false;
}

static bool isDigits(const char* text, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// Seconds of a time stamp's local time since 1970-01-01 00:00:00 in the
// same zone, by the days of the proleptic Gregorian calendar; -1 when the
// name is no time stamp.
static long long stampSeconds(const char* name) {
    unsigned y, mo, d, h, mi, s;
    if (strlen(name) != STAMP_LEN || !isDigits(name, 4) || name[4] != '-' || !isDigits(name + 5, 2) ||
        name[7] != '-' || !isDigits(name + 8, 2) || name[10] != ' ' || !isDigits(name + 11, 2) || name[13] != '-' ||
        !isDigits(name + 14, 2) || name[16] != '-' || !isDigits(name + 17, 2) ||
        sscanf(name, "%4u-%2u-%2u %2u-%2u-%2u", &y, &mo, &d, &h, &mi, &s) != 6 || mo < 1 || mo > 12 || d < 1 ||
        d > 31 || h > 23 || mi > 59 || s > 59)
        return -1;
    // Days from 1970-01-01: March-based years, so that February ends a year.
    const long long ys = (long long)y - (mo <= 2), era = (ys >= 0 ? ys : ys - 399) / 400;
    const long long yoe = ys - era * 400, doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    return ((days * 24 + h) * 60 + mi) * 60 + s;
}

// Levels of folders a version folder is removed through: each holds a
// find record on the stack. A deeper one stays, and is named.
constexpr int REMOVE_DEPTH_MAX = 200;

// Removes the folder at versionPath (len bytes) with everything in it; a
// link inside goes as a link, never followed. False when anything stays.
static bool removeTree(size_t len, int depth) {
    if (depth > REMOVE_DEPTH_MAX) return false;
    memcpy(versionPath + len, "\\*", 3);
    versionPath[len] = separatorOf(versionPath);
    FindRecord found;
    HANDLE listing = findFirstFile(versionPath, &found);
    bool removed = listing != INVALID_HANDLE_VALUE;
    if (removed) {
        do {
            const char* name = found.cFileName;
            if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
            const size_t nameLen = strlen(name);
            if (found.nameUnusable || len + 1 + nameLen + 3 > sizeof versionPath) {
                removed = false;
                continue;
            }
            memcpy(versionPath + len + 1, name, nameLen + 1);
            const DWORD attributes = found.dwFileAttributes;
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
                removed = (deleteFile(versionPath) || removeFolder(versionPath)) && removed;
            else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
                removed = removeTree(len + 1 + nameLen, depth + 1) && removed;
            else
                removed = deleteFile(versionPath) && removed;
        } while (findNextFile(listing, &found));
        FindClose(listing);
    }
    versionPath[len] = 0;
    return removeFolder(versionPath) && removed;
}

// Names a version folder (at versionPath) that could not be removed. False
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

// Removes the version folders of the destination that are older than days
// by their names: only folders directly in "~Versions" named exactly as a
// time stamp; nothing else, there or anywhere. False when out of memory.
static bool removeOldVersions(const char* destination, size_t length, uint16_t days) {
    const long long oldest = stampSeconds(runStamp) - (long long)days * 86400;
    const size_t len = versionsFolderPath(destination, length);
    memcpy(versionPath + len, "\\*", 3);
    versionPath[len] = separatorOf(destination);
    FindRecord found;
    HANDLE listing = findFirstFile(versionPath, &found);
    if (listing == INVALID_HANDLE_VALUE) return true;
    bool haveMemory = true;
    do {
        const long long made = stampSeconds(found.cFileName);
        const DWORD attributes = found.dwFileAttributes;
        if (made < 0 || made >= oldest || found.nameUnusable || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        memcpy(versionPath + len + 1, found.cFileName, STAMP_LEN + 1);
        if (!removeTree(len + 1 + STAMP_LEN, 0)) haveMemory = noteNotRemoved(len + 1 + STAMP_LEN) && haveMemory;
        versionPath[len + 1 + STAMP_LEN] = 0;
    } while (findNextFile(listing, &found));
    FindClose(listing);
    return haveMemory;
}

bool endVersions(const PathList* entries) {
    bool haveMemory = true;
    // Entries of one destination line come together: its versions are
    // pruned once, by the days its last "--Versions--" line gave.
    for (const PathNode* node = entries->first; node; node = node->next) {
        const PathNode* next = node->next;
        const bool lastOfRun = !next || !next->pathTo || next->lenDir != node->lenDir || next->keepDays != node->keepDays ||
                               memcmp(next->pathTo, node->pathTo, node->lenDir);
        if (node->keepDays && node->pathTo && lastOfRun)
            haveMemory = removeOldVersions(node->pathTo, node->lenDir, node->keepDays) && haveMemory;
    }
    return haveMemory;
}

const char* versionsNotRemovedText() { return versionsNotRemoved ? versionsNotRemoved : ""; }

void forgetVersionsNotRemoved() {
    freeMem(versionsNotRemoved);
    versionsNotRemoved = NULL;
    versionsNotRemovedLen = 0;
}
