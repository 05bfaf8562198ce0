// The stand-in for the shell's batch copy (FO_COPY | FOF_MULTIDESTFILES) on
// real files: order, folders, overwriting, exact times, and where it stops.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox.h"
#include "winapi_posix.h"

namespace {

typedef std::vector<std::string> Strings;

// Copies from[n] to to[n] (sandbox paths) in one batch.
int copyBatch(const Sandbox& box, const Strings& from, const Strings& to, UINT function = FO_COPY, WORD flags = 0x0615) {
    std::string fromNames, toNames;
    for (size_t i = 0; i < from.size(); i++) {
        fromNames += box.full(from[i]) + '\0';
        if (!to[i].empty()) toNames += box.full(to[i]) + '\0';
    }
    SHFILEOPSTRUCTA op = {NULL, function, fromNames.c_str(), toNames.c_str(), flags, TRUE, NULL, NULL};
    int code = SHFileOperationA(&op);
    EXPECT_FALSE(op.fAnyOperationsAborted);  // nothing here can cancel it
    return code;
}

struct timespec mtime(const Sandbox& box, const std::string& rel) {
    struct stat st = {};
    stat(box.native(rel).c_str(), &st);
    return st.st_mtim;
}

TEST(PosixCopy, CopiesInOrderMakingFoldersAndOverwritingWithExactTimes) {
    Sandbox box;
    const std::string longest(255, 'n');  // no room left in the name for a prefix
    box.write("a", "first");
    box.write("b", "second");
    box.write("c", std::string(300000, 'c'));
    box.write(longest, "n");
    box.write("out\\old", "OLD content, longer than the new one");
    struct timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 123456789}};
    utimensat(AT_FDCWD, box.native("b").c_str(), times, 0);
    times[1].tv_nsec = 1;
    utimensat(AT_FDCWD, box.native("c").c_str(), times, 0);
    // "b" after "a" to the same place: the later one is what stays.
    EXPECT_EQ(0, copyBatch(box, {"a", "b", "c", longest},
                           {"out\\new\\deep\\ab", "out\\new\\deep\\ab", "out\\old", "out\\" + longest}, FO_COPY, 0x0211));
    EXPECT_EQ(Strings({"new\\deep\\ab=second", longest + "=n", "old=" + std::string(300000, 'c')}), box.tree("out"));
    EXPECT_EQ(123456789, mtime(box, "out\\new\\deep\\ab").tv_nsec);
    EXPECT_EQ(1, mtime(box, "out\\old").tv_nsec);
    EXPECT_EQ(1600000000, mtime(box, "out\\old").tv_sec);
}

TEST(PosixCopy, StopsAtTheFirstFailureWithItsCodeAndKeepsWhatWentBefore) {
    struct {
        const char* from;
        const char* to;
        int code;
    } cases[] = {
        {"gone", "out\\2", DE_SRC_NOT_FOUND},      // no such source
        {"folder", "out\\2", DE_ACCESSDENIEDSRC},  // a folder is not a file to copy
        {"ok", "out\\file\\2", ERRORONDEST},       // a folder on the way is a file
        {"ok", "out\\folder", ERRORONDEST},        // the destination is a folder
    };
    for (const auto& c : cases) {
        Sandbox box;
        box.write("ok", "ok");
        box.write("out\\file", "file");
        box.mkdir("folder");
        box.mkdir("out\\folder\\inner");
        EXPECT_EQ(c.code, copyBatch(box, {"ok", c.from, "ok"}, {"out\\1", c.to, "out\\3"})) << c.from << " " << c.to;
        EXPECT_EQ(Strings({"1=ok", "file=file"}), box.tree("out")) << c.from << " " << c.to;
    }
    Sandbox box;
    box.write("ok", "ok");
    EXPECT_EQ(DE_INVALIDFILES, copyBatch(box, {"ok"}, {"out\\1"}, 3 /* FO_DELETE */));
    EXPECT_EQ(DE_INVALIDFILES, copyBatch(box, {"ok"}, {"out\\1"}, FO_COPY, 0x0614));  // one destination for all
    EXPECT_EQ(DE_INVALIDFILES, copyBatch(box, {"ok", "ok"}, {"out\\1", ""}));  // fewer destinations than sources
    EXPECT_EQ(Strings{"1=ok"}, box.tree("out"));
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
    const int codeNew = copyBatch(box, {"big"}, {"out\\new"}), codeOld = copyBatch(box, {"big"}, {"out\\big"});
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(ERRORONDEST, codeNew);
    EXPECT_EQ(ERRORONDEST, codeOld);
    EXPECT_EQ(Strings{"big=OLD"}, box.tree("out"));
    EXPECT_EQ(T2020, box.time("out\\big"));
}

// An overwrite's temporary name never follows a link planted there, nor
// truncates a file that holds it: the next free name is taken.
TEST(PosixCopy, OverwriteNeverFollowsOrTruncatesWhatHoldsItsTemporaryName) {
    Sandbox box;
    box.write("new", "new");
    box.write("out\\f", "old");
    box.write("victim", "victim");
    const std::string temp = ".~qv-" + std::to_string(getpid()) + "-";
    ASSERT_EQ(0, symlink(box.native("victim").c_str(), box.native("out\\" + temp + "0").c_str()));
    box.write("out\\" + temp + "1", "someone's");
    EXPECT_EQ(0, copyBatch(box, {"new"}, {"out\\f"}));
    EXPECT_EQ("victim", box.read("victim"));
    EXPECT_EQ("someone's", box.read("out\\" + temp + "1"));
    EXPECT_EQ("new", box.read("out\\f"));
    EXPECT_EQ(3u, box.tree("out").size());  // the link, the file, the copy: nothing left behind
}

TEST(PosixCopy, UnreadableSourceIsReported) {
    Sandbox box;
    box.write("secret", "s");
    chmod(box.native("secret").c_str(), 0);
    const int probe = open(box.native("secret").c_str(), O_RDONLY);
    if (probe >= 0) {
        close(probe);
        GTEST_SKIP() << "permissions do not stop this user's reads (root)";
    }
    EXPECT_EQ(DE_ACCESSDENIEDSRC, copyBatch(box, {"secret"}, {"out\\secret"}));
    EXPECT_EQ(Strings(), box.tree("out"));
}

}  // namespace
