// The copy pass over real trees: what it copies, where each copy goes, and
// what it reports.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <time.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "alloc.h"
#include "expected_texts.h"
#include "list_intr.h"
#include "sandbox.h"

namespace {

namespace fs = std::filesystem;

class CopyPass : public ::testing::Test {
protected:
    Sandbox box;
    std::string error;  // the pass's text, "<none>" when it handed back none

    void SetUp() override { box.mkdir("dst"); }
    void TearDown() override { freePaths(&exPath, &unexPath); }
    std::string dst() const { return "--Dir--" + box.full("dst") + "\n"; }
    std::string entry(const std::string& rel) const { return box.full(rel) + ">" + box.full("dst\\" + box.mirror(rel)); }
    // Reads the backup list, does `between`, and runs the pass.
    void run(const std::string& list, const std::function<void()>& between = [] {}) {
        freePaths(&exPath, &unexPath);
        box.writeList(list);
        ASSERT_EQ(READ_DONE, ReadPaths(&exPath, &unexPath));
        ASSERT_EQ(0u, unexPath.count) << unexPath.first->path;
        between();
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
                len += node->len;
                lenTo += (uint32_t)strlen(node->pathTo);
            }
        EXPECT_TRUE((int32_t)out.size() == exPath.countCopy && len == exPath.lenCopy && lenTo == exPath.lenToCopy);
        return out;
    }
};

// A copy of its source's size and last-write time is its backup, the time
// exact or as a drive with coarse times keeps it (on a whole 10 ms, 1 s or
// 2 s step, less than a step away): left alone, whatever its bytes. Any
// other copy is copied over: missing, of another size, or of another time
// by a tick, by exactly 2^32 ticks (both halves count) or by a second off
// any step; and always with "<-d>". A file named twice is copied twice. A
// file named like a temporary copy of another is a file like any other:
// its backup stays when the other's is replaced. A copy at FAT's and
// exFAT's limits is the backup of a source dated beyond them (1970, 2120)
// only on such a drive: on this one, which keeps any time, it is copied
// over (drives.sh has exFAT). A second run finds all up to date.
TEST_F(CopyPass, CopiesWhatIsMissingOrOfAnotherTimeOrSizeAndAlwaysWithD) {
    const uint64_t evenSecond = T2020 - T2020 % (2 * SECOND), hundredth = SECOND / 100;
    const struct {
        const char* name;
        uint64_t destTime;  // 0: no copy there yet
        const char* marker;
        bool sameSize;      // the copy's size is its source's
        uint64_t srcTime = T2020;
    } files[] = {{"same", T2020, "", true},        {"older.~qvtmp", T2020, "", true}, {"older", T2020 - TICK, "", true},
                 {"early", FAT_EARLIEST, "", true, T1970}, {"late", FAT_LATEST, "", true, T2120},
                 {"offlimit", FAT_EARLIEST + 2 * SECOND, "", true, T1970},
                 {"newer", T2020 + TICK, "", true}, {"far", T2020 - (1ULL << 32), "", true},
                 {"fat", evenSecond, "", true},     {"fatahead", evenSecond + 2 * SECOND, "", true},
                 {"second", T2020 - T2020 % SECOND, "", true}, {"exfat", T2020 - T2020 % hundredth, "", true},
                 {"offstep", T2020 - SECOND, "", true},        {"grown", evenSecond, "", false},
                 {"missing", 0, "", true},         {"always", T2020, "<-d>", true}, {"missing", 0, "", true}};
    std::string list = dst();
    Strings copied, tree;
    for (const auto& f : files) {
        const std::string rel = "src\\" + std::string(f.name), name = f.name;
        std::string old = name;
        for (char& c : old) c = (char)toupper(c);
        const Strings otherTime = {"older", "newer", "far", "offstep", "offlimit", "early", "late"};
        const bool kept = f.sameSize && !*f.marker && f.destTime &&
                          std::find(otherTime.begin(), otherTime.end(), name) == otherTime.end();
        box.write(rel, f.name, f.srcTime);
        if (f.destTime) box.write("dst\\" + box.mirror(rel), f.sameSize ? old : old + "+", f.destTime);
        list += f.marker + box.full(rel) + "\n";
        if (!kept) copied.push_back(entry(rel));
        if (&f != std::end(files) - 1) tree.push_back(box.mirror(rel) + "=" + (kept ? old : name));
    }
    run(list);
    EXPECT_EQ("<none>", error);
    EXPECT_EQ(copied, flagged());
    EXPECT_EQ(sorted(tree), box.tree("dst"));
    EXPECT_EQ(T2020, box.time("dst\\" + box.mirror("src\\far")));
    run(dst() + box.full("src") + "\n");
    EXPECT_EQ("<none>", error);
    EXPECT_EQ(Strings(), flagged());
}

