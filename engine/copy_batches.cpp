// The copy pass's copying and its report: copies written under temporary
// names and put in place only when whole, the shell's batches and the
// direct copies, then copy() itself, which runs the pass over the
// decisions of copy_decisions.cpp and copy_twins.cpp.
#include <stdio.h>
#include <string.h>

#include "alloc.h"
#include "engine_internal.h"
#include "fixed_texts.h"
#include "list_intr.h"

// The copy pass's texts (see fixed_texts.h for their encoding).
// "\nNO MEMORY\n": the copy pass ran out of memory.
static constexpr char copyNoMemoryText[] = "\nНЕТ ПАМЯТИ\n";
// "Error while copying files. error =  %d (%x)": the shell's copy failed.
static constexpr char copyFailedFormat[] = "Ошибка при копировании файлов. error =  %d (%x)";
// "Copying of the files was interrupted.": the shell reported a cancel or a
// skipped file although it returned success.
static constexpr char copyInterruptedText[] = "Копирование файлов прервано.";
// "Destination paths too long, files not copied:", followed by one
// destination a line.
static constexpr char copyTooLongHeader[] = "Слишком длинные пути назначения, файлы не скопированы:";

// "Files that could not be copied:", followed by one source a line.
static constexpr char copyFailedHeader[] = "Файлы, которые не удалось скопировать:";

static_assert(textChars(copyNoMemoryText) == 12, "no-memory text");
static_assert(textChars(copyFailedHeader) == 38, "not-copied header");
static_assert(textChars(copyFailedFormat) == 47, "copy failure format");

// The shell's codes that say a source does not exist. Such a shell may have
// checked every source before it copied anything (Wine's does).
static bool sourceMissingCode(int code) {
    const int SHELL_SOURCE_NOT_FOUND = 0x402;  // DE_SRC_NOT_FOUND
    return code == SHELL_SOURCE_NOT_FOUND || code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// A full drive: no file after the one that failed would fit either.
static bool driveFullCode(int code) { return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL; }


// --- Copies put in place only when whole ---

// Every copy is written under a temporary name in its backup's folder, and
// renamed over the backup only once it is whole: a copy that fails half way
// (a full drive, a file held open, a drive pulled out) never costs the
// previous backup, and nothing half written ever stands under a file's own
// name. The temporary name is the backup's with this ending; where that
// would pass the 255 characters a name may have (NTFS, FAT32, exFAT: UTF-16
// units; Linux: bytes; counted in bytes, never fewer), "~qv", the name's
// hash in 16 hex digits, and the ending. A run that dies leaves such a file
// behind: the next copy of its file writes over it.
static const char tempEnding[] = ".~qvtmp";
constexpr size_t TEMP_ENDING_LEN = sizeof tempEnding - 1;
constexpr size_t NAME_MAX_LEN = 255;
// Bytes a temporary path may have beyond its backup's path.
constexpr size_t TEMP_EXTRA = 3 + 16 + TEMP_ENDING_LEN;

// Bytes the longest path within PATH_LIMIT may take: UTF-8 takes at most
// three bytes for a UTF-16 unit.
#ifdef _WIN32
constexpr size_t PATH_BYTES = 3 * PATH_LIMIT;
#else
constexpr size_t PATH_BYTES = PATH_LIMIT;
#endif
// The temporary path of the file being copied: the program has one thread.
char tempPath[PATH_BYTES + TEMP_EXTRA + 1];

const char* lastName(const char* path) {
    const char* name = path + strlen(path);
    while (name > path && !isSeparator(name[-1])) name--;
    return name;
}

uint64_t fnv1a(const char* text, bool foldAscii) {
    uint64_t h = 14695981039346656037ULL;
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
        if (foldAscii && *p >= 0x80) continue;
        h = (h ^ (foldAscii && *p >= 'A' && *p <= 'Z' ? *p + 32u : *p)) * 1099511628211ULL;
    }
    return h;
}

