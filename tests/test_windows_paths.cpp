// The forms the Windows programs hand their file calls. Wine takes plain
// paths of any length where Windows refuses those past MAX_PATH, so no run
// under Wine would notice a "\\?\" missing: the forms are checked here.
#include <gtest/gtest.h>

#include <string>

#include "file_calls.h"
#include "sandbox.h"

namespace {

std::string utf8Of(const WCHAR* wide) {
    char text[3 * 32768];
    return std::string(text, (size_t)WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, NULL, NULL) - 1);
}

// The wide form of a path, in UTF-8 for the comparison; "<none>" when it has none.
std::string formOf(const std::string& path, bool plain, size_t room = 32768) {
    static WCHAR out[32768];
    return widePath(path.c_str(), out, room, plain) ? utf8Of(out) : "<none>";
}

TEST(WindowsPaths, EveryPathIsFullAndExtendedUnlessPlain) {
    WCHAR cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    const std::string here = utf8Of(cwd), name(300, 'n');
    const struct {
        std::string path, extended, plain;
    } forms[] = {
        {"C:\\Work\\a.txt", "\\\\?\\C:\\Work\\a.txt", "C:\\Work\\a.txt"},
        {"C:\\Жёлтый\\日本😀\\x.", "\\\\?\\C:\\Жёлтый\\日本😀\\x.", "C:\\Жёлтый\\日本😀\\x."},  // the dot kept
        {"C:/Work/a b ", "\\\\?\\C:\\Work\\a b ", "C:\\Work\\a b "},
        {"\\\\server\\share\\a.txt", "\\\\?\\UNC\\server\\share\\a.txt", "\\\\server\\share\\a.txt"},
        {"\\\\?\\C:\\x\\..\\y", "\\\\?\\C:\\x\\..\\y", "\\\\?\\C:\\x\\..\\y"},  // already extended: as it is
        {"\\\\?\\UNC\\s\\t\\u", "\\\\?\\UNC\\s\\t\\u", "\\\\?\\UNC\\s\\t\\u"},
        {"sub\\..\\rel.txt", "\\\\?\\" + here + "\\rel.txt", here + "\\rel.txt"},  // made full first
        {"C:\\" + name + "\\" + name, "\\\\?\\C:\\" + name + "\\" + name, "C:\\" + name + "\\" + name},
        {"C:\\bad\xC3", "<none>", "<none>"},  // no UTF-8
    };
    for (const auto& f : forms) {
        EXPECT_EQ(f.extended, formOf(f.path, false)) << f.path;
        EXPECT_EQ(f.plain, formOf(f.path, true)) << f.path;
    }
    EXPECT_EQ("<none>", formOf("C:\\Work\\a.txt", false, 17));  // "\\?\C:\Work\a.txt" and its NUL need 18
    EXPECT_EQ("\\\\?\\C:\\Work\\a.txt", formOf("C:\\Work\\a.txt", false, 18));
}

// The shell's batch takes a plain path under MAX_PATH UTF-16 units, a
// destination's folder under 248, and no name that the plain form reads as
// another file.
TEST(WindowsPaths, TheShellTakesWhatItsPlainFormNamesRightly) {
    auto path = [](size_t units, const std::string& name = "f") {  // "😀" is 2 units
        return "C:\\😀" + std::string(units - 6 - name.size(), 'd') + "\\" + name;
    };
    const struct {
        std::string path;
        bool source, destination;
    } cases[] = {
        {path(259), true, false},  // its folder is 257
        {path(259, std::string(12, 'n')), true, true},
        {path(260, std::string(12, 'n')), false, false},
        {path(260, std::string(13, 'n')), false, false},
        {path(247 + 1 + 5, "fffff"), true, true},
        {path(248 + 1 + 5, "fffff"), true, false},
        {"\\\\server\\share\\a.txt", true, true},
        {"C:\\a.\\b", false, false},
        {"C:\\a\\b ", false, false},
        {"C:\\a\\nul.txt", false, false},
        {"C:\\a\\Com7", false, false},
        {"C:\\a\\lpt1.log", false, false},
        {"C:\\a\\console\\com0\\lpt10\\nul2\\aux.x.y", false, false},
        {"C:\\a\\console\\com0\\lpt10\\nul2\\auxx", true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.source, shellTakes(c.path.c_str(), false)) << c.path;
        EXPECT_EQ(c.destination, shellTakes(c.path.c_str(), true)) << c.path;
    }
}

}  // namespace