// A file stands where one file's folder goes, and one source is gone by the
// time of the copy: every other file is copied all the same, and the report
// names the two. Wine's shell checks every source before it copies
// anything, the stand-in stops where it meets the gone one; both end the
// same. Once the causes are gone, the rest is copied.
TEST_F(CopyPass, FilesThatCannotBeCopiedAreNamedAndTheRestIsCopied) {
    std::string list = dst();
    for (const char* rel : {"src\\a", "src\\sub\\b", "src\\c", "src\\gone"}) {
        box.write(rel, rel, T2020);
        list += box.full(rel) + "\n";
    }
    box.write("dst\\" + box.mirror("src\\sub"), "in the way");
    run(list, [&] { box.remove("src\\gone"); });
#ifdef _WIN32
    const std::string firstCode = "1026 (402)";
#else
    const std::string firstCode = "2 (2)";  // the gone source, where the batch stops
#endif
    EXPECT_EQ(textCopyFailed + firstCode + "\n" + textNotCopied + "\n" + box.full("src\\sub\\b") + "\n" +
                  box.full("src\\gone"), error);
    EXPECT_EQ(Strings({box.mirror("src\\a") + "=src\\a", box.mirror("src\\c") + "=src\\c",
                       box.mirror("src\\sub") + "=in the way"}), box.tree("dst"));
    EXPECT_EQ(T2020, box.time("dst\\" + box.mirror("src\\c")));
    EXPECT_EQ(4u, flagged().size());

    box.remove("dst\\" + box.mirror("src\\sub"));
    box.write("src\\gone", "back", T2020);
    run(list);
    EXPECT_EQ("<none>", error);
    EXPECT_EQ(Strings({entry("src\\sub\\b"), entry("src\\gone")}), flagged());
}

// The 32-bit sums that size buffers never wrap: text that would pass them
// is out of memory, and nothing is copied.
TEST_F(CopyPass, SumsThatWouldPassThirtyTwoBitsAreOutOfMemory) {
    box.write("src\\a", "a", T2020);
    box.writeList(dst() + "missing\n");
    unexPath.lenAll = UINT32_MAX - 6;
    EXPECT_EQ(READ_NO_MEMORY, ReadPaths(&exPath, &unexPath));
    EXPECT_EQ(0u, unexPath.count);
    run(dst() + box.full("src\\a") + "\n", [&] { exPath.lenToCopy = UINT32_MAX - 5; });
    EXPECT_EQ(textCopyNoMemory, error);
    EXPECT_EQ(Strings(), box.tree("dst"));
}