// The entry's temporary path, in tempPath.
const char* tempPathOf(const PathNode* node) {
    const char* name = lastName(node->pathTo);
    const size_t folderLen = (size_t)(name - node->pathTo), nameLen = node->lenTo - folderLen;
    memcpy(tempPath, node->pathTo, folderLen);
    size_t n = folderLen;
    if (nameLen + TEMP_ENDING_LEN <= NAME_MAX_LEN) {
        memcpy(tempPath + n, name, nameLen);
        n += nameLen;
    } else {
        n += (size_t)snprintf(tempPath + n, 20, "~qv%016llx", (unsigned long long)fnv1a(name, false));
    }
    memcpy(tempPath + n, tempEnding, TEMP_ENDING_LEN + 1);
    return tempPath;
}

// Whether the entry's destination, and its temporary path, are within what
// the file calls take.
bool destinationFits(const PathNode* node) { return pathFits(node->pathTo, node->lenTo, TEMP_EXTRA); }

// --- Batches ---

// The first failure's text: the code, or the cancel (code 0) or a copy
// that was not whole (a negative one).
static void noteFailure(int code, char* text, size_t room) {
    if (*text) return;
    if (code > 0)
        snprintf(text, room, copyFailedFormat, code, (unsigned)code);
    else
        snprintf(text, room, "%s", copyInterruptedText);
}

// The entry is not copied: it is named, and its temporary file, whatever
// part of a copy it holds, is removed.
static void notCopied(PathNode* node) {
    node->toCopy = TO_COPY_FAILED;
    deleteFile(tempPathOf(node));
}

// Whether the copy at the entry's temporary path (in tempPath) is whole: its
// source's backup by size and time, as the source was when the entry was
// made, or, where it changed since, as it is now. A copy that failed half
// way is short, or bears the time of its last write.
static bool wholeCopy(const PathNode* node) {
    WIN32_FILE_ATTRIBUTE_DATA copied, source;
    if (!fileAttributes(tempPath, &copied)) return false;
    return isBackupOf(copied, node->timeFrom, node->sizeFrom) ||
           (fileAttributes(node->path, &source) &&
            isBackupOf(copied, source.ftLastWriteTime, sizeOf(source.nFileSizeHigh, source.nFileSizeLow)));
}

// Renames the whole copy at the entry's temporary path (in tempPath) over
// its backup (TO_COPY_DONE); where that fails, the entry is not copied, and
// text gets the first failure.
static void placeWhole(PathNode* node, char* text, size_t room) {
    if (moveFileOver(tempPath, node->pathTo)) {
        node->toCopy = TO_COPY_DONE;
        return;
    }
    noteFailure((int)GetLastError(), text, room);
    notCopied(node);
}

// Puts the copy at the entry's temporary path in place of its backup when
// it is whole; else the entry is not copied, and text gets the first failure.
static void putInPlace(PathNode* node, char* text, size_t room) {
    tempPathOf(node);
    if (wholeCopy(node)) {
        placeWhole(node, text, room);
        return;
    }
    noteFailure(-1, text, room);
    notCopied(node);
}

static PathNode* firstInBatch(PathNode* node) {
    while (node && node->toCopy != TO_COPY_YES) node = node->next;
    return node;
}

// The entry after a batch from `from` of at most limit files.
static PathNode* batchEnd(PathNode* from, uint32_t limit) {
    for (; from; from = from->next)
        if (from->toCopy == TO_COPY_YES && limit-- == 0) break;
    return from;
}

