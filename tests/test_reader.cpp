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
    const std::string x(260, 'x'), y(259, 'y'), z(260, 'z');
    check({
        {x + std::string(40, 'x') + "\n" + y + "\r\n" + z + "\r\nw\n", {}, {x, std::string(40, 'x'), y, z, "w"}},
        {std::string(1000, 'q'), {}, {std::string(260, 'q'), std::string(260, 'q'), std::string(260, 'q'),
                                      std::string(220, 'q')}},
        {"a\r\nb\rc\r\r\nd\0e\nf\x1ag\n"s, {}, {"a", "b\rc\r", "d", "f"}},
        {"\0\0\n\0x\r\n\r\r\n\rabc\r"s, {}, {"\r", "\rabc\r"}},
        {run(0, 256), {}, {run(0x0b, 0x1a)}},
        {run(255, -1), {}, {run(255, 0x1a)}},
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
