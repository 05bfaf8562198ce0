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

// "Folders of old versions that could not be removed:", followed by one
// folder a line.
static constexpr char versionsNotRemovedHeader[] = "Папки старых версий, которые не удалось удалить:";

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
    dropTempCopy(node);
}

// Settles the entry's copy once it ended (settleCopy). A copy that cannot
// be put in place is named, and text gets the first failure; after a
// failed batch, a missing or broken copy and a source that is gone are
// left to the caller.
static Settled settle(PathNode* node, bool batchFailed, char* text, size_t room) {
    DWORD error = 0;
    const Settled settled = settleCopy(node, &error);
    if (settled == SETTLED_PLACED) {
        node->toCopy = TO_COPY_DONE;
    } else if (settled == SETTLED_TORN || settled == SETTLED_FAILED ||
               (!batchFailed && (settled == SETTLED_NOT_WHOLE || settled == SETTLED_GONE))) {
        noteFailure(settled == SETTLED_FAILED ? (int)error : -1, text, room);
        notCopied(node);
    }
    return settled;
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

// Whether the entry's backup folder stands, asked once for the entries of
// one folder that come together: *asked is the folder asked last, *stands
// its answer.
static bool folderStands(const PathNode* node, BackupFolder** asked, bool* stands) {
    if (node->folder != *asked) *stands = backupFolderStands(node->folder);
    *asked = node->folder;
    return *stands;
}

// Readies the temporary path of every entry still in the batch from `from`
// up to `end`, once its backup folder is found to stand; one whose backup
// folder is lost, or whose place can take no copy, is not copied. One whose
// place on another drive is too far for the shell is copied on its own.
// False when out of memory.
static bool readyBatch(PathNode* from, PathNode* end, char* text, size_t room) {
    BackupFolder* asked = NULL;
    bool stands = false;
    for (PathNode* node = from; node != end; node = node->next) {
        if (node->toCopy != TO_COPY_YES) continue;
        DWORD error = ERROR_PATH_NOT_FOUND;
        const TempReady ready = folderStands(node, &asked, &stands) ? readyTempCopy(node, &error) : TEMP_NOT_MADE;
        if (ready == TEMP_NO_MEMORY) return false;
        if (ready == TEMP_NOT_MADE) {
            noteFailure((int)error, text, room);
            notCopied(node);
        } else if (node->tempPlace && !shellTakes(tempPathOf(node), true)) {
            node->toCopy = TO_COPY_DIRECT;
        }
    }
    return true;
}

// After a batch: the files of a backup folder that went away meanwhile are
// not copied. The shell's copy makes any missing folder of a target, so it
// may have written below an empty mount point: the folder's check removes
// what the run wrote there.
static void checkBatchFolders(PathNode* from, PathNode* end, char* text, size_t room) {
    BackupFolder* asked = NULL;
    bool stands = false;
    for (PathNode* node = from; node != end; node = node->next) {
        if (node->toCopy == TO_COPY_YES && !folderStands(node, &asked, &stands)) {
            noteFailure(ERROR_PATH_NOT_FOUND, text, room);
            notCopied(node);
        }
    }
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
        toSize += strlen(tempPathOf(node)) + 1;
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
        noteCopyStart();
        *code = shellCopy(fromNames, toNames, silent ? 0x0615 : 0x0211, aborted);
        haveMemory = *code != SHELL_NO_MEMORY;
    }
    freeMem(fromNames);
    freeMem(toNames);
    return haveMemory;
}

