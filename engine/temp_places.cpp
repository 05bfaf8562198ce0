// The folders of temporary copies a backup folder owns: its "~qvtmp", and
// one directly in each folder of another drive that it reaches; the run's
// own numbered folder in each, held open as the mark of a live run; the
// leftovers of runs that died; the numbering of the copies; and the drive's
// way with times FAT cannot keep, asked with a copy's name. backup_folders.cpp
// holds the rest of what a backup folder owns, and asks this source.
//
// A copy that fails half way (a full drive, a file held open, a drive
// pulled out) never costs the previous backup, and no name the run writes
// can be another file's: a temporary name beside the backup could be
// the backup of a source so named, or a link someone left there. "~qvtmp"
// directly in a backup folder is no mirror folder, whose first level is a
// drive letter or "UNC" (natively, a source below /~qvtmp is not backed
// up). A run makes a folder of its own in it, named by three hex digits,
// one that did not exist (making a folder fails where anything stands), so
// nothing it writes there meets another file. Its copies go into subfolders
// of six hex digits, 256 at most in each, named by two: Wine looks a new
// name up by reading its whole folder. A run that dies leaves its folder
// behind; a later run removes those leftovers, and only them: plain folders
// and files of exactly those shapes, never a link, never a live run's.
#include <stdio.h>
#include <string.h>

#include "alloc.h"
#include "engine_internal.h"

static const char tempFolderName[] = "~qvtmp";
constexpr size_t TEMP_FOLDER_LEN = sizeof tempFolderName - 1;
constexpr unsigned RUN_FOLDERS = 0x1000;
constexpr size_t SHAPE_DIGITS[3] = {3, 6, 2};  // a run's folder, a subfolder of copies, a copy
constexpr uint32_t COPIES_A_FOLDER = 256;

char tempPath[SCRATCH_PATH_ROOM];

bool startsWithTempFolder(const char* mirror) {
    return !strncmp(mirror, tempFolderName, TEMP_FOLDER_LEN) && isSeparator(mirror[TEMP_FOLDER_LEN]);
}

static TempPlace* tempPlaceFor(const PathNode* node);

static TempPlace* placeOf(const PathNode* node) { return node->tempPlace ? node->tempPlace : &node->folder->temp; }

// Writes "<backup folder><place>~qvtmp" into tempPath; its length.
static size_t tempFolderPath(const BackupFolder* f, const TempPlace* place) {
    memcpy(tempPath, f->path, f->length);
    memcpy(tempPath + f->length, place->mirror, place->mirrorLen);
    memcpy(tempPath + f->length + place->mirrorLen, tempFolderName, TEMP_FOLDER_LEN + 1);
    return f->length + place->mirrorLen + TEMP_FOLDER_LEN;
}

static bool hasShape(const char* name, size_t digits) {
    if (strlen(name) != digits) return false;
    for (size_t i = 0; i < digits; i++)
        if (!strchr("0123456789abcdef", name[i])) return false;
    return true;
}

// Removes what runs that died left in the folder at tempPath (len bytes),
// depth levels below "~qvtmp": run folders, then subfolders, then copies. A
// run folder that a live run holds is left alone; one that is tested is
// held meanwhile, so that no run can take it up. False, GetLastError saying
// why, when the folder could not be listed.
static bool removeLeftovers(size_t len, int depth) {
    memcpy(tempPath + len, "\\*", 3);
    tempPath[len] = separatorOf(tempPath);
    FindRecord found;
    HANDLE listing = findFirstFile(tempPath, &found);
    if (listing == INVALID_HANDLE_VALUE) return false;
    const size_t digits = SHAPE_DIGITS[depth];
    do {
        const DWORD attributes = found.dwFileAttributes;
        const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
        if (found.nameUnusable || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || folder != (depth < 2) ||
            !hasShape(found.cFileName, digits))
            continue;
        memcpy(tempPath + len + 1, found.cFileName, digits + 1);
        if (!folder) {
            deleteFile(tempPath);
            continue;
        }
        HANDLE held = depth == 0 ? openToDelete(tempPath) : INVALID_HANDLE_VALUE;
        if (depth == 0 && held == INVALID_HANDLE_VALUE) continue;  // a live run's, or not to be removed
        // Wine lists no folder that a handle with delete access holds: there
        // it is let go first. A run that takes it up in that moment may lose
        // its first copies to the clean-up; each is then found not whole, and
        // named.
        if (!removeLeftovers(len + 1 + digits, depth + 1) && held != INVALID_HANDLE_VALUE &&
            GetLastError() == ERROR_SHARING_VIOLATION) {
            CloseHandle(held);
            held = INVALID_HANDLE_VALUE;
            removeLeftovers(len + 1 + digits, depth + 1);
        }
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        tempPath[len + 1 + digits] = 0;
        removeFolder(tempPath);
    } while (findNextFile(listing, &found));
    FindClose(listing);
    return true;
}

