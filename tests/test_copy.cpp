// The copy pass over real trees: what it decides, where each copy goes, what
// it hands back, and that it leaks nothing when any allocation fails.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "alloc.h"
#include "expected_texts.h"
#include "list_intr.h"
#include "sandbox.h"

namespace {

typedef std::vector<std::string> Strings;

const std::string noMemory = "\n" + textNoMemory + "\n", copyFailed = textCopyFailed, tooLong = textTooLong;

class CopyPass : public ::testing::Test {
protected:
    Sandbox box;
    std::string error;  // the pass's text, "<none>" when it handed back none

    void SetUp() override {
        initPaths(&exPath, &unexPath);
        box.mkdir("dst");
    }
    void TearDown() override {
        failAllocationAfter(-1);
        freePaths(&exPath, &unexPath);
    }
    std::string dst() const { return "--Dir--" + box.full("dst") + "\n"; }
    std::string to(const std::string& mirror) const { return box.full("dst") + "\\" + mirror; }
    std::string entry(const std::string& rel) const { return box.full(rel) + ">" + to(box.mirror(rel)); }
    // Reads the backup list and runs the pass, with a planned allocation failure.
    void run(const std::string& list, long failAfter = -1) {
        freePaths(&exPath, &unexPath);
        box.writeList(list);
        ASSERT_EQ(READ_DONE, ReadPaths(&exPath, &unexPath));
        ASSERT_EQ(0u, unexPath.count) << unexPath.first->path;
        failAllocationAfter(failAfter);
        pass();
    }
    void pass() {
        char* text = NULL;
        copy(&exPath, &text, 1);
        error = text ? text : "<none>";
        freeMem(text);
    }
    // The flagged entries as "source>destination", in list order; the
    // counters the name buffers are sized by must add up to exactly them.
    Strings flagged() const {
        Strings out;
        uint32_t len = 0, lenTo = 0;
        for (const PathNode* node = exPath.first; node; node = node->next)
            if (node->toCopy) {
                out.push_back(std::string(node->path) + ">" + node->pathTo);
                len += (uint32_t)strlen(node->path);
                lenTo += (uint32_t)strlen(node->pathTo);
            }
        EXPECT_EQ((int32_t)out.size(), exPath.countCopy);
        EXPECT_EQ(len, exPath.lenCopy);
        EXPECT_EQ(lenTo, exPath.lenToCopy);
        return out;
    }
};

TEST_F(CopyPass, CopiesWhatIsMissingOrOfAnotherTimeAndAlwaysWithD) {
    struct {
        const char* name;
        uint64_t destTime;  // 0: no copy there yet
        const char* marker;
    } files[] = {{"same", T2020, ""},         {"older", T2020 - TICK, ""}, {"newer", T2020 + TICK, ""},
                 {"missing", 0, ""},          {"always", T2020, "<-d>"},   {"missing", 0, ""}};
    std::string list = dst();
    Strings copied, tree;
    for (const auto& f : files) {
        const std::string rel = "src\\" + std::string(f.name);
        box.write(rel, f.name, T2020);
        if (f.destTime) box.write("dst\\" + box.mirror(rel), "OLD", f.destTime);
        list += f.marker + box.full(rel) + "\n";
        if (f.destTime != T2020 || *f.marker) copied.push_back(entry(rel));  // "missing" twice: twice in the batch
        if (&f != &files[5]) tree.push_back(box.mirror(rel) + "=" + (f.destTime == T2020 && !*f.marker ? "OLD" : f.name));
    }
    run(list);
    EXPECT_EQ("<none>", error);
    EXPECT_EQ(copied, flagged());
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(tree, box.tree("dst"));
    // The destination's time is read only where it is compared.
    int i = 0;
    for (const PathNode* node = exPath.first; node; node = node->next, i++) {
        EXPECT_EQ(T2020, box.time("dst\\" + box.mirror("src\\" + std::string(files[i].name))));
        EXPECT_EQ(*files[i].marker ? 0 : files[i].destTime, ((uint64_t)node->timeTo.dwHighDateTime << 32) | node->timeTo.dwLowDateTime);
    }

    // A second run finds every copy up to date: no batch, no buffers, no text.
    run(dst() + box.full("src") + "\n");
    EXPECT_EQ("<none>", error);
    EXPECT_EQ(5, allocationCount());  // the five destination paths, nothing more
    EXPECT_EQ(Strings(), flagged());
}

TEST_F(CopyPass, TwoDrivesGoToTwoFolders) {
    box.write("src\\a.txt", "a", T2020);
    // The same file again, through a second drive letter.
#ifdef _WIN32
    const char* prefix = getenv("WINEPREFIX");  // Wine maps the host's / to Z:
    if (!prefix) GTEST_SKIP() << "needs Wine's Z: drive";
    std::string other = "Z:" + std::string(prefix) + "/drive_c" + box.root.substr(2) + "\\src\\a.txt";
    std::replace(other.begin(), other.end(), '/', '\\');
#else
    std::filesystem::create_directory_symlink("C:", box.root + "/D:");
    const std::string other = "D:\\src\\a.txt";
#endif
    const std::string otherMirror = other.substr(0, 1) + other.substr(2);
    run(dst() + box.full("src\\a.txt") + "\n" + other + "\n");
    EXPECT_EQ("<none>", error);
    EXPECT_EQ(Strings({entry("src\\a.txt"), other + ">" + to(otherMirror)}), flagged());
    EXPECT_EQ(Strings({box.mirror("src\\a.txt") + "=a", otherMirror + "=a"}), box.tree("dst"));
}

TEST_F(CopyPass, ShellFailureHalfWayGivesItsCodeAndKeepsWhatWasCopied) {
    std::string list = dst();
    for (const char* rel : {"src\\a", "src\\sub\\b", "src\\c"}) {
        box.write(rel, "x", T2020);
        list += box.full(rel) + "\n";
    }
    box.write("dst\\" + box.mirror("src\\sub"), "a file where a folder goes");
    run(list);
#ifdef _WIN32
    EXPECT_EQ(copyFailed + "1223 (4c7)", error);  // cancelled: the shell sets the aborted flag too
#else
    EXPECT_EQ(copyFailed + "65536 (10000)", error);
#endif
    EXPECT_EQ(Strings({box.mirror("src\\a") + "=x", box.mirror("src\\sub") + "=a file where a folder goes"}), box.tree("dst"));
}

TEST_F(CopyPass, DestinationsBeyondTheirRoomAreNamedAndNotCopied) {
    // A long source name keeps the destination directories short enough for
    // the ANSI calls under Windows.
    const std::string source = "src\\" + std::string(80, 'f'), mirror = box.mirror(source);
    box.write(source, "f", T2020);
    std::string list, tooLongDest;
    Strings dirs, copied;
    for (size_t len : {DEST_ROOM - 1, DEST_ROOM, DEST_ROOM + 1}) {
        dirs.push_back("d" + std::string(len - mirror.size() - box.full("d").size() - 1, (char)('a' + len % 3)));
        box.mkdir(dirs.back());
        list += "--Dir--" + box.full(dirs.back()) + "\n" + box.full(source) + "\n";
        const std::string dest = box.full(dirs.back()) + "\\" + mirror;
        ASSERT_EQ(len, dest.size());
        if (len > DEST_ROOM)
            tooLongDest = dest;
        else
            copied.push_back(box.full(source) + ">" + dest);
    }
    run(list);
    EXPECT_EQ(tooLong + "\n" + tooLongDest, error);
    EXPECT_EQ(copied, flagged());
    EXPECT_EQ(Strings{mirror + "=f"}, box.tree(dirs[0]));
    EXPECT_EQ(Strings{mirror + "=f"}, box.tree(dirs[1]));
    EXPECT_EQ(Strings(), box.tree(dirs[2]));
}

TEST_F(CopyPass, CopiesMoreFilesThanA16BitCountHolds) {
#ifdef _WIN32
    GTEST_SKIP() << "minutes under Wine; the count is the engine's own, so the native run proves it";
#endif
    const int files = 33000;
    Strings tree;
    for (int i = 0; i < files; i++) {
        const std::string rel = "src\\" + std::to_string(i / 1000) + "\\" + std::to_string(i);
        if (i % 1000 == 0) box.mkdir("src\\" + std::to_string(i / 1000));
        std::ofstream(box.native(rel), std::ios::binary) << i;
        tree.push_back(box.mirror(rel) + "=" + std::to_string(i));
    }
    std::sort(tree.begin(), tree.end());
    run(dst() + box.full("src") + "\n");
    EXPECT_EQ("<none>", error);
    EXPECT_EQ((size_t)files, flagged().size());
    EXPECT_EQ(tree, box.tree("dst"));
}

TEST_F(CopyPass, DestinationStaysUnderItsDirectoryWhateverTheSourcePath) {
    box.write("x", "x", T2020);
    std::ofstream(box.root + "/cwd", std::ios::binary) << "cwd";
    // More ".." than there are folders above: they stop at the drive's root.
    std::string climb = box.full("a");
    for (char c : box.full("") + "\\\\")
        if (c == '\\') climb += "\\..";
    climb += box.full("x").substr(2);
#ifdef _WIN32
    const std::string rooted = box.root.substr(2) + "\\cwd", cwdMirror = "C" + rooted;
#else
    const std::string rooted = box.root + "/cwd", cwdMirror = rooted.substr(1);
#endif
    run(dst() + climb + "\ncwd\n" + rooted + "\n");
    EXPECT_EQ("<none>", error);
    EXPECT_EQ(Strings({climb + ">" + to(box.mirror("x")), "cwd>" + to(cwdMirror), rooted + ">" + to(cwdMirror)}), flagged());
    Strings tree = {box.mirror("x") + "=x", cwdMirror + "=cwd"};
    std::replace(tree[1].begin(), tree[1].end(), '/', '\\');
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(tree, box.tree("dst"));
}

TEST_F(CopyPass, NetworkPathGoesUnderUNC) {
    // The reader takes only paths that exist, so the entry is made by hand.
    const std::string path = "\\\\srv\\share\\..\\..\\u", dir = box.full("dst") + "\\";
    PathNode* node = (PathNode*)calloc(1, sizeof *node);
    *node = {copyText(path.c_str(), path.size()), (uint32_t)path.size(), {}, 1,
             copyText(dir.c_str(), dir.size()), (uint32_t)dir.size(), {}, 0, NULL};
    exPath = {node, node->len, node->len, 0, 1, 0};
    pass();
    EXPECT_EQ(copyFailed + "1026 (402)", error);  // no such server: source not found
#ifdef _WIN32
    EXPECT_EQ(to("UNC\\srv\\share\\u"), node->pathTo);
#else
    EXPECT_EQ(to("u"), node->pathTo);  // POSIX: \\srv\share is the folder /srv/share
#endif
}

TEST_F(CopyPass, OutOfMemoryAnywhereGivesItsTextAndLeaksNothing) {
    // The second destination is too long, so that a report is made as well.
    const std::string longDir = "d" + std::string(200, 'l'), longName = "src\\" + std::string(100, 'a');
    box.mkdir(longDir);
    box.write(longName, "a", T2020);
    box.write("src\\b", "b", T2020);
    const std::string list = dst() + box.full("src") + "\n--Dir--" + box.full(longDir) + "\n" + box.full(longName) + "\n";
    for (long n = 0;; n++) {
        run(list, n);
        if (allocationCount() <= n) {  // nothing failed: the whole pass ran
            EXPECT_EQ(tooLong + "\n" + box.full(longDir) + "\\" + box.mirror(longName), error);
            EXPECT_EQ(7, n);  // three destinations, two name buffers, the operation, the report
            break;
        }
        EXPECT_EQ(noMemory, error) << n;
        // Entries before the failing one have their full destination, it has none.
        long i = 0;
        for (const PathNode* node = exPath.first; node && i <= n; node = node->next, i++)
            if (i < n)
                EXPECT_NE(std::string::npos, std::string(node->pathTo, node->lenTo).find(box.mirror("src") + "\\")) << n;
            else
                EXPECT_TRUE(!node->pathTo && !node->lenTo) << n;
    }
}

}  // namespace
