// The stand-in's batch copy, where it touches what a backup already holds:
// an overwrite that fails leaves the old copy whole, and its temporary file
// never lands on anything but a fresh name.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "sandbox.h"
#include "winapi_posix.h"

namespace {

// Copies the sandbox path from to to, alone in a batch.
int copyOne(const Sandbox& box, const std::string& from, const std::string& to) {
    const std::string fromNames = box.full(from) + '\0', toNames = box.full(to) + '\0';
    SHFILEOPSTRUCTA op = {NULL, FO_COPY, fromNames.c_str(), toNames.c_str(), 0x0615, FALSE, NULL, NULL};
    return SHFileOperationA(&op);
}

TEST(PosixCopy, FailedWriteLeavesTheOldDestinationWholeAndNoPartOfTheNew) {
    Sandbox box;
    box.write("big", std::string(1 << 20, 'b'));
    box.write("out\\big", "OLD", T2020);
    // Writes beyond 64 KiB fail (EFBIG) while the limit holds.
    struct rlimit old, small;
    getrlimit(RLIMIT_FSIZE, &old);
    small = {1 << 16, old.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const int codeNew = copyOne(box, "big", "out\\new"), codeOld = copyOne(box, "big", "out\\big");
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(ERRORONDEST, codeNew);
    EXPECT_EQ(ERRORONDEST, codeOld);
    EXPECT_EQ(std::vector<std::string>{"big=OLD"}, box.tree("out"));
    EXPECT_EQ(T2020, box.time("out\\big"));
}

// A name of the longest length leaves no room to derive a temporary name
// from it; a link planted at the temporary name is not followed, and a file
// that holds the next one is not truncated.
TEST(PosixCopy, OverwriteNeverFollowsOrTruncatesWhatHoldsItsTemporaryName) {
    Sandbox box;
    const std::string longest = "out\\" + std::string(255, 'n'), temp = ".~qv-" + std::to_string(getpid()) + "-";
    box.write("new", "new", T2020);
    box.write(longest, "old");
    box.write("victim", "victim");
    ASSERT_EQ(0, symlink(box.native("victim").c_str(), box.native("out\\" + temp + "0").c_str()));
    box.write("out\\" + temp + "1", "someone's");
    EXPECT_EQ(0, copyOne(box, "new", longest));
    EXPECT_EQ("victim", box.read("victim"));
    EXPECT_EQ("someone's", box.read("out\\" + temp + "1"));
    EXPECT_EQ("new", box.read(longest));
    EXPECT_EQ(T2020, box.time(longest));
    EXPECT_EQ(3u, box.tree("out").size());  // the link, the file, the copy: nothing left behind
}

}  // namespace