// Runs the shell's copy over the entries from `from` up to `end` that are
// still in the batch, each to its temporary path: *code is what it
// returned, *aborted whether it reports a cancel. False when out of memory.
static bool copyBatch(PathNode* from, PathNode* end, int16_t silent, int* code, bool* aborted) {
    // One NUL after each name and one after the last. Summed wide: the
    // buffers can never be sized short.
    uint64_t fromSize = 1, toSize = 1;
    for (const PathNode* node = from; node != end; node = node->next) {
        if (node->toCopy != TO_COPY_YES) continue;
        fromSize += node->len + 1;
        toSize += node->lenTo + TEMP_EXTRA + 1;
    }
    if (fromSize > SIZE_MAX / 2 || toSize > SIZE_MAX / 2) return false;
    char* fromNames = (char*)allocMem((size_t)fromSize);
    char* toNames = (char*)allocMem((size_t)toSize);
    bool haveMemory = fromNames && toNames;
    if (haveMemory) {
        char* f = fromNames;
        char* t = toNames;
        for (const PathNode* node = from; node != end; node = node->next) {
            if (node->toCopy != TO_COPY_YES) continue;
            memcpy(f, node->path, node->len + 1);
            f += node->len + 1;
            const size_t n = strlen(tempPathOf(node)) + 1;
            memcpy(t, tempPath, n);
            t += n;
        }
        *f = 0;
        *t = 0;
        *code = shellCopy(fromNames, toNames, silent ? 0x0615 : 0x0211, aborted);
        haveMemory = *code != SHELL_NO_MEMORY;
    }
    freeMem(fromNames);
    freeMem(toNames);
    return haveMemory;
}

// After the batch from `from` up to `end` failed: each whole copy it left
// is put in place, and it stopped at the first file it did not copy whole,
// which is not copied; the files after that go into the next batches. When
// the shell said a source is missing, it may have copied nothing at all:
// every file whose source is gone is not copied, and every other one goes
// again.
static void settleFailedBatch(PathNode* from, PathNode* end, int code, char* text, size_t room) {
    const bool sourceMissing = sourceMissingCode(code);
    bool sourceGone = false;
    PathNode* stopped = NULL;
    for (PathNode* node = from; node != end; node = node->next) {
        if (node->toCopy != TO_COPY_YES) continue;
        tempPathOf(node);
        if (wholeCopy(node)) {
            placeWhole(node, text, room);
        } else if (sourceMissing && !pathExists(node->path)) {
            notCopied(node);
            sourceGone = true;
        } else if (!stopped) {
            stopped = node;
        }
    }
    if (stopped && !sourceGone) notCopied(stopped);
}

// Ends the pass: every file still to be copied is named as not copied.
static void stopPass(PathList* entries) {
    for (PathNode* node = entries->first; node; node = node->next)
        if (node->toCopy == TO_COPY_YES || node->toCopy == TO_COPY_DIRECT) notCopied(node);
        else if (node->toCopy == TO_COPY_HELD) node->toCopy = TO_COPY_FAILED;
}

// Copies the files flagged TO_COPY_YES: in one batch while none fails. After
// a failure the batches start again at one file and double with each that
// succeeds, so that many failing files cost a small multiple of a run
// without them. A cancel in the window or a full drive ends the pass: every
// file not copied then is named. shellText receives the first failure's
// text. False when out of memory; *stopped tells an ended pass.
static bool runBatches(PathList* entries, int16_t silent, char* shellText, size_t room, bool* stopped) {
    uint32_t limit = UINT32_MAX;
    for (PathNode* from = firstInBatch(entries->first); from; from = firstInBatch(from)) {
        PathNode* end = batchEnd(from, limit);
        int code = 0;
        bool aborted = false;
        if (!copyBatch(from, end, silent, &code, &aborted)) return false;
        if (code == 0 && !aborted) {
            for (PathNode* node = from; node != end; node = node->next)
                if (node->toCopy == TO_COPY_YES) putInPlace(node, shellText, room);
            limit = limit > UINT32_MAX / 2 ? UINT32_MAX : limit * 2;
            continue;
        }
        noteFailure(code, shellText, room);
        settleFailedBatch(from, end, code, shellText, room);
        // In the window a person can cancel in the shell's dialog; an
        // unattended run has no one to cancel, so it goes on.
        if ((!silent && (code == ERROR_CANCELLED || aborted)) || driveFullCode(code)) {
            stopPass(entries);
            *stopped = true;
            return true;
        }
        limit = 1;
    }
    return true;
}

