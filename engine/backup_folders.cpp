// What a backup folder owns, in one place: its identity, taken when the pass
// starts and asked again before each batch and wherever a folder is made in
// it; the folders made below it, never it or above it; its folder of
// earlier versions "~Versions"; and, in temp_places.cpp, its folders of
// temporary copies "~qvtmp". Only these two sources spell those folders'
// paths; the rest of the engine asks them.
#include <stdio.h>
#include <string.h>

#include "alloc.h"
#include "engine_internal.h"

static const char versionsFolderName[] = "~Versions";
constexpr size_t VERSIONS_FOLDER_LEN = sizeof versionsFolderName - 1;
// A run's version folder is named by its start, and by "(2)" to "(99)"
// after it where that name is taken (two runs in one second).
constexpr unsigned VERSION_RUNS = 99;

char versionPath[SCRATCH_PATH_ROOM];

BackupFolder* backupFolders;

const char* lastName(const char* path) {
    const char* name = path + strlen(path);
    while (name > path && !isSeparator(name[-1])) name--;
    return name;
}

bool startsWithOwnFolder(const char* mirror) {
    return startsWithTempFolder(mirror) ||
           (!strncmp(mirror, versionsFolderName, VERSIONS_FOLDER_LEN) && isSeparator(mirror[VERSIONS_FOLDER_LEN]));
}

// --- Identity ---

// The record of the folder a destination directory is: the one of its
// spelling, else of its identity, else a new one. NULL when out of memory.
static BackupFolder* folderOf(const char* destination, size_t length) {
    for (BackupFolder* f = backupFolders; f; f = f->next)
        if (f->length == length && !memcmp(f->path, destination, length)) return f;
    char* path = copyText(destination, length);
    if (!path) return NULL;
    FileIdentity id;
    const bool known = identify(path, &id);
    for (BackupFolder* f = backupFolders; known && f; f = f->next)
        if (f->known && sameFile(f->id, id)) {
            freeMem(path);
            return f;
        }
    BackupFolder* f = (BackupFolder*)allocMem(sizeof *f);
    if (!f) {
        freeMem(path);
        return NULL;
    }
    *f = {};
    f->path = path;
    f->length = (uint32_t)length;
    f->id = id;
    f->known = known;
    // Gone since its line was read: nothing is written there.
    f->lost = !known && !pathExists(path);
    f->temp.mirror = (char*)"";
    f->temp.live = INVALID_HANDLE_VALUE;
    f->next = backupFolders;
    backupFolders = f;
    return f;
}

bool bindBackupFolders(const PathList* entries) {
    const PathNode* previous = NULL;
    for (PathNode* node = entries->first; node; previous = node, node = node->next) {
        if (previous && previous->lenDir == node->lenDir && !memcmp(previous->pathTo, node->pathTo, node->lenDir))
            node->folder = previous->folder;
        else if (!(node->folder = folderOf(node->pathTo, node->lenDir)))
            return false;
        if (node->keepDays > node->folder->keepDays) node->folder->keepDays = node->keepDays;
    }
    return true;
}


// Asked of the drive: a folder that went away (a drive pulled out, a
// network drive dropped) or that another has replaced (an empty mount point)
// is lost for the rest of the pass. What the run wrote below its path before
// it noticed is removed, and so is the folder itself where the shell's copy
// made it again: empty, and another folder than the one the pass started
// with.
bool backupFolderStands(BackupFolder* f) {
    if (f->lost) return false;
    FileIdentity now;
    const bool known = identify(f->path, &now);
    if (f->known ? known && sameFile(now, f->id) : pathExists(f->path)) return true;
    f->lost = true;
    removeRunFolders(f);
    if (f->known && known) removeFolder(f->path);
    return false;
}

// Whether the attributes are those of a plain folder on the drive of the
// folder that holds it (the backup folder, or a folder of another drive
// below it): no link, junction or mount point, which lead elsewhere.
static bool plainFolderHere(char* path, DWORD attributes) {
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
        return false;
    FileIdentity id, holder;
    char* name = (char*)lastName(path);
    const char kept = name[-1];
    name[-1] = 0;
    const bool known = identify(path, &holder);
    name[-1] = kept;
    // A drive that gives no identities tells nothing more.
    return !known || !identify(path, &id) || id.volume == holder.volume;
}

// What stands at path: its attributes as its folder lists it (a link as a
// link), or INVALID_FILE_ATTRIBUTES.
static DWORD listedAttributes(const char* path) {
    FindRecord found;
    HANDLE self = findFirstFile(path, &found);
    if (self == INVALID_HANDLE_VALUE) return INVALID_FILE_ATTRIBUTES;
    FindClose(self);
    return found.dwFileAttributes;
}

