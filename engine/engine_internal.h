// What the engine's sources share, and only they: the front ends include
// list_intr.h alone. Each declaration names the source that defines it.
#pragma once

#include <stdint.h>
#include <string.h>

#include "list_intr.h"

// --- Paths and sizes (here) ---

inline bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The separator to join names to a full path with: a Windows path's
// backslash, or natively a POSIX path's '/', so that a Linux user can paste
// what the report names into a shell.
inline char separatorOf(const char* full) { return strchr(full, '/') ? '/' : '\\'; }

inline uint64_t sizeOf(DWORD high, DWORD low) { return (uint64_t)high << 32 | low; }

inline uint64_t ticksOf(FILETIME time) { return (uint64_t)time.dwHighDateTime << 32 | time.dwLowDateTime; }

// --- The lists (list_intr.cpp): the reader's and the walker's way to append ---

bool addRejected(PathList* rejected, PathNode** last, const char* text, uint32_t len);
bool addEntry(PathList* entries, PathNode** last, const char* path, uint32_t len, FILETIME time, uint64_t size,
              int16_t mode, const char* destination, uint32_t destinationLength);

// --- File identity (walker.cpp) ---

// Which file or directory a path leads to, links followed: the walk never
// enters a directory that is already on its path, so a link back up the
// tree cannot loop.
struct FileIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

// False when the identity is unknown: the path cannot be opened, or its file
// system gives every directory the same zero identity (some network and
// FUSE file systems do), which must never pass for a loop or a destination.
bool identify(const char* path, FileIdentity* id);

inline bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}

// --- The copy pass's decisions (copy_decisions.cpp) ---

// Gives the entry its full destination path in place of its destination
// directory. False when out of memory: the entry then has no pathTo.
bool setDestination(PathNode* node);
// Whether a copy is the backup of a source of that last-write time and size.
bool isBackupOf(const WIN32_FILE_ATTRIBUTE_DATA& copied, FILETIME sourceTime, uint64_t sourceSize);
// Whether the entry's backup is to be copied, asked of the drive.
bool needsCopy(PathNode* node);
// How a file to be copied is copied: TO_COPY_YES or TO_COPY_DIRECT.
ToCopy copyWay(const PathNode* node);
// Takes a flagged entry out of the sums again.
void unflag(PathList* entries, PathNode* node);
// Flags every entry to copy, and counts the held ones among the flagged.
// False when out of memory.
bool flagEntries(PathList* entries);

// --- Destinations that may be one file (copy_twins.cpp) ---

struct Destination;
// The entries sorted by destination, in a block the caller releases; NULL
// when out of memory. Every entry that shares its destination with an
// earlier one is held back (TO_COPY_HELD).
Destination* holdSharedDestinations(PathList* entries);
// Settles the held entries once the batches are done. True when any was
// flagged for copying.
bool settleHeld(PathList* entries, const Destination* sorted);

// --- Copies put in place only when whole (temp_copies.cpp) ---

// Bytes a temporary path has beyond its destination directory:
// "~qvtmp\RRR\GGGGGG\NN".
constexpr size_t TEMP_EXTRA = 6 + 1 + 3 + 1 + 6 + 1 + 2;

// The temporary path being worked on, and scratch for a path otherwise:
// the program has one thread.
extern char tempPath[];
const char* lastName(const char* path);
// Whether a mirror (the part of a pathTo below its destination directory)
// lies in the program's own folder of temporary copies.
bool startsWithTempFolder(const char* mirror);
// The entry's temporary path, in tempPath; before readyTempCopy, one of its
// length and shape.
const char* tempPathOf(const PathNode* node);

enum TempReady { TEMP_MADE, TEMP_NOT_MADE, TEMP_NO_MEMORY };
// Readies the entry's temporary path: its destination's folder for them is
// made on its first use in the pass, and the entry numbered.
// TEMP_NOT_MADE, with *error, when the destination can take none.
TempReady readyTempCopy(PathNode* node, DWORD* error);
// Removes what the entry's temporary path holds, whatever part of a copy.
void dropTempCopy(const PathNode* node);
// Ends the pass's folders of temporary copies: the run's own are removed,
// and "~qvtmp" where nothing else is left in it.
void removeTempFolders();

// Makes the missing folders of a file's path, as the shell's copy does;
// path is ended at each folder for a moment.
bool makeFoldersOf(char* path);
// The pass starts: no folder is known to be made.
void forgetMadeFolder();

// What became of a copy once it ended.
enum Settled {
    SETTLED_PLACED,     // whole, and in place of the backup
    SETTLED_AGAIN,      // its source changed meanwhile: it goes again, as the source is now
    SETTLED_TORN,       // its source changed during every copy
    SETTLED_NOT_WHOLE,  // the copy is missing, short, or stamped otherwise than its source
    SETTLED_GONE,       // its source is gone
    SETTLED_FAILED,     // it could not be put in place: *error says why
};
Settled settleCopy(PathNode* node, DWORD* error);

// --- Earlier versions (versions.cpp) ---

// Whether a mirror lies in one of the program's own folders of its
// destination: "~qvtmp" or "~Versions".
bool startsWithOwnFolder(const char* mirror);
// The pass starts: its time names its version folders.
void startVersions();
// Moves the entry's backup into the run's version folder where its
// destination keeps versions and the backup is not already its source's.
// False, with *error, when the backup could not be moved: it must then not
// be replaced.
bool keepVersion(PathNode* node, DWORD* error);
// Removes the version folders older than their destinations keep them;
// those that cannot be removed are named by versionsNotRemovedText. False
// when out of memory.
bool endVersions(const PathList* entries);
// Each version folder not removed after a "\n"; "" when none.
const char* versionsNotRemovedText();
void forgetVersionsNotRemoved();

// Whether the entry's destination, and its temporary path, are within what
// the file calls take (copy_decisions.cpp).
bool destinationFits(const PathNode* node);
