// The backup list reader and the walker: what a list makes of the two
// lists of a run. Both lists are rendered as texts, checking on the way
// what every list must keep: counters equal to the sums over its nodes, and
// every node whole. The sandbox's drive folder is written '@' in lists and
// expectations, so one table serves every build.
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <algorithm>
#include <filesystem>

#include "expected_texts.h"
#include "list_intr.h"
#include "sandbox.h"

namespace {

using namespace std::string_literals;

struct ListCase {
    std::string list;
    Strings entries;   // "path mode destination"
    Strings rejected;  // the lines' texts
};

class Lists : public ::testing::Test {
protected:
    Sandbox box;
    void SetUp() override { box.mkdir("dst"); }

    // '@' to the drive folder (expand), or back.
    std::string swapAt(std::string s, bool expand) const {
        const std::string at = box.full("") + "\\", from = expand ? "@" : at, to = expand ? at : "@";
        for (size_t i = s.find(from); i != std::string::npos; i = s.find(from, i + to.size())) s.replace(i, from.size(), to);
        return s;
    }
    Strings render(const PathList& list, bool entries) const {
        Strings out;
        uint32_t count = 0, lenAll = 0;
        for (const PathNode* n = list.first; n; n = n->next, count++) {
            lenAll += n->len;
            std::string text = swapAt(n->path, false), to = n->pathTo ? n->pathTo : "";
            EXPECT_EQ(strlen(n->path), n->len) << text;
            if (entries) {
                EXPECT_TRUE(to.size() == n->lenTo && to.back() == '\\') << text;
                EXPECT_EQ(box.time(text.substr(1)), (uint64_t)n->timeFrom.dwHighDateTime << 32 | n->timeFrom.dwLowDateTime);
                EXPECT_TRUE(!n->toCopy && !n->timeTo.dwLowDateTime && !n->timeTo.dwHighDateTime) << text;
                text += " " + std::to_string(n->checkDate) + " " + swapAt(to, false);
                if (n->keepDays) text += " v" + std::to_string(n->keepDays);
            } else {
                EXPECT_EQ(nullptr, n->pathTo) << text;
            }
            out.push_back(text);
        }
        EXPECT_TRUE(count == list.count && lenAll == list.lenAll && (entries ? lenAll : 0) == list.lenCopy);
        EXPECT_TRUE(!list.lenToCopy && !list.countCopy);
        return out;
    }
    // Reads each list (its '@' expanded when expandAt); inOrder: the lists
    // must come in exactly the expected order, else in any.
    void check(const std::vector<ListCase>& cases, bool expandAt = true, bool inOrder = true) {
        for (const ListCase& c : cases) {
            box.writeList(expandAt ? swapAt(c.list, true) : c.list);
            initPaths(&exPath, &unexPath);
            EXPECT_EQ(READ_DONE, ReadPaths(&exPath, &unexPath)) << c.list;
            Strings entries = render(exPath, true), rejected = render(unexPath, false);
            freePaths(&exPath, &unexPath);
            EXPECT_EQ(inOrder ? c.entries : sorted(c.entries), inOrder ? entries : sorted(entries)) << c.list;
            EXPECT_EQ(inOrder ? c.rejected : sorted(c.rejected), inOrder ? rejected : sorted(rejected)) << c.list;
        }
    }
};

TEST_F(Lists, DestinationsSourcesMarkersAndRejectedTexts) {
    box.mkdir("dst2");
    box.write("f.txt", "f", T2020);
    box.write("src\\a.txt", "a", T2020 + 7 * TICK);
    initPaths(&exPath, &unexPath);
    EXPECT_TRUE(ReadPaths(&exPath, &unexPath) == READ_NO_LIST && !exPath.first && !unexPath.first);
    check({
        {"", {}, {}},
        {"\n\r\n\n\r\n", {}, {}},
        // Before any destination, and a lower-case marker: rejected as written.
        {"@f.txt\n \t<-d>@f.txt\r\n--dir--@dst\n--Dir--@dst\n@f.txt\n",
         {"@f.txt 1 @dst\\"}, {"@f.txt", " \t<-d>@f.txt", "--dir--@dst"}},
        // A blank destination drops the one in force; markers give the modes.
        {"--Dir--@dst\n--Dir-- \t\n@f.txt\n--Dir--<-d>@dst2\n@f.txt\n<+d>\t@f.txt\n",
         {"@f.txt 0 @dst2\\", "@f.txt 1 @dst2\\"}, {"@f.txt"}},
        // Destinations that are a file, missing, or empty after the marker.
        {"--Dir--<-d> @f.txt\n@f.txt\n--Dir--  @none \n<-d>@f.txt\n--Dir--@dst\n--Dir-- @dst <+d>\n@f.txt\n",
         {}, {"@f.txt", "@f.txt", "@none ", "<-d>@f.txt", "@f.txt"}},
        // With or without a final backslash, the same; duplicates kept; no final LF.
        {"--Dir--@dst\n@f.txt\n--Dir--@dst\\\n@src\\\n@f.txt",
         {"@f.txt 1 @dst\\", "@src\\a.txt 1 @dst\\", "@f.txt 1 @dst\\"}, {}},
        {"--Dir--@dst\n @f.txt\n@f.txt <-d>\n<-d> @Missing.txt\n<+d> <-d>@f.txt\n",
         {"@f.txt 0 @dst\\"}, {" @f.txt", "", "@Missing.txt"}},
        // A destination without a marker brings the mode back to 1; a line of
        // blanks is a path, not an empty line.
        {"--Dir--<-d>@dst2\n@f.txt\n--Dir--@dst\n@f.txt\n \t \n", {"@f.txt 0 @dst2\\", "@f.txt 1 @dst\\"}, {" \t "}},
        // "--Versions-- N" keeps versions for the destination in force, its
        // entries before the line too, and a later line replaces it; before
        // a destination, or with N missing, not a whole number, 0 or past
        // 36500, the line is rejected as written.
        {"--Versions-- 5\n--Dir--@dst\n@f.txt\n--Versions--\t7 \n@src\n--Versions--30\n--Versions-- 0\n"
         "--Versions-- 36501\n--Versions-- 1.5\n--Versions-- x\n--Versions--\n--versions-- 3\n"
         "--Dir--@dst2\n--Versions-- 36500\n@f.txt\n--Dir--@none\n--Versions-- 2\n",
         {"@f.txt 1 @dst\\ v30", "@src\\a.txt 1 @dst\\ v30", "@f.txt 1 @dst2\\ v36500"},
         {"--Versions-- 5", "--Versions-- 0", "--Versions-- 36501", "--Versions-- 1.5", "--Versions-- x", "--Versions--",
          "--versions-- 3", "@none", "--Versions-- 2"}},
        // Markers before "--Dir--" are not looked at; "<-d>" wins over "<+d>".
        {"<-d>--Dir--@dst\n@f.txt\n--Dir--<+d> <-d> @dst2\n@src\n@src\\a.txt\n",
         {"@f.txt 1 @dst\\", "@src\\a.txt 0 @dst2\\", "@src\\a.txt 0 @dst2\\"}, {}},
    });
}

// A line is one line whatever its length, a character of any length
// counting one (a Windows-1251 one too): up to what the file calls take,
// PATH_LIMIT, past which it is rejected whole, however short the path it
// names. msvcrt's text mode for everything else (CR LF is LF, NUL ends a C
// string, Ctrl-Z ends the input).
TEST_F(Lists, LongLinesAndBadBytes) {
    auto run = [](int from, int to) {
        std::string s;
        for (int b = from; b != to; b += from < to ? 1 : -1) s += (char)b;
        return s;
    };
    const std::string x(300, 'x'), high = run(254, 0x1b);
    check({
        {x + "\n" + std::string(259, 'y') + "\r\nw\n", {}, {x, std::string(259, 'y'), "w"}},
        {"a\r\nb\rc\r\r\nd\0e\nf\x1ag\n"s, {}, {"a", "b\rc\r", "d", "f"}},
        {"\0\0\n\0x\r\n\r\r\n\rabc\r"s, {}, {"\r", "\rabc\r"}},
        {run(0, 256), {}, {run(0x0b, 0x1a)}},
        {high + high + "\n", {}, {from1251(high + high)}},
        {"\xEF\xBB\xBF" + std::string(259, 'u') + "😀ж\n", {}, {std::string(259, 'u') + "😀ж"}},
    }, false);

    // A file named by a line of 300 characters; one in a folder whose path
    // is exactly 260 characters, named beside another file there.
    const std::string at300 = std::string(150, 'l') + "\\" + std::string(300 - box.full("").size() - 152, 'm');
    const std::string at260 = std::string(100, 'k') + "\\" + std::string(260 - box.full("").size() - 102, 'k');
    box.write(at300, "300", T2020);
    box.write(at260 + "\\один.txt", "1", T2020);
    box.write(at260 + "\\два.txt", "2", T2020);
    box.write("f.txt", "f", T2020);
    ASSERT_TRUE(box.full(at300).size() == 300 && box.full(at260).size() == 260);
    // Lines of PATH_LIMIT characters and one more, naming f.txt through "..".
    auto throughUp = [&](size_t length) { return "@" + std::string(length - box.full("").size() - 10, 'u') + "\\..\\f.txt"; };
    ASSERT_EQ(PATH_LIMIT, swapAt(throughUp(PATH_LIMIT), true).size());
    check({{"--Dir--@dst\n@" + at300 + "\n@" + at260 + "\\один.txt\n" + throughUp(PATH_LIMIT) + "\n" +
                throughUp(PATH_LIMIT + 1) + "\n",
            {"@" + at300 + " 1 @dst\\", "@" + at260 + "\\один.txt 1 @dst\\", "@f.txt 1 @dst\\"},
            {throughUp(PATH_LIMIT + 1)}}});
}

// Notepad's encodings (UTF-8, UTF-8 with a byte-order mark, UTF-16 LE and BE
// with one) and Windows-1251 give the same lists, in UTF-8; a mark is no
// part of the first line. Bytes that are no character come out as U+FFFD,
// and their lines are rejected, even where a file of that name exists. Invalid UTF-8 is Windows-1251, all of it.
TEST_F(Lists, ListInEveryEncoding) {
    box.write("Иван\\Документы\\план.txt", "p", T2020);
    box.write("f.txt", "f", T2020);
    box.write("cafe.txt", "e", T2020);
    box.write("café\\日本😀.txt", "j", T2020);
    const std::string bad = "\xEF\xBF\xBD";
    box.write("f" + bad + ".txt", "a file of that name is not what the list meant", T2020);
    auto at = [&](const std::string& list) { return swapAt(list, true); };
    const std::string list = at("Документы\r\n--Dir--@dst\r\n@Иван\\Документы\r\n@Иван\\Нет.txt\r\n");
    const Strings entries{"@Иван\\Документы\\план.txt 1 @dst\\"}, rejected{"Документы", "@Иван\\Нет.txt"};
    check({
        {cp1251(list), entries, rejected},
        {list, entries, rejected},
        {"\xEF\xBB\xBF" + list, entries, rejected},
        {"\xFF\xFE" + utf16le(list), entries, rejected},
        {"\xFE\xFF" + utf16be(list), entries, rejected},
        {"\xEF\xBB\xBF", {}, {}},
        {"\xFF\xFE", {}, {}},
        // A lone surrogate, then half a unit at the end.
        {"\xFF\xFE" + utf16le(at("--Dir--@dst\n@f")) + "\0\xD8"s + utf16le(at(".txt\n@f.txt\n")) + "x",
         {"@f.txt 1 @dst\\"}, {"@f" + bad + ".txt", bad}},
        {"\xFE\xFF" + utf16be(at("--Dir--@dst\n@f")) + "\xD8\0"s + utf16be(at(".txt\n@f.txt\n")) + "x",
         {"@f.txt 1 @dst\\"}, {"@f" + bad + ".txt", bad}},
        // Names beyond Windows-1251 are taken as they are; 'é' never names cafe.txt.
        {"\xFF\xFE" + utf16le(at("--Dir--@dst\n@café\\日本😀.txt\n@café\n@caf\xC3\xA9.txt\n")),
         {"@café\\日本😀.txt 1 @dst\\", "@café\\日本😀.txt 1 @dst\\"}, {"@café.txt"}},
        {"Дом\n" + cp1251("Дом\n"), {}, {from1251("Дом"), "Дом"}},
    }, false);
}

// Every file of three depths, hidden ones and dot names included ("." and
// ".." alone are skipped); an empty folder adds nothing. A folder line's
// marker or default mode goes to every file below it.
TEST_F(Lists, WalkerTakesEveryFileBelowAFolder) {
    const Strings files = {"src\\a.txt", "src\\d1\\b.txt", "src\\d1\\d2\\c.txt", "src\\d1\\d2\\e.txt",
                           "src\\d1\\z.txt", "src\\..cache\\k", "src\\.git\\g", "src\\.h"};
    for (size_t i = 0; i < files.size(); i++) box.write(files[i], files[i], T2020 + i * SECOND);
    box.mkdir("src\\d3");
#ifdef _WIN32
    SetFileAttributesA(box.native("src\\a.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
#endif
    Strings entries;
    for (const std::string& f : files) entries.push_back("@" + f + " 1 @dst\\");
    for (size_t i = 1; i < 5; i++) entries.push_back("@" + files[i] + " 0 @dst\\");
    check({{"--Dir--@dst\n@src\n@src\\d3\n--Dir--<-d>@dst\\\n@src\\d1\\\n", entries, {}}}, true, false);
}

// Every name is taken, whatever its characters, and every path, however
// long: past MAX_PATH, and natively up to PATH_MAX. What no file call can
// take is listed instead: natively a folder whose "/*.*" would pass
// PATH_MAX, and a name holding '?', which the shell's copy would take for a
// wildcard.
TEST_F(Lists, WalkerTakesEveryNameAndLengthAndListsWhatNoCallCanTake) {
    const Strings names = {"café.pdf", "Straße.doc", "日本\\Ελλάδα.jpg", "😀.txt", "Иван.txt"};
    Strings entries;
    for (const std::string& name : names) {
        box.write("src\\" + name, name, T2020);
        entries.push_back("@src\\" + name + " 1 @dst\\");
    }
    // Paths of 300 and of about 1,000 characters.
    const std::string deep = "src\\" + std::string(200, 'd') + "\\" + std::string(200, 'e') + "\\" + std::string(200, 'f');
    const std::string path300 = "src\\" + std::string(150, 'l') + "\\" + std::string(300 - box.full("src\\").size() - 151, 'm');
    ASSERT_EQ(300u, box.full(path300).size());
    for (const std::string& rel : {path300, deep + "\\" + std::string(150, 'g') + "\\" + std::string(150, 'h')}) {
        box.write(rel, "long", T2020);
        entries.push_back("@" + rel + " 1 @dst\\");
    }
    Strings rejected;
#ifndef _WIN32
    box.write("src\\a?b.txt", "?");
    rejected.push_back("@src\\a?b.txt");
    // Natively the limit is PATH_MAX: a path of PATH_MAX - 1 bytes is the longest.
    std::string far = deep;
    for (size_t target = PATH_MAX - 1 - 1 - 200; box.full(far).size() < target;)
        far += "\\" + std::string(std::min<size_t>(250, target - box.full(far).size() - 1), 'p');
    const size_t room = PATH_MAX - 1 - box.full(far).size() - 1;  // a name that ends a path of PATH_MAX - 1
    ASSERT_EQ(200u, room);
    for (size_t n : {room - 1, room}) {
        box.write(far + "\\" + std::string(n, 'f'), "f", T2020);
        entries.push_back("@" + far + "\\" + std::string(n, 'f') + " 1 @dst\\");
    }
    for (size_t n : {room - 4, room - 3}) {  // folders whose "/*.*" makes PATH_MAX - 1, and one more
        box.write(far + "\\" + std::string(n, 'D') + "\\x", "x", T2020);
        if (n == room - 4) entries.push_back("@" + far + "\\" + std::string(n, 'D') + "\\x 1 @dst\\");
    }
    rejected.push_back("@" + far + "\\" + std::string(room - 3, 'D'));
#endif
    check({{"--Dir--@dst\n@src\n", entries, rejected}}, true, false);
}

#ifndef _WIN32
// A root's names are joined to it by one separator, "/x", never "//x". What
// "/" lists is the sandbox's folder here, so that the walk meets one file,
// not the machine's.
TEST_F(Lists, WalkerJoinsARootsNamesWithOneSeparator) {
    box.write("top\\f.txt", "f", T2020);
    FindRecord found;
    const HANDLE listing = findFirstFile(box.full("top\\*.*").c_str(), &found);
    PathNode *last = NULL, *lastRejected = NULL;
    initPaths(&exPath, &unexPath);
    EXPECT_TRUE(findFAdd("/", listing, &found, &exPath, &last, "C:\\dst\\", 7, 1, &unexPath, &lastRejected));
    FindClose(listing);
    EXPECT_EQ("/f.txt", std::string(exPath.first ? exPath.first->path : "none"));
    freePaths(&exPath, &unexPath);
}
#endif

// A folder whose listing failed is named, unless it is merely empty (2, 18)
// or denied (5) while it carries all three marks of a profile's junction.
TEST(Unlistable, OnlyAProfilesJunctionDeniedIsSkipped) {
    const DWORD d = FILE_ATTRIBUTE_DIRECTORY, r = FILE_ATTRIBUTE_REPARSE_POINT, h = FILE_ATTRIBUTE_HIDDEN,
                s = FILE_ATTRIBUTE_SYSTEM, junction = d | r | h | s;
    const struct {
        DWORD attributes, error;
        bool named;
    } cases[] = {
        {junction, 5, false}, {junction | FILE_ATTRIBUTE_READONLY, 5, false}, {d | h | s, 5, true},
        {d | r | s, 5, true}, {d | r | h, 5, true}, {d | r, 5, true}, {d, 5, true}, {junction, 3, true},
        {junction, 32, true}, {d, 1627, true}, {d, 2, false}, {d, 18, false}, {junction, 18, false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.named, unlistable(c.attributes, c.error)) << c.attributes << " " << c.error;
}

// A source holding the destination is walked without it; a source line that
// names the destination, or anything inside it, however written (case, "..",
// a link to it), is rejected: its backups would back up themselves. A link
// back up the tree ends the walk there; other links are walked.
TEST_F(Lists, WalkerNeverLoopsNorWalksTheDestination) {
    for (const char* f : {"src\\a.txt", "src\\d\\b.txt", "src\\bk\\old.txt", "src\\bk\\in\\i.txt", "other\\o.txt"})
        box.write(f, f, T2020);
    std::string list = "--Dir--@src\\bk\n@src\n@src\\bk\n@src\\bk\\in\n@src\\bk\\old.txt\n@src\\d\\..\\bk\\\n";
    Strings entries = {"@src\\a.txt 1 @src\\bk\\", "@src\\d\\b.txt 1 @src\\bk\\"},
            rejected = {"@src\\bk", "@src\\bk\\in", "@src\\bk\\old.txt", "@src\\d\\..\\bk\\"};
#ifdef _WIN32
    list += "@SRC\\BK\\IN\n";
    rejected.push_back("@SRC\\BK\\IN");
#else
    // Links come from the POSIX side alone: Wine shows them as what they lead to.
    std::filesystem::create_directory_symlink("..", box.native("src\\d\\up"));
    std::filesystem::create_directory_symlink("../other", box.native("src\\ext"));
    std::filesystem::create_directory_symlink("bk", box.native("src\\lnk"));
    list += "@src\\lnk\\in\n";
    rejected.push_back("@src\\lnk\\in");
    entries.push_back("@src\\ext\\o.txt 1 @src\\bk\\");
#endif
    check({{list, entries, rejected}}, true, false);
}

}  // namespace