// Makes the missing folders of a destination file, from the deepest one
// that exists down, as the shell's copy does; path is ended at each folder
// for a moment. Most files share their folder with the file before: one
// query then.
static bool makeFoldersOf(char* path) {
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

// Copies the files flagged TO_COPY_DIRECT, the ones the shell's batch
// cannot be handed, one by one, each to its temporary path and then in
// place. A full drive ends the pass as in the batches.
static void copyDirectly(PathList* entries, char* shellText, size_t room, bool* stopped) {
    for (PathNode* node = entries->first; node; node = node->next) {
        if (node->toCopy != TO_COPY_DIRECT) continue;
        if (makeFoldersOf(node->pathTo) && copyFileOver(node->path, tempPathOf(node))) {
            putInPlace(node, shellText, room);
            continue;
        }
        const int code = (int)GetLastError();
        notCopied(node);
        noteFailure(code, shellText, room);
        if (driveFullCode(code)) {
            stopPass(entries);
            *stopped = true;
            return;
        }
    }
}

// The shell's batches, then the direct copies (none are left when the
// batches ended the pass). False when out of memory.
static bool copyFlagged(PathList* entries, int16_t silent, char* shellText, size_t room, bool* stopped) {
    if (!runBatches(entries, silent, shellText, room, stopped)) return false;
    copyDirectly(entries, shellText, room, stopped);
    return true;
}

// The report of a pass, written into out when that is not NULL; returns its
// length. The shell's first failure or cancel, then the files not copied,
// then the destinations too long to copy to, one a line.
static size_t writeReport(char* out, const PathList* entries, const char* shellText) {
    size_t n = 0;
    auto put = [&](const char* text) {
        const size_t len = strlen(text);
        if (out) memcpy(out + n, text, len);
        n += len;
    };
    // One section: its header, then the text of every node listed in it.
    auto section = [&](const char* header, auto listed) {
        bool any = false;
        for (const PathNode* node = entries->first; node; node = node->next) {
            const char* text = listed(node);
            if (!text) continue;
            if (!any) {
                if (n) put("\n");
                put(header);
                any = true;
            }
            put("\n");
            put(text);
        }
    };
    put(shellText);
    section(copyFailedHeader, [](const PathNode* node) { return node->toCopy == TO_COPY_FAILED ? node->path : NULL; });
    section(copyTooLongHeader, [](const PathNode* node) { return destinationFits(node) ? NULL : node->pathTo; });
    if (out) out[n] = 0;
    return n;
}

static CopyResult noMemory(char** errorText) {
    *errorText = copyText(copyNoMemoryText, sizeof copyNoMemoryText - 1);
    return COPY_NO_MEMORY;
}

CopyResult copy(PathList* entries, char** errorText, int16_t silent) {
    for (PathNode* node = entries->first; node; node = node->next)
        if (!setDestination(node)) return noMemory(errorText);
    Destination* sorted = holdSharedDestinations(entries);
    if (!sorted) return noMemory(errorText);

    char shellText[sizeof copyFailedFormat + 32] = "";
    bool haveMemory = flagEntries(entries), stopped = false;
    haveMemory = haveMemory && copyFlagged(entries, silent, shellText, sizeof shellText, &stopped);
    if (haveMemory && !stopped && settleHeld(entries, sorted))
        haveMemory = copyFlagged(entries, silent, shellText, sizeof shellText, &stopped);
    freeMem(sorted);
    if (!haveMemory) return noMemory(errorText);

    const size_t size = writeReport(NULL, entries, shellText);
    if (size == 0) return COPY_COMPLETE;
    *errorText = (char*)allocMem(size + 1);
    if (!*errorText) return noMemory(errorText);
    writeReport(*errorText, entries, shellText);
    return COPY_INCOMPLETE;
}
