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
// Whether a copy is the backup of a source of that last-write time and
// size, on the drive of the backup folder; NULL: a copy the run just made,
// whose time is whatever its drive made of its source's.
bool isBackupOf(const WIN32_FILE_ATTRIBUTE_DATA& copied, FILETIME sourceTime, uint64_t sourceSize, BackupFolder* folder);
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

// --- What a backup folder owns (backup_folders.cpp, temp_places.cpp) ---

// Bytes a temporary path has beyond the folder holding "~qvtmp":
// "~qvtmp\RRR\GGGGGG\NN".
constexpr size_t TEMP_EXTRA = 6 + 1 + 3 + 1 + 6 + 1 + 2;
// "YYYY-MM-DD HH-MM-SS": a version folder's name, a folder name Windows
// takes, sorting as the times; " (N)" may follow.
constexpr size_t STAMP_LEN = 19;

enum TempState : uint8_t { TEMP_UNMADE, TEMP_READY, TEMP_UNUSABLE };

// A folder of temporary copies: its backup folder's own, or one directly in
// a folder of another drive that the backup folder reaches (a link, a
// junction, a mount point): a copy is renamed into place, and a rename
// cannot cross drives.
struct TempPlace {
    char* mirror;        // the folder holding "~qvtmp", below the backup folder, with its separator; "" for its own; owned
    uint32_t mirrorLen;
    TempState state;
    unsigned run;        // the run's own numbered folder in it
    uint32_t used;       // copies numbered so far
    DWORD error;         // why it is unusable
    HANDLE live;         // the run's folder, held open as the mark of a live run
    TempPlace* next;
};

enum VersionsState : uint8_t { VERSIONS_UNMADE, VERSIONS_READY, VERSIONS_UNUSABLE };
// Whether a drive keeps a time before 1980 as it is (TIMES_KEPT), or at
// FAT's and exFAT's limit (TIMES_PINNED).
enum DriveTimes : uint8_t { TIMES_UNASKED, TIMES_KEPT, TIMES_PINNED };

// One backup folder of the pass, however many lines name it, and however
// they spell it (a link, another letter case, a mapped drive).
struct BackupFolder {
    char* path;           // as the first line that names it spells it, with its separator; owned
    uint32_t length;
    FileIdentity id;      // taken when the pass starts
    bool known;           // id holds its identity
    bool lost;            // it went away, or another folder took its place: nothing more is written there
    TempPlace temp;       // its own "~qvtmp"
    TempPlace* others;    // on other drives below it
    uint16_t keepDays;    // the most days a line that names it keeps versions for; 0: none
    DriveTimes times;     // what its drive makes of a time FAT cannot keep
    VersionsState versions;
    DWORD versionsError;  // why it keeps no versions in this run
    char versionRun[STAMP_LEN + 6];  // the run's own version folder in "~Versions"
    BackupFolder* next;
};
extern BackupFolder* backupFolders;  // of the pass

// Scratch paths, the program having one thread: the temporary path being
// worked on (and any path otherwise), and the version path.
#ifdef _WIN32
constexpr size_t SCRATCH_PATH_ROOM = 3 * PATH_LIMIT + NAME_BYTES + 2;  // UTF-8 takes 3 bytes a UTF-16 unit
#else
constexpr size_t SCRATCH_PATH_ROOM = PATH_LIMIT + NAME_BYTES + 2;
#endif
extern char tempPath[SCRATCH_PATH_ROOM];
extern char versionPath[SCRATCH_PATH_ROOM];
const char* lastName(const char* path);
// Whether a mirror (the part of a pathTo below its destination directory)
// lies in one of the program's own folders: "~qvtmp" or "~Versions"; in
// "~qvtmp" (temp_places.cpp).
bool startsWithOwnFolder(const char* mirror);
bool startsWithTempFolder(const char* mirror);

