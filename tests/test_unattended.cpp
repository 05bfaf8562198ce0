// The real program started as a child process in a sandbox, the way a
// scheduler runs it: its exit code, its log file and the copied tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "expected_texts.h"
#include "list_intr.h"
#include "sandbox.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <stdlib.h>
#include <sys/wait.h>
#endif

namespace {

const int KILLED = -1;

std::string programPath() {
    std::string path = QV_PROGRAM;
#ifdef _WIN32
    // Built on the Unix side; Wine sees the Unix root as drive Z:.
    if (path[0] == '/') path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
#endif
    return path;
}

// Runs the program in the current directory with a command line (after the
// program's name) and returns its exit code, or KILLED when it still ran
// after waitMs. On POSIX *errors receives what it wrote to standard error.
int runProgram(const std::string& args, std::string* errors = nullptr, unsigned waitMs = 60000) {
#ifdef _WIN32
    (void)errors;
    PROCESS_INFORMATION process;
    if (!startProcess("\"" + programPath() + "\" " + args, &process)) return -2;
    return finishProcess(&process, waitMs);
#else
    (void)waitMs;
    const int status = system(("'" + programPath() + "' " + args + " 2>stderr.txt").c_str());
    std::stringstream text;
    text << std::ifstream("stderr.txt", std::ios::binary).rdbuf();
    if (errors) *errors = text.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : KILLED;
#endif
}

class Unattended : public ::testing::Test {
protected:
    Sandbox sb;