// The shell's batch is handed a file whose source and temporary path are both
// under MAX_PATH UTF-16 units, and the destination's folder under 248; every
// other file is copied on its own, its folders made. Both copy exact bytes
// and times, and name a file they fail on, each with its own code: the
// shell's, or the system's 183 where a file holds a folder's name. Natively
// a destination past PATH_MAX is named as too long.
TEST_F(CopyPass, FilesPastMaxPathAreCopiedOnTheirOwnAndFailuresNamedInEither) {
    // A path of so many UTF-16 units below dir; "жй😀" is 4 characters in 5 units.
    auto named = [&](const std::string& dir, size_t units) {
        return dir + "\\жй😀" + std::string(units - box.full(dir).size() - 5, 'n');
    };
    const std::string deep(60, 'd');
    Strings rels;
    for (size_t units : {259, 260, 261}) rels.push_back(named("src\\" + std::string(100, 's'), units));
    // The shell is handed a copy's temporary path, 7 units longer (".~qvtmp"):
    // destinations of 252 (twice: one in the shell's batch fails), 253 and 254.
    const size_t dstUnits = box.full("dst").size();
    for (const char* tag : {"t1", "t2", "t3", "t4"})
        rels.push_back(named(tag + ("\\" + deep), 252 + (tag[1] == '3') + 2 * (tag[1] == '4') - dstUnits));
    rels.push_back("src\\" + std::string(255, 'l'));  // no room for a temporary name's ending
    std::string list = dst();
    Strings tree;
    for (const std::string& rel : rels) {
        box.write(rel, rel, T2020);
        list += box.full(rel) + "\n";
        tree.push_back(box.mirror(rel) + "=" + rel);
    }
    const std::string shellFails = "dst\\" + box.mirror("t1"), directFails = "dst\\" + box.mirror("t3");
    box.write(shellFails, "in the way");
    box.write(directFails, "in the way");
    const std::string shellCode = "183 (b7)";
    run(list);
    EXPECT_EQ(textCopyFailed + shellCode + "\n" + textNotCopied + "\n" + box.full(rels[3]) + "\n" + box.full(rels[5]),
              error);
    box.remove(shellFails);
    run(list);
    EXPECT_EQ(textCopyFailed + "183 (b7)\n" + textNotCopied + "\n" + box.full(rels[5]), error);
    EXPECT_EQ(Strings({entry(rels[3]), entry(rels[5])}), flagged());
    box.remove(directFails);
    run(list);
    EXPECT_EQ("<none>", error);
    EXPECT_EQ(Strings({entry(rels[5])}), flagged());
    EXPECT_EQ(sorted(tree), box.tree("dst"));
    for (const std::string& rel : rels) EXPECT_EQ(T2020, box.time("dst\\" + box.mirror(rel))) << rel;
#ifndef _WIN32
    std::string far = "far";
    while (box.full(far).size() < PATH_MAX - 1 - 61) far += "\\" + deep;
    far.resize(PATH_MAX - 1 - box.full("").size() - 1, 'x');  // the longest source
    box.write(far, "far", T2020);
    run(dst() + box.full("far") + "\n");
    EXPECT_EQ(textTooLong + "\n" + box.full("dst") + "\\" + box.mirror(far), error);
#endif
}

// Sources and destinations written relative, root-relative, with '/', or
// climbing with more ".." than there are folders are made full when their
// line is read: every copy lands below the folder its line names, and
// nothing is written anywhere else in the sandbox.
TEST_F(CopyPass, PathsAreMadeFullWhenTheListIsRead) {
    box.write("x", "x", T2020);
    std::ofstream(box.root + "/cwd") << "cwd";
    std::string climb = box.full("a"), slashed = box.full("x");
    for (char c : box.full("") + "\\\\")
        if (c == '\\') climb += "\\..";
    climb += box.full("x").substr(2);
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
#ifdef _WIN32
    // Under Wine a path that starts with '/' is a Unix one, as a Linux user writes it.
    const std::string sep = "\\", rooted = box.root.substr(2) + "\\dst2", unixDst = unixPath(box.root + "\\dst4");
#else
    const std::string sep = "/", rooted = box.root + "/dst2", unixDst = box.root + "/dst4";
#endif
    const std::string cwd = box.root + sep + "cwd", base = fs::path(box.root).filename().string();
    std::string cwdMirror = cwd[1] == ':' ? std::string(cwd).erase(1, 1) : cwd.substr(1), x = box.full("x");
    const std::string list = "--Dir--dst\ncwd\n" + climb + "\n--Dir--" + rooted + "\n" + slashed + "\n--Dir--..\\" +
                             base + "\\dst3\ncwd\n--Dir--" + unixDst + "\ncwd\n";
    for (const char* dir : {"dst", "dst2", "dst3", "dst4"}) fs::create_directory(box.root + sep + dir);
    run(list);
    EXPECT_EQ("<none>", error);
    auto to = [&](const char* dir, const std::string& mirror) { return box.root + sep + dir + sep + mirror; };
    EXPECT_EQ(Strings({cwd + ">" + to("dst", cwdMirror), x + ">" + to("dst", box.mirror("x")),
                       x + ">" + to("dst2", box.mirror("x")), cwd + ">" + to("dst3", cwdMirror),
                       cwd + ">" + to("dst4", cwdMirror)}), flagged());
    std::replace(cwdMirror.begin(), cwdMirror.end(), '/', '\\');
    std::string xNative = fs::relative(box.native("x"), box.root).string(), xMirror = box.mirror("x");
    std::replace(xNative.begin(), xNative.end(), '/', '\\');
    const Strings tree = {"Quarnelvistro.txt=" + list,        xNative + "=x",
                          "cwd=cwd",                          "dst\\" + cwdMirror + "=cwd",
                          "dst\\" + xMirror + "=x",           "dst2\\" + xMirror + "=x",
                          "dst3\\" + cwdMirror + "=cwd",       "dst4\\" + cwdMirror + "=cwd"};
    EXPECT_EQ(sorted(tree), treeAt(box.root));
}

