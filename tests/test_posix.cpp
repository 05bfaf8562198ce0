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

// Copies the sandbox path from to to: 0, or the error.
int copyOne(const Sandbox& box, const std::string& from, const std::string& to) {
    return CopyFileA(box.full(from).c_str(), box.full(to).c_str(), FALSE) ? 0 : (int)GetLastError();
}

// A write that fails half way (beyond 64 KiB while the limit holds) leaves
// neither part of the new file nor a damaged old copy.
TEST(PosixCopy, FailedWriteLeavesTheOldDestinationWholeAndNoPartOfTheNew) {
    Sandbox box;
    box.write("big", std::string(1 << 20, 'b'));
    box.write("out\\big", "OLD", T2020);
    struct rlimit old, small;
    getrlimit(RLIMIT_FSIZE, &old);
    small = {1 << 16, old.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const int codeNew = copyOne(box, "big", "out\\new"), codeOld = copyOne(box, "big", "out\\big");
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(ERROR_FUNCTION_FAILED, codeNew);  // EFBIG
    EXPECT_EQ(ERROR_FUNCTION_FAILED, codeOld);
    EXPECT_EQ(Strings{"big=OLD"}, box.tree("out"));
    EXPECT_EQ(T2020, box.time("out\\big"));
}

// A name of the longest length leaves no room to derive a temporary name
// from it; a link planted at the temporary name is not followed, and a file
// that holds the next one is not truncated.
TEST(PosixCopy, OverwriteNeverFollowsOrTruncatesWhatHoldsItsTemporaryName) {
    Sandbox box;
    const std::string longest = std::string(255, 'n'), temp = ".~qv-" + std::to_string(getpid()) + "-";
    box.write("new", "new", T2020);
    box.write("out\\" + longest, "old");
    box.write("victim", "victim");
    ASSERT_EQ(0, symlink(box.native("victim").c_str(), box.native("out\\" + temp + "0").c_str()));
    box.write("out\\" + temp + "1", "someone's");
    EXPECT_EQ(0, copyOne(box, "new", "out\\" + longest));
    EXPECT_EQ(Strings({"new=new", "out\\" + temp + "0=victim", "out\\" + temp + "1=someone's",
                       "out\\" + longest + "=new", "victim=victim"}), box.tree(""));
    EXPECT_EQ(T2020, box.time("out\\" + longest));
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
