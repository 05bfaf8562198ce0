// What only the native program meets: the stand-in's copy where it
// touches what a backup already holds, and the entries of POSIX trees that
// Windows programs never see.
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
// new file leaves nothing under its name, and no temporary file is left, a
// stale one from a run that died included. Once the cause is gone, all is
// copied.
TEST(PosixCopy, AReadOrACopyThatFailsHalfWayNeverCostsThePreviousBackup) {
    Sandbox box;
    const std::string big(1 << 20, 'b'), far = "far\\" + std::string(250, 'f');
    const Strings sources = {"big", "new", "small", far + "\\big"};
    for (const std::string& rel : sources) box.write(rel, rel == "small" ? "small" : big, T2020);
    const Strings lines = {box.full("big"), box.full("new"), box.full("small"), box.full("far")};
    for (const std::string& rel : {sources[0], sources[3]}) box.write("dst\\" + box.mirror(rel), "OLD", T2020 - SECOND);
    for (const char* rel : {"new", "small"}) box.write("dst\\" + box.mirror(rel) + ".~qvtmp", "from a run that died");
    box.writeList("--Dir--" + box.full("dst") + "\n" + lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n" + lines[3] + "\n");
    const Strings before = {box.mirror(sources[0]) + "=OLD", box.mirror(sources[3]) + "=OLD"}, kept = box.tree("dst");

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
    EXPECT_EQ(sorted({before[0], before[1], box.mirror("small") + "=small"}), box.tree("dst"));
    for (const std::string& rel : {sources[0], sources[3]}) EXPECT_EQ(T2020 - SECOND, box.time("dst\\" + box.mirror(rel)));

    EXPECT_EQ(RUN_COMPLETE, startCopingInConsole());
    Strings all;
    for (const std::string& rel : sources) all.push_back(box.mirror(rel) + "=" + (rel == "small" ? "small" : big));
    EXPECT_EQ(sorted(all), box.tree("dst"));
    for (const std::string& rel : sources) EXPECT_EQ(T2020, box.time("dst\\" + box.mirror(rel)));
}

// A link whose target is gone (every relative link of a copied tree may be
// one), a fifo and a socket have no content to back up: each is listed
// among the rejected lines, and the rest is copied.
TEST(PosixTree, LinksToNothingFifosAndSocketsAreListedAndTheRestIsCopied) {
    Sandbox box;
    box.write("src\\a.txt", "a", T2020);
    box.write("src\\z.txt", "z", T2020);
    box.mkdir("dst");
    ASSERT_EQ(0, symlink("/nonexistent/target", box.native("src\\gone").c_str()));
    ASSERT_EQ(0, mkfifo(box.native("src\\pipe").c_str(), 0644));
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", box.native("src\\sock").c_str());
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(0, bind(sock, (sockaddr*)&address, sizeof address));
    box.writeList("--Dir--" + box.full("dst") + "\n" + box.full("src") + "\n" + box.full("src\\pipe") + "\n");
    EXPECT_EQ(RUN_INCOMPLETE, startCopingInConsole());
    close(sock);
    const std::string log = box.log(), head = textRejectedHeader + "\r\n";
    ASSERT_EQ(head, log.substr(0, head.size()));
    Strings rejected;
    for (size_t at = head.size(), end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2)
        rejected.push_back(log.substr(at, end - at));
    std::sort(rejected.begin(), rejected.end() - 1);  // the walk's order, then the line's
    EXPECT_EQ(Strings({box.full("src\\gone"), box.full("src\\pipe"), box.full("src\\sock"), box.full("src\\pipe")}),
              rejected);
    EXPECT_EQ(head.size() + 4 * (box.full("src\\gone").size() + 2), log.size());
    EXPECT_EQ(Strings({box.mirror("src\\a.txt") + "=a", box.mirror("src\\z.txt") + "=z"}), box.tree("dst"));
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