    // Two files to back up below src, an empty destination dst, and the
    // tree that a backup of them leaves in dst.
    std::string laySources() {
        sb.write("src\\a.txt", "alpha", T2020);
        sb.write("src\\sub\\b.txt", "beta\r\n", T2020 + SECOND);
        sb.mkdir("dst");
        return "--Dir--" + sb.full("dst") + "\r\n" + sb.full("src") + "\r\n";
    }
    void expectCopied() {
        std::vector<std::string> copied{sb.mirror("src\\a.txt") + "=alpha", sb.mirror("src\\sub\\b.txt") + "=beta\r\n"};
        EXPECT_EQ(sb.tree("dst"), copied);
        EXPECT_EQ(sb.time("dst\\" + sb.mirror("src\\a.txt")), T2020);
        EXPECT_EQ(sb.time("dst\\" + sb.mirror("src\\sub\\b.txt")), T2020 + SECOND);
    }
};

// Runs that make no backup end with exit code 2, and the log says why.
TEST_F(Unattended, RunsThatMakeNoBackup) {
    struct {
        const char* list;  // NULL: there is none
        std::string log;
    } cases[] = {
        {NULL, textNoList},  // the bare message, no line end
        {"", textNothingToCopy},
        // Source lines before any destination are rejected as written;
        // every line end in the log is CR LF, whatever the list used.
        {"C:\\nowhere\\a.txt\r\n <-d>x\n", textRejectedHeader + "\r\nC:\\nowhere\\a.txt\r\n <-d>x\r\n" + textNothingToCopy},
#ifdef _WIN32
        // A device name exists, but has no attributes: the reading stops there.
        {"--Dir--C:\\\r\nNUL\r\nC:\\nowhere\r\n", textNoAttributes},
#endif
    };
    for (const auto& c : cases) {
        std::filesystem::remove("Quarnelvistro.txt");
        if (c.list) sb.writeList(c.list);
        EXPECT_EQ(runProgram("-w"), 2) << c.list;
        EXPECT_EQ(sb.log(), c.log);
    }
}

// Runs that back up everything: the switch anywhere, even inside a word,
// and an empty log with exit code 0; a rejected line besides: exit code 1.
TEST_F(Unattended, RunsThatBackUp) {
    const struct {
        const char* args;
        bool rejected;
    } cases[] = {{"-w", false}, {"x-wy", false}, {"one -w two", false}, {"-w-w", true}};
    for (const auto& c : cases) {
        std::filesystem::remove_all(sb.native("dst"));
        sb.writeList(laySources() + (c.rejected ? sb.full("gone.txt") + "\r\n" : ""));
        EXPECT_EQ(runProgram(c.args), c.rejected ? 1 : 0) << c.args;
        EXPECT_EQ(sb.log(), c.rejected ? textRejectedHeader + "\r\n" + sb.full("gone.txt") + "\r\n" : "") << c.args;
        expectCopied();
    }
}

// A file stands where the folder of sub\b.txt goes: the shell's error, then
// the file not copied, after a line end; the rest is copied. The next run,
// the cause gone, copies what was left and leaves an empty log.
TEST_F(Unattended, AFileNotCopiedIsNamedAndTheNextRunCopiesIt) {
    sb.writeList(laySources());
    const std::string obstacle = "dst\\" + sb.mirror("src\\sub");
    sb.write(obstacle, "in the way");
#ifdef _WIN32
    const std::string code = "1223 (4c7)";
#else
    const std::string code = "65536 (10000)";
#endif
    EXPECT_EQ(runProgram("-w"), 1);
    EXPECT_EQ(sb.log(), "\r\n" + textCopyFailed + code + "\r\n" + textNotCopied + "\r\n" + sb.full("src\\sub\\b.txt"));
    EXPECT_EQ(sb.tree("dst"), std::vector<std::string>({sb.mirror("src\\a.txt") + "=alpha", sb.mirror("src\\sub") + "=in the way"}));
    std::filesystem::remove(sb.native(obstacle));
    EXPECT_EQ(runProgram("-w"), 0);
    EXPECT_EQ(sb.log(), "");
    expectCopied();
}

// A list naming a Cyrillic folder backs it up in whichever encoding it was
// saved, and the log is in the program's code page throughout: natively
// UTF-8, the header and the rejected line alike.
TEST_F(Unattended, ListInEveryEncodingBacksUpCyrillicFolders) {
    sb.write(programText("src\\Иван\\Документы\\план.txt"), "plan", T2020);
    sb.mkdir("dst");
    const std::string list = "--Dir--" + sb.full("dst") + "\r\n" + sb.full("src\\Иван") + "\r\n" + sb.full("Нет") + "\r\n";
    for (const std::string& saved :
         {cp1251(list), list, "\xEF\xBB\xBF" + list, "\xFF\xFE" + utf16le(list)}) {
        std::filesystem::remove_all(sb.native("dst\\" + sb.mirror("src")));
        sb.writeList(saved);
        EXPECT_EQ(runProgram("-w"), 1);  // "Нет" is rejected
        EXPECT_EQ(sb.log(), textRejectedHeader + "\r\n" + programText(sb.full("Нет")) + "\r\n") << saved;
        EXPECT_EQ(sb.tree("dst"), std::vector<std::string>{programText(sb.mirror("src\\Иван\\Документы\\план.txt")) + "=plan"});
    }
}

// "-W" is no unattended switch: no log, no copy. On Windows the window opens
// (or, without a display, fails to) and is ended after a while.
TEST_F(Unattended, CapitalSwitchIsNoUnattendedRun) {
    sb.writeList(laySources());
    std::string errors;
    int code = runProgram("-W", &errors, 3000);
#ifdef _WIN32
    EXPECT_TRUE(code == 0 || code == KILLED) << code;
#else
    EXPECT_EQ(code, 2);
    const std::string program = programPath();
    EXPECT_EQ(errors, program + ": the window needs Windows.\nRun \"" + program +
                          " -w\" for an unattended backup: it reads Quarnelvistro.txt in the\n"
                          "current directory and reports in QuarnelvistroLOG.txt there.\n");
#endif
    EXPECT_EQ(sb.log(), "<none>");
    EXPECT_EQ(sb.tree("dst"), std::vector<std::string>{});
}

#ifndef _WIN32
// On Windows this failure shows a message box, which would wait for a person
// (the window test presses it). It comes after the run, whose outcome is the
// exit code.
TEST_F(Unattended, UnopenableLogStillBacksUp) {
    sb.writeList(laySources());
    std::filesystem::create_directory("QuarnelvistroLOG.txt");
    std::string errors;
    EXPECT_EQ(runProgram("-w", &errors), 0);
    EXPECT_EQ(errors, "Err: Error of opening of QuarnelvistroLOG.txt file.\n");
    expectCopied();
}
#else
// The x86 program on 64-bit Windows backs up the real System32, as the
// x86-64 program does, not the 32-bit twins the system shows it there.
TEST_F(Unattended, BothProgramsBackUpTheRealSystem32) {
    namespace fs = std::filesystem;
    char windows[MAX_PATH];
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    const std::string name = "qv-" + std::to_string(GetCurrentProcessId()), named = windows + ("\\System32\\" + name);
    const std::string real = windows + std::string(wow64 ? "\\Sysnative\\" : "\\System32\\") + name,
                      twin = windows + ("\\SysWOW64\\" + name);
    struct Remove {
        std::vector<std::string> dirs;
        ~Remove() {
            for (const auto& d : dirs) fs::remove_all(d);
        }
    } removeLater{{real, twin}};
    fs::create_directory(real);
    fs::create_directory(twin);
    std::ofstream(real + "\\same.txt") << "64-bit";
    std::ofstream(real + "\\only.txt") << "only in System32";
    std::ofstream(twin + "\\same.txt") << "32-bit";
    std::ofstream(twin + "\\twin.txt") << "only in SysWOW64";
    sb.mkdir("dst");
    sb.writeList("--Dir--" + sb.full("dst") + "\r\n" + named + "\r\n" + named + "\\same.txt\r\n");
    EXPECT_EQ(runProgram("-w"), 0);
    EXPECT_EQ(sb.log(), "");
    const std::string mirror = named.substr(0, 1) + named.substr(2);
    EXPECT_EQ(sb.tree("dst"), std::vector<std::string>({mirror + "\\only.txt=only in System32", mirror + "\\same.txt=64-bit"}));

    // The System32 folder itself: walked as the real one, under its own name.
    sb.writeList("--Dir--" + sb.full("dst") + "\r\n" + windows + "\\System32\r\n");
    initPaths(&exPath, &unexPath);
    EXPECT_EQ(READ_DONE, ReadPaths(&exPath, &unexPath));
    int found = 0;
    for (const PathNode* node = exPath.first; node; node = node->next)
        found += (named + "\\only.txt" == node->path) + 2 * (named + "\\twin.txt" == node->path);
    freePaths(&exPath, &unexPath);
    EXPECT_EQ(1, found);
}
#endif

}  // namespace