// After the batch from `from` up to `end` failed: each whole copy it left
// is put in place, and it stopped at the first file it did not copy whole,
// which is not copied; the files after that go into the next batches, and
// so does one whose source changed. When the shell said a source is
// missing, it may have copied nothing at all: every file whose source is
// gone is not copied, and every other one goes again.
static void settleFailedBatch(PathNode* from, PathNode* end, int code, char* text, size_t room) {
    const bool sourceMissing = sourceMissingCode(code);
    bool sourceGone = false;
    PathNode* stopped = NULL;
    for (PathNode* node = from; node != end; node = node->next) {
        if (node->toCopy != TO_COPY_YES) continue;
        const Settled settled = settle(node, true, text, room);
        if (settled == SETTLED_GONE && sourceMissing) {
            notCopied(node);
            sourceGone = true;
        } else if ((settled == SETTLED_NOT_WHOLE || settled == SETTLED_GONE) && !stopped) {
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
// without them. A full drive names the file that did not fit and goes on:
// a later, smaller one may still fit, and each copy that failed is removed.
// A cancel in the window ends the pass: every file not copied then is
// named. shellText receives the first failure's text. False when out of
// memory; *stopped tells an ended pass.
static bool runBatches(PathList* entries, int16_t silent, char* shellText, size_t room, bool* stopped) {
    uint32_t limit = UINT32_MAX;
    for (PathNode* from = firstInBatch(entries->first); from; from = firstInBatch(from)) {
        PathNode* end = batchEnd(from, limit);
        if (!readyBatch(from, end, shellText, room)) return false;
        if (!(from = firstInBatch(from)) || from == end) continue;
        int code = 0;
        bool aborted = false;
        if (!copyBatch(from, end, silent, &code, &aborted)) return false;
        checkBatchFolders(from, end, shellText, room);
        if (code == 0 && !aborted) {
            for (PathNode* node = from; node != end; node = node->next)
                if (node->toCopy == TO_COPY_YES) settle(node, false, shellText, room);
            limit = limit > UINT32_MAX / 2 ? UINT32_MAX : limit * 2;
            continue;
        }
        noteFailure(code, shellText, room);
        settleFailedBatch(from, end, code, shellText, room);
        // In the window a person can cancel in the shell's dialog; an
        // unattended run has no one to cancel, so it goes on.
        if (!silent && (code == ERROR_CANCELLED || aborted)) {
            stopPass(entries);
            *stopped = true;
            return true;
        }
        limit = 1;
    }
    return true;
}

// Copies the files flagged TO_COPY_DIRECT, the ones the shell's batch
// cannot be handed, one by one, each to its temporary path once its backup
// folder is found to stand, and then in place; a file whose source changed
// during its copy is copied again. False when out of memory.
static bool copyDirectly(PathList* entries, char* shellText, size_t room) {
    for (PathNode* node = entries->first; node; node = node->next) {
        while (node->toCopy == TO_COPY_DIRECT) {
            DWORD error = ERROR_PATH_NOT_FOUND;
            const TempReady ready = backupFolderStands(node->folder) ? readyTempCopy(node, &error) : TEMP_NOT_MADE;
            if (ready == TEMP_NO_MEMORY) return false;
            if (ready == TEMP_MADE) {
                noteCopyStart();
                if (copyFileOver(node->path, tempPathOf(node))) {
                    settle(node, false, shellText, room);
                    continue;
                }
                error = GetLastError();
            }
            notCopied(node);
            noteFailure((int)error, shellText, room);
        }
    }
    return true;
}

// The shell's batches, then the direct copies (none are left when the
// batches ended the pass). False when out of memory.
static bool copyFlagged(PathList* entries, int16_t silent, char* shellText, size_t room, bool* stopped) {
    return runBatches(entries, silent, shellText, room, stopped) && copyDirectly(entries, shellText, room);
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
    if (*versionsNotRemovedText()) {
        if (n) put("\n");
        put(versionsNotRemovedHeader);
        put(versionsNotRemovedText());
    }
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
    Destination* sorted = bindBackupFolders(entries) ? holdSharedDestinations(entries) : NULL;
    if (!sorted) {
        endBackupFolders();
        return noMemory(errorText);
    }

    char shellText[sizeof copyFailedFormat + 32] = "";
    forgetMadeFolder();
    startVersions();
    bool haveMemory = pruneVersions() && flagEntries(entries), stopped = false;
    haveMemory = haveMemory && copyFlagged(entries, silent, shellText, sizeof shellText, &stopped);
    if (haveMemory && !stopped && settleHeld(entries, sorted))
        haveMemory = copyFlagged(entries, silent, shellText, sizeof shellText, &stopped);
    endBackupFolders();
    freeMem(sorted);

    CopyResult result = COPY_COMPLETE;
    const size_t size = haveMemory ? writeReport(NULL, entries, shellText) : 0;
    if (size) *errorText = (char*)allocMem(size + 1);
    if (!haveMemory || (size && !*errorText)) {
        result = noMemory(errorText);
    } else if (size) {
        writeReport(*errorText, entries, shellText);
        result = COPY_INCOMPLETE;
    }
    forgetVersionsNotRemoved();
    return result;
}
