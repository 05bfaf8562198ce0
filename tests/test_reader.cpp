#include "expected_texts.h"
#include "lists_check.h"

namespace {

using namespace std::string_literals;

struct ReaderCase {
    std::string list;  // '@' is the sandbox's drive folder
    Strings entries;
    Strings rejected;
};

// Folders dst and dst2, files f.txt and src\a.txt; nothing named Missing.
class Reader : public ::testing::Test {
protected:
    Sandbox box;
    void SetUp() override {
        box.mkdir("dst");
        box.mkdir("dst2");
        box.write("f.txt", "f", T2020);
        box.write("src\\a.txt", "a", T2020 + 7 * TICK);
    }
    void check(const std::vector<ReaderCase>& cases, bool expandAt, int result = READ_DONE) {
        for (const ReaderCase& c : cases) {
            box.writeList(expandAt ? swapAt(box, c.list, true) : c.list);
            ReadLists r = readLists(box);
            EXPECT_EQ(result, r.result) << c.list;
            EXPECT_EQ(c.entries, r.entries) << c.list;
            EXPECT_EQ(c.rejected, r.rejected) << c.list;
        }
    }
};

TEST_F(Reader, DestinationsSourcesMarkersAndRejectedTexts) {
    ReadLists none = readLists(box);
    EXPECT_TRUE(none.result == READ_NO_LIST && none.entries.empty() && none.rejected.empty());
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
        {"--Dir--<-d>@dst2\n@f.txt\n--Dir--@dst\n@f.txt\n \t \n",
         {"@f.txt 0 @dst2\\", "@f.txt 1 @dst\\"}, {" \t "}},
        // Markers before "--Dir--" are not looked at; "<-d>" wins over "<+d>".
        {"<-d>--Dir--@dst\n@f.txt\n--Dir--<+d> <-d> @dst2\n@src\n@src\\a.txt\n",
         {"@f.txt 1 @dst\\", "@src\\a.txt 0 @dst2\\", "@src\\a.txt 0 @dst2\\"}, {}},
    }, true);
}

// 260-character pieces, cut after CR LF became LF; msvcrt's text mode for
// everything else (NUL ends a C string, Ctrl-Z ends the input).
TEST_F(Reader, LongLinesAndBadBytes) {
    auto run = [](int from, int to) {
        std::string s;
        for (int b = from; b != to; b += from < to ? 1 : -1) s += (char)b;
        return s;
    };
    // Natively a Windows-1251 list grows into UTF-8 before it is cut.
    auto pieces = [](const std::string& s) {
        Strings out;
        for (size_t at = 0; at < s.size(); at += 260) out.push_back(s.substr(at, 260));
        return out;
    };
    const std::string x(260, 'x'), y(259, 'y'), z(260, 'z');
    check({
        {x + std::string(40, 'x') + "\n" + y + "\r\n" + z + "\r\nw\n", {}, {x, std::string(40, 'x'), y, z, "w"}},
        {std::string(1000, 'q'), {}, {std::string(260, 'q'), std::string(260, 'q'), std::string(260, 'q'),
                                      std::string(220, 'q')}},
        {"a\r\nb\rc\r\r\nd\0e\nf\x1ag\n"s, {}, {"a", "b\rc\r", "d", "f"}},
        {"\0\0\n\0x\r\n\r\r\n\rabc\r"s, {}, {"\r", "\rabc\r"}},
        {run(0, 256), {}, {run(0x0b, 0x1a)}},
        {run(254, -1), {}, pieces(programTextOf1251(run(254, 0x1a)))},
    }, false);
}

// Notepad's encodings (UTF-8, UTF-8 with a byte-order mark, UTF-16 LE with
// one) and Windows-1251 give the same lists, in the program's code page; a
// mark is no part of the first line. Bytes that are no character, and
// characters the code page lacks, come out as '?' (natively U+FFFD), and
// their lines are rejected. Invalid UTF-8 is Windows-1251, all of it.
TEST_F(Reader, ListInEveryEncoding) {
    box.write(programText("Иван\\Документы\\план.txt"), "p", T2020);
    box.write("cafe.txt", "e", T2020);
    const bool utf8 = programText("я").size() == 2;
    const std::string bad = utf8 ? "\xEF\xBF\xBD" : "?", e = utf8 ? "é" : "?";
    auto at = [&](const std::string& list) { return swapAt(box, list, true); };
    const std::string list = at("Документы\r\n--Dir--@dst\r\n@Иван\\Документы\r\n@Иван\\Нет.txt\r\n");
    const Strings entries{programText("@Иван\\Документы\\план.txt 1 @dst\\")},
        rejected{programText("Документы"), programText("@Иван\\Нет.txt")};
    check({
        {cp1251(list), entries, rejected},
        {list, entries, rejected},
        {"\xEF\xBB\xBF" + list, entries, rejected},
        {"\xFF\xFE" + utf16le(list), entries, rejected},
        {"\xEF\xBB\xBF", {}, {}},
        {"\xFF\xFE", {}, {}},
        // A lone surrogate, then half a unit at the end.
        {"\xFF\xFE" + utf16le(at("--Dir--@dst\n@f")) + "\0\xD8"s + utf16le(at(".txt\n@f.txt\n")) + "x",
         {"@f.txt 1 @dst\\"}, {"@f" + bad + ".txt", bad}},
        // No best fit: 'é' never names cafe.txt.
        {at("--Dir--@dst\n@caf\xC3\xA9.txt\n"), {}, {"@caf" + e + ".txt"}},
        {"Дом\n" + cp1251("Дом\n"), {}, {programTextOf1251("Дом"), programTextOf1251(cp1251("Дом"))}},
    }, false);
}

// Windows counts a device name ("NUL") as an existing path, but gives it no
// attributes. The POSIX stand-in answers both questions with one stat(), so
// it has no such path: nothing there can fail between them.
TEST_F(Reader, AttributeFailureStopsAtThatLine) {
#ifndef _WIN32
    GTEST_SKIP() << "no path exists without attributes on POSIX";
#endif
    check({
        {"--Dir--@dst\n@f.txt\n@src\\NUL\n@f.txt\n@none\n", {"@f.txt 1 @dst\\"}, {}},
        {"@f.txt\n--Dir--<-d> @NUL\n@f.txt\n", {}, {"@f.txt"}},
    }, true, READ_NO_ATTRIBUTES);
}

}  // namespace
