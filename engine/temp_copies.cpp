// Copies put in place only when whole: each copy is written into a folder
// the program owns in its destination directory, then renamed over its
// backup once it is whole. The batches and the direct copies of
// copy_batches.cpp write where tempPathOf says and settle each copy here.
#include <stdio.h>
#include <string.h>

#include "alloc.h"
#include "engine_internal.h"

// A copy that fails half way (a full drive, a file held open, a drive
// pulled out) never costs the previous backup, and no name the run writes
// can be another file's: a temporary name beside the backup could be the
// backup of a source so named, or a link someone left there. "~qvtmp"
// directly in a destination directory is no mirror folder, whose first
// level is a drive letter or "UNC" (natively, a source below /~qvtmp is not
// backed up). A run makes a folder of its own in it, named by three hex
// digits, one that did not exist (making a folder fails where anything
// stands), so nothing it writes there meets another file. Its copies go
// into subfolders of six hex digits, 256 at most in each, named by two:
// Wine looks a new name up by reading its whole folder. A run that dies
// leaves its folder behind; a later run removes those leftovers, and only
// them: plain folders and files of exactly those shapes, never a link.
static const char tempFolderName[] = "~qvtmp";
constexpr size_t TEMP_FOLDER_LEN = sizeof tempFolderName - 1;
constexpr unsigned RUN_FOLDERS = 0x1000;
constexpr size_t SHAPE_DIGITS[3] = {3, 6, 2};  // a run's folder, a subfolder of copies, a copy
constexpr uint32_t COPIES_A_FOLDER = 256;

// Bytes the longest path within PATH_LIMIT may take: UTF-8 takes at most
// three bytes for a UTF-16 unit.
#ifdef _WIN32
constexpr size_t PATH_BYTES = 3 * PATH_LIMIT;
#else
constexpr size_t PATH_BYTES = PATH_LIMIT;
#endif
char tempPath[PATH_BYTES + NAME_BYTES + 2];

// A source that changes during each of this many copies is named.
constexpr uint16_t CHANGES_MAX = 3;

enum TempState : uint8_t { TEMP_UNMADE, TEMP_READY, TEMP_UNUSABLE };

// The owned folder of one destination directory in this pass.
struct TempFolder {
    const char* destination;  // the start of an entry's pathTo, ending in its separator
    uint32_t length;
    TempState state;
    unsigned run;   // the run's own folder in it
    uint32_t used;  // temporary copies numbered so far
    DWORD error;    // why it is unusable
    TempFolder* next;
};
static TempFolder* tempFolders;

const char* lastName(const char* path) {
    const char* name = path + strlen(path);
    while (name > path && !isSeparator(name[-1])) name--;
    return name;
}

bool startsWithTempFolder(const char* mirror) {
    return !strncmp(mirror, tempFolderName, TEMP_FOLDER_LEN) && isSeparator(mirror[TEMP_FOLDER_LEN]);
}

static TempFolder* tempFolderOf(const PathNode* node) {
    for (TempFolder* f = tempFolders; f; f = f->next)
        if (f->length == node->lenDir && !memcmp(f->destination, node->pathTo, f->length)) return f;
    return NULL;
}

// Writes "destination~qvtmp" into tempPath; its length.
static size_t tempFolderPath(const char* destination, size_t length) {
    memcpy(tempPath, destination, length);
    memcpy(tempPath + length, tempFolderName, TEMP_FOLDER_LEN + 1);
    return length + TEMP_FOLDER_LEN;
}

const char* tempPathOf(const PathNode* node) {
    const TempFolder* f = tempFolderOf(node);
    const size_t n = tempFolderPath(node->pathTo, node->lenDir);
    const uint32_t index = node->tempIndex ? node->tempIndex - 1 : 0;
    const char sep = separatorOf(node->pathTo);
    snprintf(tempPath + n, TEMP_EXTRA - TEMP_FOLDER_LEN + 1, "%c%03x%c%06x%c%02x", sep, f ? f->run : 0, sep,
             (unsigned)(index / COPIES_A_FOLDER), sep, (unsigned)(index % COPIES_A_FOLDER));
    return tempPath;
}

static bool hasShape(const char* name, size_t digits) {
    if (strlen(name) != digits) return false;
    for (size_t i = 0; i < digits; i++)
        if (!strchr("0123456789abcdef", name[i])) return false;
    return true;
}

// Removes what runs that died left in the folder at tempPath (len bytes),
// depth levels below "~qvtmp": run folders, then subfolders, then copies.
static void removeLeftovers(size_t len, int depth) {
    memcpy(tempPath + len, "\\*", 3);
    tempPath[len] = separatorOf(tempPath);
    FindRecord found;
    HANDLE listing = findFirstFile(tempPath, &found);
    if (listing == INVALID_HANDLE_VALUE) return;
    const size_t digits = SHAPE_DIGITS[depth];
    do {
        const DWORD attributes = found.dwFileAttributes;
        const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
        if (found.nameUnusable || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || folder != (depth < 2) ||
            !hasShape(found.cFileName, digits))
            continue;
        memcpy(tempPath + len + 1, found.cFileName, digits + 1);
        if (folder) {
            removeLeftovers(len + 1 + digits, depth + 1);
            tempPath[len + 1 + digits] = 0;
            removeFolder(tempPath);
        } else {
            deleteFile(tempPath);
        }
    } while (findNextFile(listing, &found));
    FindClose(listing);
}

