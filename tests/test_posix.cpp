// What only the native program meets: the stand-in's copy where it
// touches what a backup already holds, and the entries of POSIX trees that
// Windows programs never see.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "expected_texts.h"
#include "front_end.h"
#include "sandbox.h"

namespace {

// A list whose reading fails half way is no list: nothing is backed up by
// the part read. Copies that fail half way (writes beyond 64 KiB fail while
// the limit holds), in the shell's batch and on their own past MAX_PATH:
// each is named, the previous backup stays byte for byte with its time, a
// new file leaves nothing under its name, and no temporary file is left, the
// copies that runs which died left in the program's own folder included; a
// file named like an old temporary copy is a file like any other, and
// stays. Once the cause is gone, all is copied.
TEST(PosixCopy, AReadOrACopyThatFailsHalfWayNeverCostsThePreviousBackup) {
    Sandbox box;
    const std::string big(1 << 20, 'b'), far = "far\\" + std::string(250, 'f');
    const Strings sources = {"big", "new", "small", far + "\\big"};
    for (const std::string& rel : sources) box.write(rel, rel == "small" ? "small" : big, T2020);
    const Strings lines = {box.full("big"), box.full("new"), box.full("small"), box.full("far")};
    for (const std::string& rel : {sources[0], sources[3]}) box.write("dst\\" + box.mirror(rel), "OLD", T2020 - SECOND);
    for (const char* rel : {"000\\000000\\00", "001\\000000\\00"}) box.write("dst\\~qvtmp\\" + std::string(rel), "died");
    const std::string alike = box.mirror("new") + ".~qvtmp=a file of its own";
    box.write("dst\\" + alike.substr(0, alike.find('=')), alike.substr(alike.find('=') + 1));
    box.writeList("--Dir--" + box.full("dst") + "\n" + lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n" + lines[3] + "\n");
    const Strings before = {box.mirror(sources[0]) + "=OLD", box.mirror(sources[3]) + "=OLD", alike}, kept = box.tree("dst");

    failReadsAfter((long)("--Dir--" + box.full("dst") + "\n" + lines[0] + "\n").size());
    EXPECT_EQ(RUN_NO_BACKUP, startCopingInConsole());
    failReadsAfter(-1);
    EXPECT_EQ(textNoList, box.log());
    EXPECT_EQ(kept, box.tree("dst"));

    struct rlimit old, small;
    getrlimit(RLIMIT_FSIZE, &old);
    small = {1 << 16, old.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const RunOutcome outcome = startCopingInConsole();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(RUN_INCOMPLETE, outcome);
    EXPECT_EQ("\r\n" + textCopyFailed + "1627 (65b)\r\n" + textNotCopied + "\r\n" + lines[0] + "\r\n" + lines[1] +
                  "\r\n" + box.full(sources[3]), box.log());
    EXPECT_EQ(sorted({before[0], before[1], before[2], box.mirror("small") + "=small"}), box.tree("dst"));
    for (const std::string& rel : {sources[0], sources[3]}) EXPECT_EQ(T2020 - SECOND, box.time("dst\\" + box.mirror(rel)));

    EXPECT_EQ(RUN_COMPLETE, startCopingInConsole());
    Strings all = {alike};
    for (const std::string& rel : sources) all.push_back(box.mirror(rel) + "=" + (rel == "small" ? "small" : big));
    EXPECT_EQ(sorted(all), box.tree("dst"));
    for (const std::string& rel : sources) EXPECT_EQ(T2020, box.time("dst\\" + box.mirror(rel)));
}

// A source saved while it is being copied (its first and last bytes
// rewritten in place, so that a copy under way holds part of each version)
// is copied again, as it is now: one dated 2020 gets a new time, and one
// written just before the run keeps its time, as a write within the tick of
// Linux's file clock does. One saved during every copy is named, and its
// previous backup stays. No torn copy is ever put in place.
int savesLeft;  // of the sources but "busy", which is saved during every copy
void saveDuringCopy(const char* source) {
    const bool dated = !strcmp(source + strlen(source) - 5, "dated");
    if (strcmp(source + strlen(source) - 4, "busy") && savesLeft-- <= 0) return;
    const int file = open(source, O_RDWR);
    struct stat st;
    char version = 0;
    EXPECT_EQ(0, fstat(file, &st));
    EXPECT_EQ(1, pread(file, &version, 1, 0));
    version++;
    EXPECT_EQ(1, pwrite(file, &version, 1, 0));
    EXPECT_EQ(1, pwrite(file, &version, 1, st.st_size - 1));
    close(file);
    const struct timespec times[2] = {{0, UTIME_OMIT}, dated ? timespec{st.st_mtim.tv_sec + 1, 0} : st.st_mtim};
    EXPECT_EQ(0, utimensat(AT_FDCWD, source, times, 0));
}

TEST(PosixCopy, ASourceSavedDuringItsCopyIsCopiedAgainAndNeverTorn) {
    Sandbox box;
    const std::string bytes(1 << 18, 'a'), saved = "b" + bytes.substr(2) + "b";
    for (const char* rel : {"dated", "fresh", "busy"}) {
        box.write(rel, bytes, strcmp(rel, "dated") ? 0 : T2020);
        box.write("dst\\" + box.mirror(rel), "OLD", T2020 - SECOND);
    }
    box.writeList("--Dir--" + box.full("dst") + "\n" + box.full("dated") + "\n" + box.full("fresh") + "\n" +
                  box.full("busy") + "\n");
    savesLeft = 2;
    whileCopying(saveDuringCopy);
    const RunOutcome outcome = startCopingInConsole();
    whileCopying(NULL);
    EXPECT_EQ(RUN_INCOMPLETE, outcome);
    EXPECT_EQ("\r\n" + textInterrupted + "\r\n" + textNotCopied + "\r\n" + box.full("busy"), box.log());
    EXPECT_EQ(sorted({box.mirror("busy") + "=OLD", box.mirror("fresh") + "=" + saved, box.mirror("dated") + "=" + saved}),
              box.tree("dst"));
    for (const char* rel : {"dated", "fresh"}) EXPECT_EQ(box.time(rel), box.time("dst\\" + box.mirror(rel)));
}

// The drive a backup folder lies on is pulled out while the batch copies,
// and its empty mount point stays: the run writes nothing below the mount
// point (the shell's copy makes any missing folder, so what it wrote there
// goes again), names every file not backed up, and the next run, the drive
// still away, says the backup folder is missing (exit 2).
std::string mountPoint;
void pullDrive(const char*) {
    static int copies;
    if (++copies != 2) return;
    rename(mountPoint.c_str(), (mountPoint + "-pulled").c_str());
    mkdir(mountPoint.c_str(), 0777);
}

TEST(PosixCopy, ABackupFolderThatGoesAwayDuringTheRunGetsNothingMore) {
    Sandbox box;
    box.mkdir("mnt\\Backup");
    std::string list = "--Dir--" + box.full("mnt\\Backup") + "\n", named;
    for (const char* name : {"a", "b", "c", "d"}) {
        box.write("src\\" + std::string(name), name, T2020);
        list += box.full("src\\" + std::string(name)) + "\n";
        named += "\r\n" + box.full("src\\" + std::string(name));
    }
    box.writeList(list);
    mountPoint = box.native("mnt");
    whileCopying(pullDrive);
    const RunOutcome outcome = startCopingInConsole();
    whileCopying(NULL);
    EXPECT_EQ(RUN_INCOMPLETE, outcome);
    EXPECT_EQ("\r\n" + textCopyFailed + "3 (3)\r\n" + textNotCopied + named, box.log());
    EXPECT_EQ(Strings(), box.tree("mnt"));
    EXPECT_TRUE(rmdir(box.native("mnt").c_str()) == 0) << "the mount point holds more than it did";
    box.mkdir("mnt");
    EXPECT_EQ(RUN_NO_BACKUP, startCopingInConsole());
    EXPECT_EQ(textRejectedHeader + "\r\n" + box.full("mnt\\Backup") + named + "\r\n" + textNothingToCopy,
              box.log());
}

// A link whose target is gone (every relative link of a copied tree may be
// one), a fifo and a socket have no content to back up, and a folder that
// can be read but not entered shows no file's attributes: each is listed
// among the rejected lines, and the rest is copied. The real program runs
// as nobody, as root may enter any folder.
TEST(PosixTree, WhatCannotBeBackedUpOrEnteredIsListedAndTheRestIsCopied) {
    Sandbox box;
    box.write("src\\a.txt", "a", T2020);
    box.write("src\\z.txt", "z", T2020);
    box.write("src\\lock\\x.txt", "x", T2020);
    box.mkdir("dst");
    for (const std::string& dir : {box.root, box.native("dst")}) chmod(dir.c_str(), 0777);
    chmod(box.native("src\\lock").c_str(), 0444);
    ASSERT_EQ(0, symlink("/nonexistent/target", box.native("src\\gone").c_str()));
    ASSERT_EQ(0, mkfifo(box.native("src\\pipe").c_str(), 0644));
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", box.native("src\\sock").c_str());
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(0, bind(sock, (sockaddr*)&address, sizeof address));
    box.writeList("--Dir--" + box.full("dst") + "\n" + box.full("src") + "\n" + box.full("src\\pipe") + "\n");
    const std::string asNobody = getuid() ? "" : "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
    const int status = system((asNobody + "'" QV_PROGRAM "' -w").c_str());
    close(sock);
    EXPECT_EQ(RUN_INCOMPLETE, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    const std::string log = box.log(), head = textRejectedHeader + "\r\n";
    ASSERT_EQ(head, log.substr(0, head.size()));
    Strings rejected;
    for (size_t at = head.size(), end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2)
        rejected.push_back(log.substr(at, end - at));
    std::sort(rejected.begin(), rejected.end() - 1);  // the walk's order, then the line's
    EXPECT_EQ(Strings({box.full("src\\gone"), box.full("src\\lock"), box.full("src\\pipe"), box.full("src\\sock"),
                       box.full("src\\pipe")}), rejected);
    EXPECT_EQ(head.size() + 5 * (box.full("src\\gone").size() + 2), log.size());
    EXPECT_EQ(Strings({box.mirror("src\\a.txt") + "=a", box.mirror("src\\z.txt") + "=z"}), box.tree("dst"));
}

// A listing that fails half way (a network drive that drops): the walk's
// names its folder and keeps the file it showed; a backup folder's leaves
// the files it did not show to be asked about one by one, so that each
// stale backup is still copied.
TEST(PosixTree, AListingThatFailsHalfWayIsNamedOrItsFilesAskedAbout) {
    Sandbox box;
    const Strings names = {"a", "b", "c", "d"};
    box.writeList("--Dir--" + box.full("dst") + "\n" + box.full("src") + "\n");
    for (const std::string& name : names) box.write("src\\" + name, name, T2020);
    DIR* src = opendir(box.native("src").c_str());
    std::string first;
    while (first.empty() || first[0] == '.') first = readdir(src)->d_name;
    closedir(src);
    // After ".", ".." and the first file of src; after all of src, ".", ".."
    // and the first backup.
    for (long entries : {3, 9}) {
        Strings want;
        for (const std::string& name : names) {
            const bool stale = name == "b" || name == "d", shown = entries == 9 || name == first;
            box.write("dst\\" + box.mirror("src\\" + name), stale ? "OLD" : name, stale ? T2020 - SECOND : T2020);
            want.push_back(box.mirror("src\\" + name) + "=" + (stale && !shown ? "OLD" : name));
        }
        failListingAfter(entries);
        const RunOutcome outcome = startCopingInConsole();
        failListingAfter(-1);
        EXPECT_EQ(entries == 3 ? RUN_INCOMPLETE : RUN_COMPLETE, outcome);
        EXPECT_EQ(entries == 3 ? textRejectedHeader + "\r\n" + box.full("src") + "\r\n" : "", box.log());
        EXPECT_EQ(want, box.tree("dst"));
    }
}

// A drive that tells case apart holds each name's own file: a backup under
// another spelling (its source since renamed in case), of the same size and
// time, is no backup of it, and of two names differing only in case each is
// decided by its own backup.
TEST(PosixTree, OnADriveThatTellsCaseApartEachNameIsDecidedByItsOwnFile) {
    Sandbox box;
    const struct {
        const char *name, *content, *backupName, *backupContent;
    } files[] = {{"notes.TXT", "notes", "notes.txt", "notes"}, {"README.txt", "one", "README.txt", "one"},
                 {"readme.txt", "two!", "readme.txt", "tw"},    {"a.txt", "a", "a.txt", "a"},
                 {"b.txt", "b", "b.txt", "b"}};
    Strings want;
    for (const auto& f : files) {
        const std::string rel = "src\\" + std::string(f.name), backup = box.mirror("src\\" + std::string(f.backupName));
        box.write(rel, f.content, T2020);
        box.write("dst\\" + backup, f.backupContent, T2020);
        want.push_back(box.mirror(rel) + "=" + f.content);
        if (strcmp(f.name, f.backupName)) want.push_back(backup + "=" + f.backupContent);
    }
    box.writeList("--Dir--" + box.full("dst") + "\n" + box.full("src") + "\n");
    EXPECT_EQ(RUN_COMPLETE, startCopingInConsole());
    EXPECT_EQ("", box.log());
    EXPECT_EQ(sorted(want), box.tree("dst"));
}

}  // namespace
