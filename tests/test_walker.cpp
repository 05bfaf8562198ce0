#include <stdlib.h>

#include "lists_check.h"

namespace {

class Walker : public ::testing::Test {
protected:
    Sandbox box;
    ReadLists walk(const std::string& list) {
        box.mkdir("dst");
        box.writeList(swapAt(box, list, true));
        return readLists(box);
    }
    // Runs a shell command in the drive folder and waits until rel exists
    // (or not). Wine starts a Unix program without waiting for it; Windows
    // itself has no shell here.
    bool shell(const std::string& command, const std::string& rel, bool exists) {
#ifdef _WIN32
        const std::string dir = unixPath(box.root);
        if (dir.empty()) return false;
        std::string line = "Z:\\bin\\sh -c \"cd '" + dir + "' && " + command + "\"";
        PROCESS_INFORMATION pi;
        if (!startProcess(line, &pi)) return false;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        for (int i = 0; i < 1000 && box.exists(rel) != exists; i++) Sleep(10);
#else
        if (system(("cd '" + box.native("") + "' && " + command).c_str()) != 0) return false;
#endif
        return box.exists(rel) == exists;
    }
};

// Depth first, pre-order: each folder's files come in one run, wherever the
// enumeration (unsorted on POSIX and Wine) puts them. Only "." and ".." are
// skipped; hidden files are kept; every entry of a line gets its destination;
// an empty folder adds nothing.
TEST_F(Walker, ThreeDepthsDotNamesAndHiddenFiles) {
    const Strings files = {"src\\a.txt",     "src\\d1\\b.txt",  "src\\d1\\d2\\c.txt", "src\\d1\\d2\\e.txt",
                           "src\\d1\\z.txt", "src\\..cache\\k", "src\\.git\\g",       "src\\.h"};
    for (size_t i = 0; i < files.size(); i++) box.write(files[i], files[i], T2020 + i * SECOND);
    box.mkdir("src\\d3");
#ifdef _WIN32
    SetFileAttributesA(box.native("src\\a.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_TRUE(GetFileAttributesA(box.native("src\\a.txt").c_str()) & FILE_ATTRIBUTE_HIDDEN);
#endif
    ReadLists r = walk("--Dir--@dst\n@src\n@src\\d3\n--Dir--<-d>@dst\\\n<+d>@src\\d1\\\n");
    EXPECT_EQ(READ_DONE, r.result);
    EXPECT_EQ(Strings{}, r.rejected);
    ASSERT_EQ(12u, r.entries.size());
    Strings want, first(r.entries.begin(), r.entries.begin() + 8), second(r.entries.begin() + 8, r.entries.end());
    for (const std::string& f : files) want.push_back("@" + f + " 1 @dst\\");
    EXPECT_EQ(sorted(want), sorted(first));
    EXPECT_EQ(sorted(Strings(want.begin() + 1, want.begin() + 5)), sorted(second));
    for (const std::string& f : first)
        for (size_t cut = f.find('\\'); cut < f.find(' '); cut = f.find('\\', cut + 1)) {
            auto under = [&](size_t j) { return !first[j].compare(0, cut + 1, f, 0, cut + 1); };
            int runs = 0;
            for (size_t j = 0; j < first.size(); j++) runs += under(j) && (j == 0 || !under(j - 1));
            EXPECT_EQ(1, runs) << f.substr(0, cut);
        }
}

// Composed paths fit in 260 characters: a file path of 261, or a folder
// whose pattern "\*.*" would make 261, is listed and not taken. No times
// are set: the ANSI calls cannot open a path of 261.
TEST_F(Walker, PathsAtTheEdgeOfTheirRoom) {
    const std::string dir = "src\\" + std::string(200 - box.full("src\\").size(), 'd'), at = "@" + dir + "\\";
    for (size_t n : {58, 59, 60}) box.write(dir + "\\" + std::string(n, 'f'), "f");
    for (size_t n : {54, 55, 56}) box.write(dir + "\\" + std::string(n, 's') + "\\x", "x");
    ReadLists r = walk("--Dir--@dst\n@src\n");
    EXPECT_EQ(READ_DONE, r.result);
    EXPECT_EQ(sorted({at + std::string(58, 'f') + " 1 @dst\\", at + std::string(59, 'f') + " 1 @dst\\",
                      at + std::string(54, 's') + "\\x 1 @dst\\", at + std::string(55, 's') + "\\x 1 @dst\\"}),
              sorted(r.entries));
    EXPECT_EQ(sorted({at + std::string(60, 'f'), at + std::string(56, 's')}), sorted(r.rejected));
}

// '?' is what the ANSI code page shows for a character it lacks; on POSIX a
// real '?' in the name.
TEST_F(Walker, NameWithQuestionMarkIsRejected) {
    box.write("src\\a.txt", "a", T2020);
#ifdef _WIN32
    CloseHandle(CreateFileW((std::wstring(box.root.begin(), box.root.end()) + L"\\src\\a\x4e2d" L"b.txt").c_str(),
                            GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL));
#endif
    box.write("src\\a?b.txt", "?");  // on Windows a wildcard: makes nothing
    ReadLists r = walk("--Dir--@dst\n@src\n@src\\a?b.txt\n");
    EXPECT_EQ(READ_DONE, r.result);
    EXPECT_EQ(Strings{"@src\\a.txt 1 @dst\\"}, r.entries);
    EXPECT_EQ((Strings{"@src\\a?b.txt", "@src\\a?b.txt"}), r.rejected);
}

TEST_F(Walker, LinkBackUpTheTreeEndsAndOtherLinksAreWalked) {
    for (const char* f : {"src\\a.txt", "src\\d\\b.txt", "other\\o.txt"}) box.write(f, f, T2020);
    if (!shell("ln -s .. src/d/up && ln -s ../other src/ext", "src\\ext", true)) GTEST_SKIP() << "no links here";
    ReadLists r = walk("--Dir--@dst\n@src\n");
    EXPECT_EQ(READ_DONE, r.result);
    EXPECT_EQ(sorted({"@src\\a.txt 1 @dst\\", "@src\\d\\b.txt 1 @dst\\", "@src\\ext\\o.txt 1 @dst\\"}),
              sorted(r.entries));
    EXPECT_EQ(Strings{}, r.rejected);
    // The sandbox's clean-up, on Windows, would follow the links.
    EXPECT_TRUE(shell("rm src/ext src/d/up", "src\\d\\up", false));
}

// A source holding the destination is walked without it. A source line that
// names the destination, or anything inside it, however written (case, "..",
// a link to it), is rejected: its backups would be backed up into themselves.
TEST_F(Walker, DestinationIsNeverASource) {
    for (const char* f : {"src\\a.txt", "src\\bk\\old.txt", "src\\bk\\in\\i.txt", "src\\bk2\\n.txt"}) box.write(f, f, T2020);
    const bool links = shell("ln -s bk src/lnk", "src\\lnk", true);
    std::string list = "--Dir--@src\\bk\n@src\n@src\\bk\n@src\\bk\\in\n@src\\bk\\old.txt\n@src\\bk2\\..\\bk\\\n";
    Strings rejected = {"@src\\bk", "@src\\bk\\in", "@src\\bk\\old.txt", "@src\\bk2\\..\\bk\\"};
#ifdef _WIN32
    list += "@SRC\\BK\\IN\n";
    rejected.push_back("@SRC\\BK\\IN");
#endif
    if (links) {
        list += "@src\\lnk\\in\n";
        rejected.push_back("@src\\lnk\\in");
    }
    ReadLists r = walk(list);
    EXPECT_EQ(READ_DONE, r.result);
    EXPECT_EQ(sorted({"@src\\a.txt 1 @src\\bk\\", "@src\\bk2\\n.txt 1 @src\\bk\\"}), sorted(r.entries));
    EXPECT_EQ(rejected, r.rejected);
    if (links) {
        EXPECT_TRUE(shell("rm src/lnk", "src\\lnk", false));
    }
}

// An enumeration that opens on a real entry (as a drive's root does) loses
// nothing: the walker looks at the entry it is handed first.
TEST_F(Walker, FirstEntryOfTheEnumerationIsTaken) {
    for (const char* f : {"src\\a.txt", "src\\b.txt", "src\\c.dat"}) box.write(f, f, T2020);
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(box.full("src\\*.txt").c_str(), &found);
    ASSERT_TRUE(h != INVALID_HANDLE_VALUE && found.cFileName[0] != '.');
    PathList entries = {}, rejected = {};
    PathNode *last = NULL, *lastRejected = NULL;
    const std::string to = box.full("dst") + "\\";
    EXPECT_TRUE(findFAdd(box.full("src").c_str(), h, &found, &entries, &last, to.c_str(), (uint32_t)to.size(), 0,
                         &rejected, &lastRejected));
    FindClose(h);
    EXPECT_EQ(sorted({"@src\\a.txt 0 @dst\\", "@src\\b.txt 0 @dst\\"}), sorted(render(box, entries, true)));
    EXPECT_EQ(Strings{}, render(box, rejected, false));
    EXPECT_TRUE(entries.first && last == entries.first->next && !lastRejected);
    freePaths(&entries, &rejected);
}

}  // namespace
