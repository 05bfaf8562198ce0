// The backup engine, as the front ends see it: the two path lists of a run,
// the backup list reader, the directory walker and the copy pass. Each is a
// source of its own in engine/; what they share is in engine_internal.h.
#pragma once

#include <stdint.h>

#include "file_calls.h"

struct BackupFolder;
struct TempPlace;

// One node of either list. Backup entry: a source file and where it goes.
// Every text is UTF-8.
// Rejected line: only path and len are used.
struct PathNode {
    char* path;         // full source path, or the rejected text; owned
    uint32_t len;       // characters in path
    FILETIME timeFrom;  // source's last-write time when the entry was made
    uint64_t sizeFrom;  // source's size in bytes when the entry was made
    int16_t checkDate;  // 1: copy when missing or times differ; 0: always copy
    char* pathTo;       // destination directory, then the full destination path; owned
    uint32_t lenTo;     // characters in pathTo
    FILETIME timeTo;    // destination's last-write time, read by the copy pass
    int16_t toCopy;     // what the copy pass made of the entry: one of ToCopy
    uint32_t lenDir;    // copy pass: characters of the destination directory that starts pathTo
    uint32_t tempIndex; // copy pass: its temporary copy's number in its destination; 0: none yet
    uint16_t changes;   // copy pass: times its source changed while it was copied
    bool respell;       // copy pass: its backup was found under another spelling of its name
    uint16_t keepDays;  // days its destination keeps the versions a run replaces ("--Versions--"); 0: none
    BackupFolder* folder;  // copy pass: the backup folder its destination directory is
    TempPlace* tempPlace;  // copy pass: where its temporary copy is written; NULL: its backup folder's own "~qvtmp"
    PathNode* next;
};

// Header of a list. The sums are what the copy pass and the window size
// their buffers by, so they are kept exact.
struct PathList {
    PathNode* first;
    uint32_t lenAll;     // sum of len over all nodes
    uint32_t lenCopy;    // entries: sum of len over the entries to be copied
    uint32_t lenToCopy;  // entries: sum of lenTo over the entries to be copied
    uint32_t count;      // nodes
    int32_t countCopy;   // entries to be copied; wider than a batch may grow
};

// PathNode::toCopy. Every value but TO_COPY_NO counts as flagged in the sums.
enum ToCopy : int16_t {
    TO_COPY_NO = 0,      // up to date, or not to be copied
    TO_COPY_YES = 1,     // flagged: in the batch
    TO_COPY_FAILED = 2,  // flagged, and not copied: named in the report
    TO_COPY_DONE = 3,    // flagged, and copied by a batch
    TO_COPY_HELD = 4,    // its destination may be another entry's copy: settled after the batches
    TO_COPY_DIRECT = 5,  // flagged: copied on its own, past what the shell's batch can be handed
};

extern PathList exPath;    // backup entries of the current run
extern PathList unexPath;  // rejected lines of the current run

enum ReaderResult {
    READ_DONE = 0,           // the whole backup list was read
    READ_NO_LIST = 1,        // the backup list cannot be opened, or read to its end
    READ_NO_ATTRIBUTES = 2,  // an existing path gave no attributes
    READ_NO_MEMORY = 3,      // a node, text or pattern could not be allocated
};

// Empties both headers; nodes still hanging from them are not looked at.
void initPaths(PathList* entries, PathList* rejected);
// Releases every node of both lists and its texts.
void freePaths(PathList* entries, PathList* rejected);

// Reads "Quarnelvistro.txt" from the current directory into the lists, which
// must be empty. On READ_NO_ATTRIBUTES and READ_NO_MEMORY the lists hold what
// was added before the failing line.
ReaderResult ReadPaths(PathList* entries, PathList* rejected);

// Appends a backup entry for every file below dirPath (no trailing
// separator but a root's, "/"), whose enumeration the caller opened with
// "dirPath\*.*" and closes afterwards; findData holds the entry it opened
// with. Paths that cannot be backed up (past what the file calls take,
// names that are no UTF-8 or hold '?') and folders that cannot be listed go
// to the rejected lines; so does a folder whose listing fails before its
// end, after the files it showed. last and lastRejected are the caller's pointers to
// the lists' last nodes, moved on as nodes are appended. False when memory
// ran out: the walk then stops at once, at every level.
bool findFAdd(const char* dirPath, HANDLE enumeration, FindRecord* findData,
              PathList* entries, PathNode** last, const char* destination,
              uint32_t destinationLength, int16_t mode, PathList* rejected,
              PathNode** lastRejected);

// Whether a folder whose listing failed with error is to be named: every
// folder but one that is merely empty, and but the compatibility junctions
// of a user profile ("Application Data", "My Documents", ...): hidden
// system links that no one may list, whose targets are backed up under
// their real names. The walker's and the reader's rule, declared here so
// that it is tested whole, as a table: the stand-in gives no folder the
// hidden and system attributes.
bool unlistable(DWORD attributes, DWORD error);

enum CopyResult {
    COPY_COMPLETE = 0,    // every flagged file was copied; no text
    COPY_INCOMPLETE = 1,  // the text says what was not copied
    COPY_NO_MEMORY = 2,   // the text is the no-memory text
};

// Works out every entry's destination, flags the files to copy and copies
// them in one batch of the shell's file operation; a file whose paths the
// shell cannot be handed (past MAX_PATH) is copied on its own after it, and
// its failure is reported alike. A file the batch stops
// at is counted as not copied, and short batches go on after it, growing
// while they succeed; in the window (silent 0) a cancel in the shell's
// dialog stops the pass, and so does a full drive.
// *errorText must be NULL on entry; it receives a text the caller releases
// with freeMem, or stays NULL when all went well. silent 1: no dialogs at all.
CopyResult copy(PathList* entries, char** errorText, int16_t silent);
