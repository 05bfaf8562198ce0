// Drives the program's window from outside, as a person would: finds it,
// checks its controls, presses the start button and reads the log view,
// resizes it, and closes it. Every wait has a limit, so a stuck window fails
// the probe instead of hanging it.
//   window_probe PROGRAM
#include <windows.h>

#include <gtest/gtest.h>

#include "expected_texts.h"
#include "sandbox.h"

namespace {

std::string program;

LRESULT sendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 60000, &result) ? (LRESULT)result : -1;
}

// WM_GETTEXT: the control's own text, not the caption the system keeps; in
// UTF-8, every character as the window shows it.
std::string textOf(HWND window) {
    static WCHAR text[1 << 17];
    static char utf8[3 << 17];
    LRESULT length = sendTo(window, WM_GETTEXT, sizeof text / sizeof *text, (LPARAM)text);
    if (length < 0) return "<no answer>";
    return std::string(utf8, (size_t)WideCharToMultiByte(CP_UTF8, 0, text, (int)length, utf8, sizeof utf8, NULL, NULL));
}

// Position and size within the parent's client area, as "x,y wxh".
std::string placeOf(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(window), (POINT*)&r, 2);
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + "x" +
           std::to_string(r.bottom - r.top);
}

// The first visible top-level window of a process with a class and caption,
// waited for up to 30 s.
HWND windowOf(DWORD process, const char* className, const char* caption) {
    for (int i = 0; i < 300; i++, Sleep(100))
        for (HWND w = FindWindowA(className, caption); w; w = FindWindowExA(NULL, w, className, caption)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner == process && IsWindowVisible(w)) return w;
        }
    return NULL;
}

// One program and its window for the whole suite, in the order of the tests.
class Window : public ::testing::Test {
protected:
    static Sandbox* sb;
    static PROCESS_INFORMATION process;
    static HWND main, button, log;

    static void SetUpTestSuite() {
        sb = new Sandbox;
        if (!startProcess("\"" + program + "\"", &process)) return;
        main = windowOf(process.dwProcessId, "Quarnelvistro", "Quarnelvistro");
        button = GetDlgItem(main, 10001);
        log = GetDlgItem(main, 10002);
    }
    static void TearDownTestSuite() {
        if (process.hProcess) finishProcess(&process, 0);
        delete sb;
    }
    void SetUp() override { ASSERT_TRUE(main) << "no window of class Quarnelvistro from " << program; }

    // A click runs the backup inside the button's notification, so the log
    // view is complete when the click returns.
    std::string press() {
        sendTo(button, BM_CLICK, 0, 0);
        return textOf(log);
    }
};
Sandbox* Window::sb;
PROCESS_INFORMATION Window::process;
HWND Window::main, Window::button, Window::log;

TEST_F(Window, Layout) {
    char text[64] = "";
    EXPECT_EQ(WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPSIBLINGS, GetWindowLongA(main, GWL_STYLE));
    EXPECT_EQ(CS_HREDRAW | CS_VREDRAW, GetClassLongA(main, GCL_STYLE));
    GetWindowTextA(button, text, sizeof text);
    EXPECT_STREQ("start coping", text);
    EXPECT_EQ(WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, GetWindowLongA(button, GWL_STYLE));
    EXPECT_EQ("10,30 130x30", placeOf(button));
    // An edit control takes WS_BORDER off its window style and draws that border itself.
    EXPECT_EQ(0x50B011C4, GetWindowLongA(log, GWL_STYLE) | WS_BORDER);
    EXPECT_EQ("", textOf(log));
}