// Gives every entry the backup folder its destination directory is, by
// identity, and the folder the most days of versions its lines give. False
// when out of memory.
bool bindBackupFolders(const PathList* entries);
// Whether the backup folder is still the one the pass started with; once it
// is not, it is lost for the pass, and what the run wrote there is removed.
bool backupFolderStands(BackupFolder* f);
// Makes the missing folders above path's last name, below the backup
// folder and never it or above it, once the folder is found to stand.
// False, GetLastError saying why, when they could not be made.
bool makeFoldersBelow(BackupFolder* f, char* path);
// Makes one of the program's own folders at path where missing; false,
// with *error, where anything but a plain folder on the drive of the folder
// holding it stands there (183; 17 for a folder of another drive).
bool ownFolder(char* path, DWORD* error);

// --- Its folders of temporary copies (temp_places.cpp) ---

// The entry's temporary path, in tempPath; before readyTempCopy, one of its
// length and shape.
const char* tempPathOf(const PathNode* node);
enum TempReady { TEMP_MADE, TEMP_NOT_MADE, TEMP_NO_MEMORY };
// Readies the entry's temporary path: its place's folder for them is made
// on its first use in the pass, and the entry numbered. TEMP_NOT_MADE, with
// *error, when the place can take none, or the backup folder is lost.
TempReady readyTempCopy(PathNode* node, DWORD* error);
// Removes what the entry's temporary path holds, whatever part of a copy.
void dropTempCopy(const PathNode* node);
// Whether the backup folder's drive keeps a time before 1980 or after 2107
// at FAT's limit (FAT32, exFAT), asked of the drive once a pass.
bool pinsTimes(BackupFolder* f);
// The entry's copy could not be renamed into place, its backup lying on
// another drive: it gets a place of temporary copies on that drive, and
// goes again. False, with *error, when there is none.
bool placeOnBackupDrive(PathNode* node, DWORD* error);

// Removes the run's folders of temporary copies in the backup folder, and
// once it is lost the copies written there too.
void removeRunFolders(BackupFolder* f);
// Removes them, and releases the places on other drives.
void releaseTempPlaces(BackupFolder* f);

// --- Its earlier versions (backup_folders.cpp) ---

// Writes the backup folder's "~Versions" into versionPath: its length, or 0
// where it is missing or no plain folder on the folder's drive.
size_t versionsFolderPath(const BackupFolder* f);
// Writes the path of the entry's version in the run's own version folder,
// named by stamp, into versionPath; that folder is made on its first use.
// False, with *error, where the folder keeps none.
bool versionPathOf(const PathNode* node, const char* stamp, DWORD* error);

// Ends the pass's folders: the run's own are removed, with "~qvtmp" where
// nothing else is left in it, and the records released.
void endBackupFolders();

// --- Copies put in place only when whole (temp_copies.cpp) ---

// What became of a copy once it ended.
enum Settled {
    SETTLED_PLACED,     // whole, and in place of the backup
    SETTLED_AGAIN,      // its source changed meanwhile, or its backup is on another drive: it goes again
    SETTLED_TORN,       // its source changed during every copy
    SETTLED_NOT_WHOLE,  // the copy is missing, short, or stamped otherwise than its source
    SETTLED_GONE,       // its source is gone
    SETTLED_FAILED,     // it could not be put in place: *error says why
};
// A batch or a direct copy starts: settleCopy compares the sources written
// shortly before it with their copies.
void noteCopyStart();
Settled settleCopy(PathNode* node, DWORD* error);
// The pass starts: no folder is known to be made.
void forgetMadeFolder();

// --- Earlier versions (versions.cpp) ---

// The pass starts: its time names its version folders.
void startVersions();
// Keeps the entry's backup as a version where its destination keeps
// versions and the backup is not the same file as the entry's whole
// temporary copy, which is to replace it: moved into the run's version
// folder (*moved), or copied there from another drive. False, with *error,
// when it could not be kept: the backup must then not be replaced.
bool keepVersion(PathNode* node, DWORD* error, bool* moved);
// Prunes the version folders older than the most days any line gives
// their backup folder: each file a later version folder holds goes, each
// file's newest version stays, and a folder left empty goes; those where
// what was to go stays are named by versionsNotRemovedText. False when out
// of memory.
bool pruneVersions();
// Each version folder not removed after a "\n"; "" when none.
const char* versionsNotRemovedText();
void forgetVersionsNotRemoved();

// Whether the entry's destination, and its temporary path, are within what
// the file calls take (copy_decisions.cpp).
bool destinationFits(const PathNode* node);