// Two lines name one backup folder, spelled two ways (through a link; on
// Windows in other letter case): it is one folder to the run, with one
// numbering of its temporary copies, and each backup holds its own file's
// bytes, though the two files have one size and time.
TEST_F(CopyPass, OneBackupFolderSpelledTwoWaysHoldsEachFilesOwnBytes) {
#ifdef _WIN32
    const std::string other = box.full("DST");
#else
    ASSERT_EQ(0, symlink("dst", box.native("dstlink").c_str()));
    const std::string other = box.full("dstlink");
#endif
    box.write("a\\one.txt", "1", T2020);
    box.write("b\\two.txt", "2", T2020);
    run(dst() + box.full("a") + "\n--Dir--" + other + "\n" + box.full("b") + "\n");
    EXPECT_EQ("<none>", error);
    EXPECT_EQ(Strings({box.mirror("a\\one.txt") + "=1", box.mirror("b\\two.txt") + "=2"}), box.tree("dst"));
}

TEST_F(CopyPass, NetworkPathGoesUnderUNC) {
    // The reader takes only paths that exist, so the entry is made by hand.
    const std::string path = "\\\\srv\\share\\..\\..\\u", dir = box.full("dst") + "\\";
    PathNode* node = (PathNode*)allocMem(sizeof *node);
    *node = {};
    node->path = copyText(path.c_str(), path.size());
    node->len = (uint32_t)path.size();
    node->checkDate = 1;
    node->pathTo = copyText(dir.c_str(), dir.size());
    node->lenTo = (uint32_t)dir.size();
    exPath = {node, node->len, node->len, 0, 1, 0};
    pass();
#ifdef _WIN32
    const std::string code = "3 (3)";  // the copy's own, never that of a query after it
#else
    const std::string code = "2 (2)";
#endif
    EXPECT_EQ(textCopyFailed + code + "\n" + textNotCopied + "\n" + path, error);  // no such server
#ifdef _WIN32
    EXPECT_EQ(box.full("dst\\UNC\\srv\\share\\u"), node->pathTo);
#else
    EXPECT_EQ(box.full("dst\\u"), node->pathTo);  // POSIX: \\srv\share is the folder /srv/share
#endif
}

// The local time stamp that names a version folder, seconds from now.
std::string stampAhead(long long seconds) {
    const time_t at = time(NULL) + (time_t)seconds;
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H-%M-%S", localtime(&at));
    return stamp;
}

// A destination that keeps versions, named by two lines in two spellings
// (365 days, then 1): each backup a run replaces with a copy of another size
// or time goes, with its bytes and time, to a folder named by the run's
// start below ~Versions, past MAX_PATH and outside Windows-1251 too; so does
// a "<-d>" file's saved again at its size within a coarse drive's 2 s step,
// but "<-d>" of an unchanged file makes none, nor one only touched within
// that step, its bytes the same. A run whose second has a folder already
// takes " (2)", writing into no other. Of the version folders older than the
// most days, each file (a link as a link: its target stays) that a later
// folder holds goes, " (2)" being later than its second's plain name, and
// each folder left empty; each file's newest version stays, by its own
// time, though a clock set wrong named its folder before an older one's.
// Younger ones (one of 10 days), a folder of another name and a file stay.
TEST_F(CopyPass, ReplacedBackupsAreKeptAsVersionsForTheDaysTheListGives) {
    const std::string deep = "src\\" + std::string(250, 'f') + "\\日本😀.txt", versions = "dst\\~Versions\\";
    const Strings rels = {"src\\a.txt", deep, "src\\d.txt", "src\\e.txt"};
    const uint64_t even = T2020 - T2020 % (2 * SECOND), eTimes[] = {even, even + SECOND, even + SECOND + SECOND / 2};
    const Strings planted = {"2000-01-01 00-00-00 not a stamp\\x.txt=x", "2000-01-01 00-00-01=a file",
                             "2099-01-01 00-00-00\\" + box.mirror("src\\young.txt") + "=young",
                             stampAhead(-10 * 86400) + "\\" + box.mirror(rels[0]) + "=ten days",
                             "2000-01-01 00-00-00 (2)\\" + box.mirror("src\\old.txt") + "=newest",
                             "2000-01-02 00-00-00\\" + box.mirror("src\\clock.txt") + "=newer, named first",
                             "2000-01-03 00-00-00\\" + box.mirror("src\\clock.txt") + "=older"};
    auto plantedTime = [](const std::string& entry) {
        return entry.find("=newer") != std::string::npos ? T2020 + 2 * SECOND
               : entry.find("=older") != std::string::npos ? T2020 : T2020 + SECOND;
    };
    for (const std::string& entry : planted)
        box.write(versions + entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1), plantedTime(entry));
    for (const char* rel : {"src\\old.txt", "src\\a.txt"})
        box.write(versions + "2000-01-01 00-00-00\\" + box.mirror(rel), "old", T2020);
    box.write("outside\\kept.txt", "kept");