// Makes the run's own folder in the place's "~qvtmp", which is made where
// missing and cleared of dead runs' leftovers where found, and holds it as
// live. False, with place->error, when the place has no such plain folder
// or can take none. A "~qvtmp" that another run removes meanwhile, as it
// ends, is made again.
static bool makeRunFolder(const BackupFolder* f, TempPlace* place) {
    for (int attempt = 0; attempt < 3; attempt++) {
        const size_t len = tempFolderPath(f, place);
        if (!ownFolder(tempPath, &place->error)) return false;
        removeLeftovers(len, 0);
        for (unsigned run = 0; run < RUN_FOLDERS; run++) {
            snprintf(tempPath + len, 5, "%c%03x", separatorOf(f->path), run);
            if (!createFolder(tempPath)) {
                place->error = GetLastError();
                if (place->error == ERROR_ALREADY_EXISTS) continue;
                break;
            }
            // Taken up by another run's clean-up before it could be held: the next.
            place->live = openAsOwner(tempPath);
            if (place->live == INVALID_HANDLE_VALUE) continue;
            place->run = run;
            return true;
        }
        if (place->error != ERROR_PATH_NOT_FOUND && place->error != ERROR_FILE_NOT_FOUND) return false;
    }
    return false;
}

// Writes the path of copy number index (from 1) of the place into tempPath.
static const char* tempPathAt(const BackupFolder* f, const TempPlace* place, uint32_t index) {
    const size_t n = tempFolderPath(f, place);
    const char sep = separatorOf(f->path);
    snprintf(tempPath + n, TEMP_EXTRA - TEMP_FOLDER_LEN + 1, "%c%03x%c%06x%c%02x", sep, place->run, sep,
             (unsigned)((index - 1) / COPIES_A_FOLDER), sep, (unsigned)((index - 1) % COPIES_A_FOLDER));
    return tempPath;
}

// Readies the place and numbers a new temporary copy in it: 0, with *error,
// when it can take none. Each subfolder of copies is made by the run, never
// by the shell's copy, which would make any folder above it too.
static uint32_t newTempCopy(BackupFolder* f, TempPlace* place, DWORD* error) {
    if (f->lost) {
        *error = ERROR_PATH_NOT_FOUND;
        return 0;
    }
    if (place->state == TEMP_UNMADE) place->state = makeRunFolder(f, place) ? TEMP_READY : TEMP_UNUSABLE;
    if (place->state == TEMP_UNUSABLE || place->used == UINT32_MAX) {
        *error = place->state == TEMP_UNUSABLE ? place->error : ERROR_FUNCTION_FAILED;
        return 0;
    }
    const uint32_t index = ++place->used;
    if ((index - 1) % COPIES_A_FOLDER == 0) {
        char* folder = (char*)tempPathAt(f, place, index);
        *(char*)lastName(folder) = 0;
        if (!backupFolderStands(f) || (!createFolder(folder) && GetLastError() != ERROR_ALREADY_EXISTS)) {
            *error = f->lost ? ERROR_PATH_NOT_FOUND : GetLastError();
            return 0;
        }
    }
    return index;
}

const char* tempPathOf(const PathNode* node) {
    return tempPathAt(node->folder, placeOf(node), node->tempIndex ? node->tempIndex : 1);
}

TempReady readyTempCopy(PathNode* node, DWORD* error) {
    if (node->folder->lost) {
        *error = ERROR_PATH_NOT_FOUND;
        return TEMP_NOT_MADE;
    }
    if (node->tempIndex) return TEMP_MADE;
    node->tempPlace = tempPlaceFor(node);
    node->tempIndex = newTempCopy(node->folder, placeOf(node), error);
    return node->tempIndex ? TEMP_MADE : TEMP_NOT_MADE;
}

// A time FAT and exFAT cannot keep: 1975-01-01 00:00:00 UTC.
constexpr uint64_t BEFORE_FAT = 118022400000000000ULL;

// FAT32 and exFAT keep a time before 1980 (or after 2107) at their limit,
// and a copy at the limit is then the backup of a source dated beyond it;
// on any other drive the time must be kept as it is. Asked of the drive,
// once a pass, by a file stamped so in the run's own folder: a file system's
// name does not tell (Wine and FUSE drivers call every drive NTFS or
// fuseblk). Where nothing can be asked, the drive is taken to keep times,
// so that a source is copied rather than taken for backed up.
bool pinsTimes(BackupFolder* f) {
    if (f->times == TIMES_UNASKED) {
        f->times = TIMES_KEPT;
        DWORD error;
        const uint32_t index = newTempCopy(f, &f->temp, &error);
        const FILETIME early = {(DWORD)BEFORE_FAT, (DWORD)(BEFORE_FAT >> 32)};
        WIN32_FILE_ATTRIBUTE_DATA kept;
        const char* probe = index ? tempPathAt(f, &f->temp, index) : NULL;
        if (probe && makeStampedFile(probe, early) && fileAttributes(probe, &kept) &&
            ticksOf(kept.ftLastWriteTime) != BEFORE_FAT)
            f->times = TIMES_PINNED;
        if (probe) deleteFile(probe);
    }
    return f->times == TIMES_PINNED;
}

void dropTempCopy(const PathNode* node) {
    if (node->tempIndex) deleteFile(tempPathOf(node));
}

