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

const char* program;

LRESULT sendTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, 60000, &result)) return -1;
    return (LRESULT)result;
}

// WM_GETTEXT: the control's own text, not the caption the system keeps.
std::string textOf(HWND window) {
    static char text[1 << 17];
    LRESULT length = sendTo(window, WM_GETTEXT, sizeof text, (LPARAM)text);
    return length < 0 ? "<no answer>" : std::string(text, (size_t)length);
}

std::string classOf(HWND window) {
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return CharLowerA(name);
}

// Position and size within the parent's client area, as "x,y wxh".
std::string placeOf(HWND window) {
    RECT r;
    GetWindowRect(window, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(window), (POINT*)&r, 2);
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + "x" +
           std::to_string(r.bottom - r.top);
}

// One program and its window for the whole suite, in the order of the tests.
class Window : public ::testing::Test {
protected:
    static Sandbox* sb;
    static PROCESS_INFORMATION process;
    static HWND main, button, log;

    static BOOL CALLBACK match(HWND window, LPARAM) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != process.dwProcessId || classOf(window) != "quarnelvistro") return TRUE;
        main = window;
        return FALSE;
    }
    static void SetUpTestSuite() {
        sb = new Sandbox;
        if (!startProcess("\"" + std::string(program) + "\"", &process)) return;
        WaitForInputIdle(process.hProcess, 30000);
        for (int i = 0; i < 300 && !main; i++)
            if (EnumWindows(match, 0)) Sleep(100);
        for (int i = 0; i < 300 && main && !IsWindowVisible(main); i++) Sleep(100);
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
    GetWindowTextA(main, text, sizeof text);
    EXPECT_STREQ(text, "Quarnelvistro");
    // The system adds WS_VISIBLE and WS_CLIPSIBLINGS to a shown top-level
    // window and WS_EX_WINDOWEDGE to one with a caption.
    EXPECT_EQ(GetWindowLongA(main, GWL_STYLE), WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPSIBLINGS);
    EXPECT_EQ(GetWindowLongA(main, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
    EXPECT_EQ(GetClassLongA(main, GCL_STYLE), CS_HREDRAW | CS_VREDRAW);

    EXPECT_EQ(classOf(button), "button");
    GetWindowTextA(button, text, sizeof text);
    EXPECT_STREQ(text, "start coping");
    EXPECT_EQ(GetDlgCtrlID(button), 10001);
    EXPECT_EQ(GetWindowLongA(button, GWL_STYLE), WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON);
    EXPECT_EQ(placeOf(button), "10,30 130x30");

    EXPECT_EQ(classOf(log), "edit");
    EXPECT_EQ(textOf(log), "");
    EXPECT_EQ(GetDlgCtrlID(log), 10002);
    // An edit control takes WS_BORDER off its window style and draws that
    // border itself.
    EXPECT_EQ(GetWindowLongA(log, GWL_STYLE) | WS_BORDER, 0x50B011C4);
    EXPECT_EQ(GetWindowLongA(log, GWL_EXSTYLE), 0);
    RECT client;
    GetClientRect(main, &client);
    EXPECT_EQ(placeOf(log), "10,70 " + std::to_string(client.right - 20) + "x" + std::to_string(client.bottom - 80));
}

// Wine's shell copy shows neither a progress nor an error dialog and
// dispatches no message while it copies, so no press can reach the window
// during a run there; each press below is a run of its own.
TEST_F(Window, Runs) {
    EXPECT_EQ(press(), "### Begin\r\n" + textNoList);

    sb->writeList("C:\\nowhere\\a.txt\r\n <-d>x\n");
    EXPECT_EQ(press(), "### Begin\r\n" + textRejectedHeader + "\r\nC:\\nowhere\\a.txt\r\n <-d>x\r\n\r\n" +
                           textNothingToCopy);

    sb->write("src\\a.txt", "alpha", T2020);
    sb->write("src\\sub\\b.txt", "beta", T2020 + SECOND);
    sb->mkdir("dst");
    sb->writeList("--Dir--" + sb->full("dst") + "\r\n" + sb->full("src") + "\r\n");
    EXPECT_EQ(press(), "### Begin\r\n### End.");
    std::vector<std::string> copied{sb->mirror("src\\a.txt") + "=alpha", sb->mirror("src\\sub\\b.txt") + "=beta"};
    EXPECT_EQ(sb->tree("dst"), copied);
    // A second press is a run of its own, from "### Begin" again.
    EXPECT_EQ(press(), "### Begin\r\n### End.");

    // The folder for the drive letter is taken by a file. Wine's shell ends
    // the batch at its first failure with 1223, which in the window is the
    // cancel of the shell's dialog: the pass stops there and names every file
    // not copied, one a line.
    sb->write("dst2\\C", "in the way");
    sb->writeList("--Dir--" + sb->full("dst2") + "\r\n" + sb->full("src") + "\r\n");
    std::string failed = "### Begin\r\n" + textCopyFailed + "1223 (4c7)\r\n" + textNotCopied + "\r\n";
    for (const char* rel : {"src\\a.txt", "src\\sub\\b.txt"}) failed += sb->full(rel) + "\r\n";
    failed += "### End.";
    EXPECT_EQ(press(), failed);
    EXPECT_EQ(sb->tree("dst2"), std::vector<std::string>{"C=in the way"});
    // Notifications of other controls start nothing.
    sendTo(main, WM_COMMAND, MAKEWPARAM(10002, EN_CHANGE), (LPARAM)log);
    EXPECT_EQ(textOf(log), failed);

    // A report past the edit control's default limit of 32,767 characters.
    std::string many;
    for (int i = 0; i < 300; i++) many += "C:\\" + std::to_string(1000 + i) + std::string(190, 'm') + "\r\n";
    sb->writeList(many);
    EXPECT_EQ(press(), "### Begin\r\n" + textRejectedHeader + "\r\n" + many + "\r\n" + textNothingToCopy);
}

// The visible window captioned "Err" of a process.
struct MessageBoxWindow {
    DWORD process;
    HWND found;
};

BOOL CALLBACK findMessageBox(HWND window, LPARAM param) {
    MessageBoxWindow* box = (MessageBoxWindow*)param;
    DWORD owner = 0;
    char caption[16] = "";
    GetWindowThreadProcessId(window, &owner);
    GetWindowTextA(window, caption, sizeof caption);
    if (owner != box->process || strcmp(caption, "Err") || !IsWindowVisible(window)) return TRUE;
    box->found = window;
    return FALSE;
}

// An unattended run that cannot open its log makes its backup first and
// only then says so in a message box, which holds up nothing.
TEST_F(Window, UnattendedRunShowsTheLogFailureAfterTheBackup) {
    MessageBoxWindow box = {0, NULL};
    CreateDirectoryA("QuarnelvistroLOG.txt", NULL);
    sb->mkdir("dst3");
    sb->writeList("--Dir--" + sb->full("dst3") + "\r\n" + sb->full("src") + "\r\n");
    PROCESS_INFORMATION run;
    ASSERT_TRUE(startProcess("\"" + std::string(program) + "\" -w", &run));
    box.process = run.dwProcessId;
    for (int i = 0; i < 300 && EnumWindows(findMessageBox, (LPARAM)&box); i++) Sleep(100);
    ASSERT_TRUE(box.found) << "no message box";
    EXPECT_EQ(sb->tree("dst3"), std::vector<std::string>({sb->mirror("src\\a.txt") + "=alpha", sb->mirror("src\\sub\\b.txt") + "=beta"}));
    char text[128] = "";
    GetDlgItemTextA(box.found, 0xFFFF, text, sizeof text);  // the box's static text
    EXPECT_STREQ(text, "Error of opening of QuarnelvistroLOG.txt file.");
    PostMessageA(box.found, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(finishProcess(&run, 30000), 0);
    RemoveDirectoryA("QuarnelvistroLOG.txt");
}

TEST_F(Window, LogViewFollowsTheClientArea) {
    RECT frame = {0, 0, 300, 200};
    AdjustWindowRectEx(&frame, (DWORD)GetWindowLongA(main, GWL_STYLE), FALSE, (DWORD)GetWindowLongA(main, GWL_EXSTYLE));
    SetWindowPos(main, NULL, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client;
    GetClientRect(main, &client);
    EXPECT_EQ(std::to_string(client.right) + "x" + std::to_string(client.bottom), "300x200");
    EXPECT_EQ(placeOf(log), "10,70 280x120");
}

TEST_F(Window, ClosingEndsTheProgramWithCode0) {
    PostMessageA(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(finishProcess(&process, 30000), 0);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: window_probe PROGRAM\n");
        return 2;
    }
    program = argv[1];
    return RUN_ALL_TESTS();
}