#ifdef _WIN32
    const std::string other = box.full("DST");
#else
    const std::string other = box.full("dstlink");
    ASSERT_EQ(0, symlink("dst", box.native("dstlink").c_str()));
    ASSERT_EQ(0, symlink(box.native("outside").c_str(),
                         box.native(versions + "2000-01-01 00-00-00\\" + box.mirror("src\\young.txt")).c_str()));
#endif
    const std::string list = dst() + "--Versions-- 365\n" + box.full(rels[0]) + "\n" + box.full(rels[1]) + "\n--Dir--" +
                             other + "\n--Versions-- 1\n<-d>" + box.full(rels[2]) + "\n<-d>" + box.full(rels[3]) + "\n";
    auto top = [](const std::string& entry) { return entry.substr(0, entry.find_first_of("\\=")); };
    Strings tree = planted;
    for (int run = 0; run < 3; run++) {
        for (const std::string& rel : {rels[0], rels[1]}) box.write(rel, std::to_string(run), T2020 + run * SECOND);
        if (run == 0) box.write(rels[2], "d", T2020);
        box.write(rels[3], run ? "e1" : "e0", eTimes[run]);
        run == 0 ? void() : std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // a new stamp
        for (int ahead = 0; run == 1 && ahead < 4; ahead++) {  // this second's folder, and the next ones', exist
            tree.push_back(stampAhead(ahead) + "\\" + box.mirror(rels[0]) + "=planted");
            box.write(versions + tree.back().substr(0, tree.back().find('=')), "planted");
        }
        CopyPass::run(list);
        EXPECT_EQ("<none>", error);
        const Strings kept = box.tree(versions.substr(0, versions.size() - 1));
        Strings made;
        for (const std::string& entry : kept)
            if (std::none_of(tree.begin(), tree.end(), [&](const std::string& e) { return top(e) == top(entry); }) &&
                std::find(made.begin(), made.end(), top(entry)) == made.end())
                made.push_back(top(entry));
        ASSERT_EQ((size_t)(run > 0), made.size()) << testing::PrintToString(kept);
        EXPECT_TRUE(run != 1 || made[0].substr(19) == " (2)") << made[0];
        const Strings replaced = run == 0   ? Strings()
                                 : run == 1 ? Strings{rels[0], rels[1], rels[3]}
                                            : Strings{rels[0], rels[1]};
        for (const std::string& rel : replaced) {
            const bool e = rel == rels[3];
            tree.push_back(made[0] + "\\" + box.mirror(rel) + "=" + (e ? "e0" : std::to_string(run - 1)));
            EXPECT_EQ(e ? even : T2020 + (run - 1) * SECOND, box.time(versions + made[0] + "\\" + box.mirror(rel)));
        }
        EXPECT_EQ(sorted(tree), kept) << run;
        Strings folders, wanted;  // none left empty
        for (const auto& folder : fs::directory_iterator(box.native(versions)))
            folders.push_back(folder.path().filename().string());
        for (const std::string& entry : tree)
            if (std::find(wanted.begin(), wanted.end(), top(entry)) == wanted.end()) wanted.push_back(top(entry));
        EXPECT_EQ(sorted(wanted), sorted(folders)) << run;
    }
    EXPECT_EQ(Strings{"kept.txt=kept"}, box.tree("outside"));
}

}  // namespace
