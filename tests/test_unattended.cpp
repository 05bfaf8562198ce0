// The real program started as a child process in a sandbox, the way a
// scheduler runs it: its exit code, its log file and the copied tree.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "expected_texts.h"
#include "list_intr.h"
#include "sandbox.h"

namespace {

namespace fs = std::filesystem;

// The program's exit code for a command line after its name, run in the
// current directory. Waited for however long it takes, as natively: a bound
// on the wait would make a slow start under load a failure; a run that
// hangs is ended by the test's own time limit.
int runProgram(const std::string& args) {
    std::string path = QV_PROGRAM;
#ifdef _WIN32
    // Built on the Unix side; Wine sees the Unix root as drive Z:.
    std::replace(path.begin(), path.end(), '/', '\\');
    PROCESS_INFORMATION process;
    return startProcess("\"Z:" + path + "\" " + args, &process) ? finishProcess(&process, INFINITE) : -2;
#else
    const int status = system(("'" + path + "' " + args + " 2>stderr.txt").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

class Unattended : public ::testing::Test {
protected:
    Sandbox sb;
    // Two files below src and an empty destination dst: the list that backs them up.
    std::string laySources() {
        sb.write("src\\a.txt", "alpha", T2020);
        sb.write("src\\Жёлтый子😀\\b.txt", "beta\r\n", T2020 + SECOND);
        fs::remove_all(sb.native("dst"));
        sb.mkdir("dst");
        return "--Dir--" + sb.full("dst") + "\r\n" + sb.full("src") + "\r\n";
    }
    const Strings copied = {sb.mirror("src\\a.txt") + "=alpha", sb.mirror("src\\Жёлтый子😀\\b.txt") + "=beta\r\n"};
};

// Every kind of run: no backup at all gives exit code 2 and the log says
// why; a complete backup 0 and an empty log; rejected lines besides 1. The
// switch counts anywhere, even inside a word, but only in lower case.
// Natively a run that is not complete tells standard error what its log
// holds, with LF line ends and a line end at its end, for cron to mail; a
// complete one says nothing.
TEST_F(Unattended, EveryKindOfRunHasItsExitCodeAndLog) {
    const std::string sources = laySources(), gone = sb.full("gone.txt");
    const struct {
        const char* args;
        std::string list;  // "<none>": there is none
        int code;
        std::string log;
    } runs[] = {
        {"-w", "<none>", 2, logOf(textNoList)},  // the bare message, no line end
        {"-w", "", 2, logOf(textNothingToCopy)},
        // Lines before any destination are rejected as written; every line
        // end in the log is CR LF, whatever the list used.
        {"-w", gone + "\r\n <-d>x\n", 2, logOf(textRejectedHeader) + "\r\n" + gone + "\r\n <-d>x\r\n" + logOf(textNothingToCopy)},
#ifdef _WIN32
        // A device name exists, but has no attributes: the reading stops there.
        {"-w", "--Dir--C:\\\r\nNUL\r\n" + sources, 2, logOf(textNoAttributes)},
#else
        {"-W", sources, 2, "<none>"},  // natively the window's place: a usage text
#endif
        {"-w", sources, 0, ""},
        {"x-wy", sources, 0, ""},
        {"one -w two", sources, 0, ""},
        {"-w-w", sources + gone + "\r\n", 1, logOf(textRejectedHeader) + "\r\n" + gone + "\r\n"},
    };
    for (const auto& run : runs) {
        laySources();
        fs::remove("QuarnelvistroLOG.txt");
        fs::remove("Quarnelvistro.txt");
        if (run.list != "<none>") sb.writeList(run.list);
        EXPECT_EQ(run.code, runProgram(run.args)) << run.args << " " << run.list;
        EXPECT_EQ(run.log, sb.log()) << run.args << " " << run.list;
#ifndef _WIN32
        std::string lf = run.code ? run.log : "";
        for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
        if (!lf.empty() && lf.back() != '\n') lf += '\n';
        if (run.log != "<none>") {  // else the usage text
            EXPECT_EQ(lf, sb.log("stderr.txt")) << run.args << " " << run.list;
        }
#endif
        EXPECT_EQ(run.code < 2 ? copied : Strings(), sb.tree("dst")) << run.args << " " << run.list;
    }
    EXPECT_EQ(T2020 + SECOND, sb.time("dst\\" + sb.mirror("src\\Жёлтый子😀\\b.txt")));
}

// A file stands where the folder of b.txt goes: the system's error when
// the copy is put in place (183, a file holds the folder's name), then the
// file not copied, its name's characters beyond Windows-1251 written as
// "<U+XXXX>" on Windows; the rest is copied. The next run, the cause gone,
// copies what was left and leaves an empty log. b.txt is listed first, so
// that the batch meets it first whatever order the file system lists src
// in: natively, where the batch stops at its first failure, whether a.txt
// counts as copied then never hangs on its copy's change time against the
// clock.
TEST_F(Unattended, AFileNotCopiedIsNamedAndTheNextRunCopiesIt) {
    laySources();
    sb.writeList("--Dir--" + sb.full("dst") + "\r\n" + sb.full("src\\Жёлтый子😀") + "\r\n" + sb.full("src\\a.txt") + "\r\n");
    const std::string obstacle = "dst\\" + sb.mirror("src\\Жёлтый子😀");
    sb.write(obstacle, "in the way");
#ifdef _WIN32
    const std::string named = cp1251(sb.full("src\\Жёлтый")) + "<U+5B50><U+1F600>\\b.txt";
#else
    const std::string named = sb.full("src\\Жёлтый子😀\\b.txt");
#endif
    const std::string code = "183 (b7)";
    EXPECT_EQ(1, runProgram("-w"));
    EXPECT_EQ("\r\n" + logOf(textCopyFailed) + code + "\r\n" + logOf(textNotCopied) + "\r\n" + named, sb.log());
    EXPECT_EQ(Strings({copied[0], sb.mirror("src\\Жёлтый子😀") + "=in the way"}), sb.tree("dst"));
    sb.remove(obstacle);
    EXPECT_EQ(0, runProgram("-w"));
    EXPECT_EQ("", sb.log());
    EXPECT_EQ(copied, sb.tree("dst"));
}

#ifndef _WIN32
// A log that cannot be opened (a folder holds its name): the backup is made
// all the same, and standard error says so before the report; a complete
// run, without the empty log that would say so, ends with exit code 1. On
// Windows a message box says it instead, which the window test presses.
TEST_F(Unattended, AnUnopenableLogIsSaidAndTheBackupStillMade) {
    sb.writeList(laySources());
    fs::create_directory("QuarnelvistroLOG.txt");
    EXPECT_EQ(1, runProgram("-w"));
    EXPECT_EQ(textLogNotWritten + "\n", sb.log("stderr.txt"));
    EXPECT_EQ(copied, sb.tree("dst"));
    fs::remove("Quarnelvistro.txt");
    EXPECT_EQ(2, runProgram("-w"));
    EXPECT_EQ(textLogNotWritten + "\n" + textNoList + "\n", sb.log("stderr.txt"));
    EXPECT_TRUE(fs::is_directory("QuarnelvistroLOG.txt"));
}

// A run killed half way, here while it waits to read its list from a fifo,
// leaves in its log the line that says it did not finish, and that alone;
// when the line could not be written whole (writes past 100 bytes fail,
// as on a full drive), no log at all: never an empty or a cut one.
TEST_F(Unattended, AKilledRunLeavesTheLineThatSaysSo) {
    ASSERT_EQ(0, mkfifo("Quarnelvistro.txt", 0600));
    for (const rlim_t limit : {RLIM_INFINITY, (rlim_t)100}) {
        const pid_t pid = fork();
        if (pid == 0) {
            const struct rlimit fileSize = {limit, limit};
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &fileSize);
            _exit(execl(QV_PROGRAM, QV_PROGRAM, "-w", (char*)NULL));
        }
        const int list = open("Quarnelvistro.txt", O_WRONLY);  // returns once the program opens it to read
        kill(pid, SIGKILL);
        waitpid(pid, NULL, 0);
        close(list);
        EXPECT_EQ(limit == 100 ? "<none>" : logOf(textRunNotFinished), sb.log()) << limit;
    }
}
#else
// The x86 program on 64-bit Windows backs up the real System32, as the
// x86-64 program does, not the 32-bit twins the system shows it there.
TEST_F(Unattended, BothProgramsBackUpTheRealSystem32) {
    char windows[MAX_PATH];
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    const std::string name = "\\qv-" + std::to_string(GetCurrentProcessId()), named = windows + ("\\System32" + name);
    const std::string real = windows + std::string(wow64 ? "\\Sysnative" : "\\System32") + name,
                      twin = windows + ("\\SysWOW64" + name);
    struct RemoveLater {
        Strings dirs;
        ~RemoveLater() { for (const auto& d : dirs) fs::remove_all(d); }
    } removeLater{{real, twin}};
    fs::create_directory(real);
    fs::create_directory(twin);
    std::ofstream(real + "\\same.txt") << "64-bit";
    std::ofstream(real + "\\only.txt") << "only in System32";
    std::ofstream(twin + "\\same.txt") << "32-bit";
    std::ofstream(twin + "\\twin.txt") << "only in SysWOW64";
    sb.mkdir("dst");
    sb.writeList("--Dir--" + sb.full("dst") + "\r\n" + named + "\r\n" + named + "\\same.txt\r\n");
    EXPECT_EQ(0, runProgram("-w"));
    EXPECT_EQ("", sb.log());
    const std::string mirror = std::string(named).erase(1, 1);
    EXPECT_EQ(Strings({mirror + "\\only.txt=only in System32", mirror + "\\same.txt=64-bit"}), sb.tree("dst"));

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
