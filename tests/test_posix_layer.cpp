// The POSIX stand-in behaves as the engine expects of Windows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "expected_texts.h"
#include "sandbox.h"
#include "winapi_posix.h"

namespace {

using namespace std::string_literals;
using Names = std::vector<std::string>;
using Wide = std::vector<WCHAR>;

uint64_t ticks(const FILETIME& t) { return (uint64_t)t.dwHighDateTime << 32 | t.dwLowDateTime; }

std::string readAll(const char* mode) {
    FILE* f = fopen("t.txt", mode);
    std::string s;
    for (int c; f && (c = getc(f)) != EOF;) s += (char)c;
    if (f) fclose(f);
    return s;
}

// msvcrt's text mode: CR LF reads as LF, Ctrl-Z ends the input, LF writes
// as CR LF; 'b' leaves the bytes alone.
TEST(PosixLayer, TextMode) {
    Sandbox box;
    const std::string bytes = "a\r\nb\rc\r\r\nd\0e\nf\r\x1ag\r\n"s;
    box.writeList(bytes);
    rename("Quarnelvistro.txt", "t.txt");
    EXPECT_EQ("a\nb\rc\r\nd\0e\nf\r"s, readAll("r"));
    EXPECT_EQ(readAll("r"), readAll("rt"));
    EXPECT_EQ(bytes, readAll("rb"));
    for (const char* mode : {"w", "wb"}) {
        FILE* f = fopen("t.txt", mode);
        fputs("a\nb\r\n\n", f);
        fclose(f);
        EXPECT_EQ(mode[1] ? "a\nb\r\n\n" : "a\r\nb\r\r\n\r\n", readAll("rb")) << mode;
    }
}

// "." and ".." open an enumeration of all names, as a folder (not a drive's
// root) does on Windows; a link is listed as what it leads to. Times are
// 100 ns ticks since 1601, both sides of 1970.
TEST(PosixLayer, EnumerationAndTimes) {
    Sandbox box;
    box.write("d\\sub\\y", "y");
    ASSERT_EQ(0, symlink("sub", box.native("d\\lnk").c_str()));
    const uint64_t unixEpoch = 116444736000000000ULL;
    for (uint64_t t : {T2020, unixEpoch, unixEpoch - TICK, unixEpoch - 86400 * SECOND + 3 * TICK}) {
        box.write("d\\x.txt", "x", t);
        for (const char* pattern : {"C:\\d\\*.*", "C:/d/*"}) {
            WIN32_FIND_DATAA fd;
            HANDLE h = FindFirstFileA(pattern, &fd);
            ASSERT_NE(INVALID_HANDLE_VALUE, h);
            Names names;
            do {
                names.push_back(fd.cFileName + " "s + std::to_string(fd.dwFileAttributes));
                if (names.back() == "x.txt 32") {
                    EXPECT_EQ(t, ticks(fd.ftLastWriteTime));
                }
            } while (FindNextFileA(h, &fd));
            EXPECT_FALSE(FindNextFileA(h, &fd));
            EXPECT_TRUE(FindClose(h));
            EXPECT_EQ((Names{". 16", ".. 16"}), Names(names.begin(), names.begin() + 2));
            EXPECT_EQ((std::set<std::string>{"lnk 1040", "sub 16", "x.txt 32"}),
                      std::set<std::string>(names.begin() + 2, names.end()));
        }
        WIN32_FILE_ATTRIBUTE_DATA a;
        ASSERT_TRUE(GetFileAttributesExA("C:\\d\\x.txt", GetFileExInfoStandard, &a));
        EXPECT_EQ(t, ticks(a.ftLastWriteTime));
    }
    WIN32_FIND_DATAA fd;
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA("C:\\none\\*.*", &fd));
    EXPECT_EQ(INVALID_HANDLE_VALUE, FindFirstFileA("C:\\d\\*.none", &fd));
}