// Wine's shell copy shows neither a progress nor an error dialog and
// dispatches no message while it copies, so no press can reach the window
// during a run there; each press below is a run of its own.
TEST_F(Window, Runs) {
    EXPECT_EQ("### Begin\r\n" + textNoList, press());
    sb->writeList("C:\\nowhere\\a.txt\r\n <-d>x\n");
    EXPECT_EQ("### Begin\r\n" + textRejectedHeader + "\r\nC:\\nowhere\\a.txt\r\n <-d>x\r\n\r\n" + textNothingToCopy,
              press());

    // Two files for the shell's batch, and one past MAX_PATH, copied on its own.
    const std::string distant = "far\\" + std::string(150, 'f') + "\\" + std::string(150, 'g');
    sb->write("src\\a.txt", "alpha", T2020);
    sb->write("src\\日本😀\\b.txt", "beta", T2020 + SECOND);
    sb->write(distant, "far", T2020);
    sb->mkdir("dst");
    sb->writeList("--Dir--" + sb->full("dst") + "\r\n" + sb->full("src") + "\r\n" + sb->full("far") + "\r\n");
    EXPECT_EQ("### Begin\r\n### End.", press());
    EXPECT_EQ(sorted({sb->mirror("src\\a.txt") + "=alpha", sb->mirror("src\\日本😀\\b.txt") + "=beta",
                      sb->mirror(distant) + "=far"}),
              sb->tree("dst"));
    EXPECT_EQ("### Begin\r\n### End.", press());  // from "### Begin" again

    // The folder of src's copies is taken by a file: its files are named,
    // one a line, each as it is named, with the system's 183 when their
    // copies are put in place; the pass goes on past them.
    sb->write("dst2\\" + sb->mirror("src"), "in the way");
    sb->writeList("--Dir--" + sb->full("dst2") + "\r\n" + sb->full("src") + "\r\n" + sb->full("far") + "\r\n");
    const std::string failed = "### Begin\r\n" + textCopyFailed + "183 (b7)\r\n" + textNotCopied + "\r\n" +
                               sb->full("src\\a.txt") + "\r\n" + sb->full("src\\日本😀\\b.txt") + "\r\n### End.";
    EXPECT_EQ(failed, press());
    EXPECT_EQ(sorted({sb->mirror("src") + "=in the way", sb->mirror(distant) + "=far"}), sb->tree("dst2"));
    // Notifications of other controls start nothing.
    sendTo(main, WM_COMMAND, MAKEWPARAM(10002, EN_CHANGE), (LPARAM)log);
    EXPECT_EQ(failed, textOf(log));

    // A report past the edit control's default limit of 32,767 characters.
    std::string many;
    for (int i = 0; i < 300; i++) many += "C:\\" + std::to_string(1000 + i) + std::string(190, 'm') + "\r\n";
    sb->writeList(many);
    EXPECT_EQ("### Begin\r\n" + textRejectedHeader + "\r\n" + many + "\r\n" + textNothingToCopy, press());
}

// An unattended run that cannot open its log makes its backup first and
// only then says so in a message box, which holds up nothing, and which
// never holds the process for ever. Its exit code is the run's, and 1 for
// a complete one, which leaves no empty log to say so.
TEST_F(Window, UnattendedRunShowsTheLogFailureAfterTheBackup) {
    CreateDirectoryA("QuarnelvistroLOG.txt", NULL);
    sb->mkdir("dst3");
    sb->writeList("--Dir--" + sb->full("dst3") + "\r\n" + sb->full("src") + "\r\n");
    PROCESS_INFORMATION run;
    ASSERT_TRUE(startProcess("\"" + program + "\" -w", &run));
    const HWND box = windowOf(run.dwProcessId, NULL, "Err");
    EXPECT_EQ(Strings({sb->mirror("src\\a.txt") + "=alpha", sb->mirror("src\\日本😀\\b.txt") + "=beta"}), sb->tree("dst3"));
    char text[128] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the box's static text
    EXPECT_STREQ("Error of opening of QuarnelvistroLOG.txt file.", text);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(1, finishProcess(&run, 30000));
    // No one there: the box waits, then goes by itself after a minute, and
    // the exit code is the run's (2, nothing to copy).
    sb->writeList("--Dir--" + sb->full("dst3") + "\r\n" + sb->full("gone.txt") + "\r\n");
    ASSERT_TRUE(startProcess("\"" + program + "\" -w", &run));
    EXPECT_NE(nullptr, windowOf(run.dwProcessId, NULL, "Err"));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(run.hProcess, 50000));
    EXPECT_EQ(2, finishProcess(&run, 40000));
    RemoveDirectoryA("QuarnelvistroLOG.txt");
}

// The log view fills the client area below the button, 10 pixels from its edges.
TEST_F(Window, LogViewFollowsTheClientArea) {
    RECT frame = {0, 0, 300, 200}, client;
    AdjustWindowRectEx(&frame, (DWORD)GetWindowLongA(main, GWL_STYLE), FALSE, (DWORD)GetWindowLongA(main, GWL_EXSTYLE));
    SetWindowPos(main, NULL, 0, 0, frame.right - frame.left, frame.bottom - frame.top, SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(main, &client);
    EXPECT_EQ("300x200", std::to_string(client.right) + "x" + std::to_string(client.bottom));
    EXPECT_EQ("10,70 280x120", placeOf(log));
}

TEST_F(Window, ClosingEndsTheProgramWithCode0) {
    PostMessageA(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0, finishProcess(&process, 30000));
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) return 2;
    program = argv[1];
    return RUN_ALL_TESTS();
}