// Makes the run's own folder in the destination's "~qvtmp", which is made
// where missing and cleared of leftovers where found. False, with f->error,
// when the destination has no such plain folder or it can take none.
static bool makeRunFolder(TempFolder* f) {
    const size_t len = tempFolderPath(f->destination, f->length);
    if (!createFolder(tempPath)) {
        f->error = GetLastError();
        FindRecord found;
        HANDLE self = f->error == ERROR_ALREADY_EXISTS ? findFirstFile(tempPath, &found) : INVALID_HANDLE_VALUE;
        if (self == INVALID_HANDLE_VALUE) return false;
        FindClose(self);
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY)
            return false;
        removeLeftovers(len, 0);
    }
    for (unsigned run = 0; run < RUN_FOLDERS; run++) {
        snprintf(tempPath + len, 5, "%c%03x", separatorOf(f->destination), run);
        if (createFolder(tempPath)) {
            f->run = run;
            return true;
        }
        f->error = GetLastError();
        if (f->error != ERROR_ALREADY_EXISTS) break;
    }
    return false;
}

TempReady readyTempCopy(PathNode* node, DWORD* error) {
    TempFolder* f = tempFolderOf(node);
    if (!f) {
        f = (TempFolder*)allocMem(sizeof *f);
        if (!f) return TEMP_NO_MEMORY;
        *f = {node->pathTo, node->lenDir, TEMP_UNMADE, 0, 0, 0, tempFolders};
        tempFolders = f;
    }
    if (f->state == TEMP_UNMADE) f->state = makeRunFolder(f) ? TEMP_READY : TEMP_UNUSABLE;
    if (f->state == TEMP_UNUSABLE) {
        *error = f->error;
        return TEMP_NOT_MADE;
    }
    if (!node->tempIndex) {
        if (f->used == UINT32_MAX) {
            *error = ERROR_FUNCTION_FAILED;
            return TEMP_NOT_MADE;
        }
        node->tempIndex = ++f->used;
    }
    return TEMP_MADE;
}

void dropTempCopy(const PathNode* node) {
    if (node->tempIndex) deleteFile(tempPathOf(node));
}

void removeTempFolders() {
    while (TempFolder* f = tempFolders) {
        if (f->state == TEMP_READY) {
            const size_t len = tempFolderPath(f->destination, f->length);
            const char sep = separatorOf(f->destination);
            for (uint32_t group = 0; f->used && group <= (f->used - 1) / COPIES_A_FOLDER; group++) {
                snprintf(tempPath + len, 12, "%c%03x%c%06x", sep, f->run, sep, (unsigned)group);
                removeFolder(tempPath);
            }
            snprintf(tempPath + len, 5, "%c%03x", sep, f->run);
            removeFolder(tempPath);
            tempPath[len] = 0;
            removeFolder(tempPath);  // where nothing else is left in it
        }
        tempFolders = f->next;
        freeMem(f);
    }
}

bool makeFoldersOf(char* path) {
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

// The backup's folder made last, as the start of an entry's pathTo: most
// files share their folder with the file before, and it is not asked for
// again.
static const char* madeFolder;
static size_t madeFolderLen;

static bool makeBackupFolders(PathNode* node) {
    const size_t folderLen = (size_t)(lastName(node->pathTo) - node->pathTo);
    if (madeFolder && madeFolderLen == folderLen && !memcmp(madeFolder, node->pathTo, folderLen)) return true;
    if (!makeFoldersOf(node->pathTo)) return false;
    madeFolder = node->pathTo;
    madeFolderLen = folderLen;
    return true;
}

void forgetMadeFolder() { madeFolder = NULL; }

// A backup put in place over one under another spelling of its name may
// keep that spelling where the rename went onto the name its folder lists
// (Wine does so); it is renamed to its own.
static void respell(const PathNode* node) {
    FindRecord found;
    const char* name = lastName(node->pathTo);
    if (!listedName(node->pathTo, &found) || !strcmp(found.cFileName, name)) return;
    const size_t folderLen = (size_t)(name - node->pathTo);
    memcpy(tempPath, node->pathTo, folderLen);
    memcpy(tempPath + folderLen, found.cFileName, strlen(found.cFileName) + 1);
    moveFileOver(tempPath, node->pathTo);
}

Settled settleCopy(PathNode* node, DWORD* error) {
    WIN32_FILE_ATTRIBUTE_DATA now, copied;
    if (!fileAttributes(node->path, &now) || (now.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return SETTLED_GONE;
    // The source as it is after its copy must be as it was before, or the
    // copy may hold part of each version: it goes again, as the source is now.
    const uint64_t size = sizeOf(now.nFileSizeHigh, now.nFileSizeLow);
    if (size != node->sizeFrom || ticksOf(now.ftLastWriteTime) != ticksOf(node->timeFrom)) {
        node->timeFrom = now.ftLastWriteTime;
        node->sizeFrom = size;
        return ++node->changes < CHANGES_MAX ? SETTLED_AGAIN : SETTLED_TORN;
    }
    // A copy that failed half way is short, or bears the time of its last write.
    const char* temp = tempPathOf(node);
    if (!fileAttributes(temp, &copied) || !isBackupOf(copied, node->timeFrom, node->sizeFrom))
        return SETTLED_NOT_WHOLE;
    if (!makeBackupFolders(node)) {
        *error = GetLastError();
        return SETTLED_FAILED;
    }
    if (!keepVersion(node, error)) return SETTLED_FAILED;
    if (!moveFileOver(temp, node->pathTo)) {
        *error = GetLastError();
        return SETTLED_FAILED;
    }
    if (node->respell) respell(node);
    return SETTLED_PLACED;
}