TEST(PosixLayer, FullPathNames) {
    Sandbox box;
    const std::string cases[][2] = {
        {"C:\\a\\..\\b", "C:\\b"},   {"C:\\a\\.\\b\\", "C:\\a\\b\\"}, {"C:\\..\\..\\x", "C:\\x"},
        {"C:", "C:\\"},              {"c:/a//b", "c:\\a\\b"},         {"/x/./y/../z", "/x/z"},
        {"d\\e", box.root + "/d/e"}, {"..", box.root.substr(0, box.root.rfind('/'))},
    };
    for (const auto& c : cases) {
        char out[4096];
        char* part = NULL;
        EXPECT_EQ(c[1].size(), GetFullPathNameA(c[0].c_str(), sizeof out, out, &part)) << c[0];
        EXPECT_EQ(c[1], out);
        const size_t cut = c[1].find_last_of("\\/");
        EXPECT_EQ(cut + 1 < c[1].size() ? c[1].substr(cut + 1) : "", part ? part : "") << c[0];
        out[0] = '#';  // too small: the size needed, and nothing written
        EXPECT_TRUE(GetFullPathNameA(c[0].c_str(), (DWORD)c[1].size(), out, NULL) == c[1].size() + 1 && *out == '#');
    }
}

Wide toWide(UINT page, const std::string& bytes, DWORD flags = 0) {
    Wide w((size_t)MultiByteToWideChar(page, flags, bytes.data(), (int)bytes.size(), NULL, 0));
    if (!w.empty()) MultiByteToWideChar(page, flags, bytes.data(), (int)bytes.size(), w.data(), (int)w.size());
    return w;
}

std::string toBytes(UINT page, const Wide& w, const char* defaultChar = NULL, BOOL* used = NULL) {
    std::string s((size_t)WideCharToMultiByte(page, 0, w.data(), (int)w.size(), NULL, 0, defaultChar, used), 0);
    WideCharToMultiByte(page, 0, w.data(), (int)w.size(), &s[0], (int)s.size(), defaultChar, used);
    return s;
}

// Windows-1251 both ways, against the tests' own table; UTF-8 strictly, one
// U+FFFD for each maximal invalid part; a lone surrogate is U+FFFD in UTF-8
// and the default character in 1251; Windows' rules for sizes and arguments.
TEST(PosixLayer, CodePages) {
    EXPECT_EQ((UINT)CP_UTF8, GetACP());
    for (int b = 1; b < 256; b++) {
        const std::string byte(1, (char)b);
        const Wide w = toWide(1251, byte, MB_ERR_INVALID_CHARS);
        EXPECT_EQ(from1251(byte), toBytes(CP_UTF8, w)) << b;
        EXPECT_EQ(w, toWide(CP_ACP, from1251(byte), MB_ERR_INVALID_CHARS)) << b;
        EXPECT_EQ(byte, toBytes(1251, w)) << b;
    }
    const struct {
        std::string utf8;
        Wide wide;
    } utf8Cases[] = {
        {"a\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80", {'a', 0x416, 0x20AC, 0xD83D, 0xDE00}},
        {"\xC0\x80\xE0\x9F\xBF", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},  // overlong
        {"\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},                          // a surrogate
        {"\xE2\x82x\xF0\x9F\x98", {0xFFFD, 'x', 0xFFFD}},                    // cut short
        {"\xF4\x90\x80\x80\xFF", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},    // past U+10FFFF
    };
    for (const auto& c : utf8Cases) {
        EXPECT_EQ(c.wide, toWide(CP_UTF8, c.utf8)) << c.utf8;
        EXPECT_EQ(&c == utf8Cases, !toWide(CP_UTF8, c.utf8, MB_ERR_INVALID_CHARS).empty()) << c.utf8;
    }
    EXPECT_EQ(utf8Cases[0].utf8, toBytes(CP_ACP, utf8Cases[0].wide));
    const Wide lone{'x', 0xDC00, 'y', 0xD800};
    BOOL used = FALSE;
    EXPECT_EQ("x\xEF\xBF\xBDy\xEF\xBF\xBD", toBytes(CP_UTF8, lone));
    EXPECT_EQ("x#y#", toBytes(1251, lone, "#", &used));
    EXPECT_TRUE(used);
    EXPECT_EQ("x?y?", toBytes(1251, lone, NULL, &used));
    EXPECT_EQ("xy", toBytes(1251, {'x', 'y'}, NULL, &used));
    EXPECT_FALSE(used);

    WCHAR w[3];
    char c[3];
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, NULL, 0));  // with its NUL
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, w, 2));      // no room
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 0, w, 3));
    EXPECT_EQ(0, MultiByteToWideChar(1252, 0, "abc", 3, w, 3));         // a code page not offered
    EXPECT_EQ(3, WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, lone.data(), 3, c, 3, NULL, NULL));
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, lone.data(), 1, c, 3, NULL, NULL));
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, lone.data(), 1, c, 3, "#", NULL));
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, lone.data(), 2, c, 3, NULL, NULL));  // no room
}

}  // namespace