// Removes the run's folders of one place: its copies' subfolders (empty by
// now, or of a lost folder, whose copies go too), its own folder once it no
// longer holds it, and "~qvtmp" where nothing else is left in it.
static void removePlace(const BackupFolder* f, TempPlace* place) {
    if (place->state != TEMP_READY) return;
    const size_t len = tempFolderPath(f, place);
    const char sep = separatorOf(f->path);
    for (uint32_t index = 0; f->lost && index < place->used; index++) {
        snprintf(tempPath + len, 15, "%c%03x%c%06x%c%02x", sep, place->run, sep, (unsigned)(index / COPIES_A_FOLDER),
                 sep, (unsigned)(index % COPIES_A_FOLDER));
        deleteFile(tempPath);
    }
    for (uint32_t group = 0; place->used && group <= (place->used - 1) / COPIES_A_FOLDER; group++) {
        snprintf(tempPath + len, 12, "%c%03x%c%06x", sep, place->run, sep, (unsigned)group);
        removeFolder(tempPath);
    }
    if (place->live != INVALID_HANDLE_VALUE) CloseHandle(place->live);
    place->live = INVALID_HANDLE_VALUE;
    snprintf(tempPath + len, 5, "%c%03x", sep, place->run);
    removeFolder(tempPath);
    tempPath[len] = 0;
    removeFolder(tempPath);
    place->state = TEMP_UNUSABLE;
    place->error = ERROR_PATH_NOT_FOUND;
}

void removeRunFolders(BackupFolder* f) {
    removePlace(f, &f->temp);
    for (TempPlace* place = f->others; place; place = place->next) removePlace(f, place);
}

// --- Backups on another drive ---

// A copy in "~qvtmp" cannot be renamed onto another drive, which a link, a
// junction or a mount point inside the backup folder reaches (a backup
// grown too big for one disk). Below such a folder the copies are written
// into a "~qvtmp" of its own, directly in it: the link itself is found by
// its attributes (Windows lists each such folder as a reparse point), or
// natively as the last folder on the backup's drive; failing both, the
// backup's own folder is on its drive. A source whose backup would land in
// that "~qvtmp" is named instead, as one below the backup folder's own.
bool placeOnBackupDrive(PathNode* node, DWORD* error) {
    BackupFolder* f = node->folder;
    size_t cut = (size_t)(lastName(node->pathTo) - node->pathTo) - 1;  // the place's folder, without its separator
    memcpy(tempPath, node->pathTo, cut);
    tempPath[cut] = 0;
    FileIdentity drive, above;
    const bool known = identify(tempPath, &drive);
    for (;;) {
        WIN32_FILE_ATTRIBUTE_DATA attributes;
        if (fileAttributes(tempPath, &attributes) && (attributes.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            break;
        size_t up = cut;
        while (up > 0 && !isSeparator(tempPath[up - 1])) up--;
        if (up == 0 || up - 1 < node->lenDir) break;  // its folder above is the backup folder
        tempPath[up - 1] = 0;
        if (!known || !identify(tempPath, &above) || above.volume != drive.volume) break;
        cut = up - 1;
    }
    const size_t mirrorLen = cut + 1 - node->lenDir;
    TempPlace* place = f->others;
    while (place && !(place->mirrorLen == mirrorLen && !memcmp(place->mirror, node->pathTo + node->lenDir, mirrorLen)))
        place = place->next;
    if (place && place == node->tempPlace) {
        *error = ERROR_NOT_SAME_DEVICE;  // its copy there met another drive again
        return false;
    }
    if (startsWithTempFolder(node->pathTo + cut + 1) ||
        !pathFits(node->pathTo, cut + 1, TEMP_EXTRA)) {
        *error = ERROR_ALREADY_EXISTS;
        return false;
    }
    if (!place) {
        place = (TempPlace*)allocMem(sizeof *place);
        char* mirror = copyText(node->pathTo + node->lenDir, mirrorLen);
        if (!place || !mirror) {
            freeMem(place);
            freeMem(mirror);
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        *place = {};
        place->mirror = mirror;
        place->mirrorLen = (uint32_t)mirrorLen;
        place->live = INVALID_HANDLE_VALUE;
        place->next = f->others;
        f->others = place;
    }
    dropTempCopy(node);
    node->tempPlace = place;
    node->tempIndex = 0;
    return true;
}

// The place whose folder the entry's backup lies below, the deepest known;
// NULL: the backup folder's own.
static TempPlace* tempPlaceFor(const PathNode* node) {
    TempPlace* best = NULL;
    const char* mirror = node->pathTo + node->lenDir;
    for (TempPlace* place = node->folder->others; place; place = place->next)
        if (node->lenTo - node->lenDir > place->mirrorLen && !memcmp(place->mirror, mirror, place->mirrorLen) &&
            (!best || place->mirrorLen > best->mirrorLen))
            best = place;
    return best;
}

void releaseTempPlaces(BackupFolder* f) {
    removeRunFolders(f);
    while (TempPlace* place = f->others) {
        f->others = place->next;
        freeMem(place->mirror);
        freeMem(place);
    }
}
