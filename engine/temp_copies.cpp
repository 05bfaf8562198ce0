// Copies put in place only when whole: each copy is written into a folder
// the program owns in its backup folder (backup_folders.cpp), then renamed
// over its backup once it is whole. The batches and the direct copies of
// copy_batches.cpp settle each copy here.
#include <string.h>

#include "engine_internal.h"

// A source that changes during each of this many copies is named.
constexpr uint16_t CHANGES_MAX = 3;

// A file's last-write time is stamped from a coarse clock (Linux's tick,
// FAT's two seconds): a write during a copy that falls within the tick of
// the write before leaves the time as it was. A source stamped this close
// to the start of its copy, or later, is compared with its copy byte for
// byte; an older one shows any write during its copy by its time.
constexpr uint64_t RECENT_TICKS = 4 * 10000000ULL;

static uint64_t copyStart;

void noteCopyStart() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    copyStart = ticksOf(now);
}

// The source changed during its copy: it goes again, as it is now.
static Settled changed(PathNode* node) { return ++node->changes < CHANGES_MAX ? SETTLED_AGAIN : SETTLED_TORN; }

// The backup's folder made last, as the start of an entry's pathTo: most
// files share their folder with the file before, and it is not asked for
// again.
static const char* madeFolder;
static size_t madeFolderLen;

static bool makeBackupFolders(PathNode* node) {
    const size_t folderLen = (size_t)(lastName(node->pathTo) - node->pathTo);
    if (madeFolder && madeFolderLen == folderLen && !memcmp(madeFolder, node->pathTo, folderLen)) return true;
    if (!makeFoldersBelow(node->folder, node->pathTo)) return false;
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
    if (node->folder->lost) {
        *error = ERROR_PATH_NOT_FOUND;
        return SETTLED_FAILED;
    }
    if (!fileAttributes(node->path, &now) || (now.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return SETTLED_GONE;
    // The source as it is after its copy must be as it was before, or the
    // copy may hold part of each version: it goes again, as the source is now.
    const uint64_t size = sizeOf(now.nFileSizeHigh, now.nFileSizeLow);
    if (size != node->sizeFrom || ticksOf(now.ftLastWriteTime) != ticksOf(node->timeFrom)) {
        node->timeFrom = now.ftLastWriteTime;
        node->sizeFrom = size;
        return changed(node);
    }
    // A copy that failed half way is short, or bears the time of its last write.
    // temp lies in the scratch tempPath, which asking the drive about a
    // folder writes too: it is written again after each call that may.
    const char* temp = tempPathOf(node);
    if (!fileAttributes(temp, &copied) || !isBackupOf(copied, node->timeFrom, node->sizeFrom, NULL))
        return SETTLED_NOT_WHOLE;
    // Written within a tick of its copy's start: only its bytes tell a write
    // during the copy.
    if (ticksOf(node->timeFrom) + RECENT_TICKS >= copyStart && !sameContent(node->path, temp)) return changed(node);
    if (!makeBackupFolders(node)) {
        *error = GetLastError();
        return SETTLED_FAILED;
    }
    bool versionMoved = false;
    if (!keepVersion(node, error, &versionMoved)) return SETTLED_FAILED;
    temp = tempPathOf(node);
    if (!moveFileOver(temp, node->pathTo)) {
        *error = GetLastError();
        // A backup that was moved into its version goes back: a copy that
        // cannot take its place never costs it.
        if (versionMoved) moveFileTo(versionPath, node->pathTo);
        return *error == ERROR_NOT_SAME_DEVICE && placeOnBackupDrive(node, error) ? SETTLED_AGAIN : SETTLED_FAILED;
    }
    if (node->respell) respell(node);
    return SETTLED_PLACED;
}