// Makes one of the backup folder's own folders where missing; false, with
// *error, where anything but a plain folder on its drive stands there (183;
// 17 for a folder of another drive).
bool ownFolder(char* path, DWORD* error) {
    if (createFolder(path)) return true;
    *error = GetLastError();
    if (*error != ERROR_ALREADY_EXISTS) return false;
    const DWORD attributes = listedAttributes(path);
    if (plainFolderHere(path, attributes)) return true;
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY))
        *error = ERROR_NOT_SAME_DEVICE;
    return false;
}

// --- Folders made below a backup folder ---

// Makes the missing folders above path's last name, down from the first
// that stands, never at or above the backup folder (floor bytes of path,
// its separator included); path is ended at each folder for a moment.
static bool makeFoldersFrom(char* path, size_t floor) {
    char* name = (char*)lastName(path);
    if ((size_t)(name - path) <= floor) return true;  // in the backup folder itself
    char* separator = name - 1;
    const char kept = *separator;
    *separator = 0;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    const bool made = (fileAttributes(path, &attributes) && (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ||
                      (makeFoldersFrom(path, floor) && createFolder(path));
    *separator = kept;
    return made;
}

bool makeFoldersBelow(BackupFolder* f, char* path) {
    char* name = (char*)lastName(path);
    if ((size_t)(name - path) <= f->length) return backupFolderStands(f);
    char* separator = name - 1;
    const char kept = *separator;
    *separator = 0;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    bool made = fileAttributes(path, &attributes) && (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    *separator = kept;
    // A folder is made only in the backup folder the pass started with.
    if (!made && !backupFolderStands(f)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return made || makeFoldersFrom(path, f->length);
}

// --- Earlier versions ---

size_t versionsFolderPath(const BackupFolder* f) {
    memcpy(versionPath, f->path, f->length);
    memcpy(versionPath + f->length, versionsFolderName, VERSIONS_FOLDER_LEN + 1);
    const DWORD attributes = listedAttributes(versionPath);
    return plainFolderHere(versionPath, attributes) ? f->length + VERSIONS_FOLDER_LEN : 0;
}

bool versionPathOf(const PathNode* node, const char* stamp, DWORD* error) {
    BackupFolder* f = node->folder;
    const char sep = separatorOf(f->path);
    if (f->versions == VERSIONS_UNMADE) {
        f->versions = VERSIONS_UNUSABLE;
        memcpy(versionPath, f->path, f->length);
        memcpy(versionPath + f->length, versionsFolderName, VERSIONS_FOLDER_LEN + 1);
        size_t n = f->length + VERSIONS_FOLDER_LEN;
        if (!backupFolderStands(f)) {
            f->versionsError = ERROR_PATH_NOT_FOUND;
        } else if (ownFolder(versionPath, &f->versionsError)) {
            // The run's own version folder, made afresh: nothing in it is another's.
            versionPath[n++] = sep;
            for (unsigned run = 1; run <= VERSION_RUNS && f->versions != VERSIONS_READY; run++) {
                if (run == 1)
                    snprintf(f->versionRun, sizeof f->versionRun, "%s", stamp);
                else
                    snprintf(f->versionRun, sizeof f->versionRun, "%s (%u)", stamp, run);
                memcpy(versionPath + n, f->versionRun, strlen(f->versionRun) + 1);
                if (createFolder(versionPath)) f->versions = VERSIONS_READY;
                else if ((f->versionsError = GetLastError()) != ERROR_ALREADY_EXISTS) break;
            }
        }
    }
    if (f->versions != VERSIONS_READY) {
        *error = f->versionsError;
        return false;
    }
    size_t n = f->length;
    memcpy(versionPath, f->path, n);
    n += snprintf(versionPath + n, VERSIONS_FOLDER_LEN + sizeof f->versionRun + 2, "%s%c%s%c", versionsFolderName,
                  sep, f->versionRun, sep);
    const size_t mirrorLen = node->lenTo - node->lenDir;
    if (!pathFits(versionPath, n) || !pathFits(node->pathTo + node->lenDir, mirrorLen, n)) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    memcpy(versionPath + n, node->pathTo + node->lenDir, mirrorLen + 1);
    return true;
}

// --- The pass ends ---

void endBackupFolders() {
    while (BackupFolder* f = backupFolders) {
        releaseTempPlaces(f);
        backupFolders = f->next;
        freeMem(f->path);
        freeMem(f);
    }
}
