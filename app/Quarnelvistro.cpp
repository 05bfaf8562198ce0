// The program's entry and its window: a start button and a log view, each
// press of the button one backup run reported in the log view.
#include <windows.h>

#include "alloc.h"
#include "front_end.h"
#include "run_messages.h"

HWND hMainWnd;
HWND hWnd_button1;
const int id_button1 = 10001;
HWND editctl;
const int IDC_EDIT = 10002;
WORD sx, sy;  // client area from the last WM_SIZE

static const WCHAR className[] = L"Quarnelvistro";
static const WCHAR windowTitle[] = L"Quarnelvistro";
static const WCHAR buttonText[] = L"start coping";
static const WCHAR beginText[] = L"### Begin\r\n";
static const char endText[] = "### End.";
static const DWORD logViewStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL |
                                  ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL |
                                  ES_WANTRETURN;
static_assert(logViewStyle == 0x50B011C4, "log view style");

// Every text is UTF-8 inside and goes to the window through the wide calls,
// so that the log view shows every name as it is. The edit control breaks
// lines only at CR LF; the engine's texts end their lines with a lone LF,
// which becomes CR LF on its way in. Should there be no memory for that,
// the text goes in as it is, and with none for the wide text, through the
// ANSI call: its names may show garbled then, but the report is there.
static bool isLoneLF(const char* text, const char* p) { return *p == '\n' && (p == text || p[-1] != '\r'); }

// The text in UTF-16, lone LFs as CR LF, in a block the caller releases;
// NULL when out of memory.
static WCHAR* wideLines(const char* text) {
    size_t loneLFs = 0;
    for (const char* p = text; *p; p++) loneLFs += isLoneLF(text, p);
    char* lines = loneLFs ? (char*)allocMem(strlen(text) + loneLFs + 1) : NULL;
    if (lines) {
        char* out = lines;
        for (const char* p = text; *p; p++) {
            if (isLoneLF(text, p)) *out++ = '\r';
            *out++ = *p;
        }
        *out = 0;
    }
    const char* utf8 = lines ? lines : text;
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, NULL, 0);
    WCHAR* wide = units > 0 ? (WCHAR*)allocMem((size_t)units * sizeof(WCHAR)) : NULL;
    if (wide) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, units);
    freeMem(lines);
    return wide;
}

void AddTextToEdit(HWND edit, const char* text) {
    WCHAR* wide = wideLines(text);
    int end = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, (WPARAM)end, (LPARAM)end);
    if (wide)
        SendMessageW(edit, EM_REPLACESEL, FALSE, (LPARAM)wide);
    else
        SendMessageA(edit, EM_REPLACESEL, FALSE, (LPARAM)text);
    freeMem(wide);
}

void OutPathToEdit(const PathList* list, const char* header) {
    // Summed wide: a 32-bit size_t could wrap.
    const uint64_t size = strlen(header) + (uint64_t)list->lenAll + 2 * (uint64_t)list->count + 3;
    char* block = size <= SIZE_MAX / 2 ? (char*)allocMem((size_t)size) : NULL;
    if (!block) {
        AddTextToEdit(editctl, msgNoFreeMemory);
        return;
    }
    char* end = block + sprintf(block, "%s\r\n", header);
    for (const PathNode* node = list->first; node; node = node->next) end += sprintf(end, "%s\r\n", node->path);
    AddTextToEdit(editctl, block);
    AddTextToEdit(editctl, "\r\n");
    freeMem(block);
}

// One backup run, reported in the log view. The shell's progress dialog runs
// a message loop of its own, so a press of the button can arrive while a run
// is in progress: it starts nothing.
void startCoping() {
    static bool running;
    if (running) return;
    running = true;

    SetWindowTextW(editctl, beginText);
    initPaths(&exPath, &unexPath);
    ReaderResult result = ReadPaths(&exPath, &unexPath);
    if (result != READ_DONE) {
        AddTextToEdit(editctl, readerMessage(result));
    } else {
        if (unexPath.first) OutPathToEdit(&unexPath, msgRejectedHeader);
        if (exPath.first) {
            char* errorText = NULL;
            copy(&exPath, &errorText, 0);
            if (errorText) {
                AddTextToEdit(editctl, errorText);
                AddTextToEdit(editctl, "\r\n");
                freeMem(errorText);
            }
            AddTextToEdit(editctl, endText);
        } else {
            AddTextToEdit(editctl, msgNothingToCopy);
        }
    }
    freePaths(&exPath, &unexPath);
    running = false;
}

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SIZE:
            sx = LOWORD(lParam);
            sy = HIWORD(lParam);
            if (editctl) SetWindowPos(editctl, NULL, 10, 70, (int)sx - 20, (int)sy - 80, 0);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == id_button1) startCoping();
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static int runWindow(HINSTANCE instance, int showCommand) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(NULL, (LPCWSTR)IDI_WINLOGO);
    wc.hIconSm = LoadIconW(NULL, (LPCWSTR)IDI_WINLOGO);
    wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszClassName = className;
    if (!RegisterClassExW(&wc)) {
        MessageBoxA(NULL, "window's class is not registered!", "Err_Err", MB_OK);
        return 1;
    }
    hMainWnd = CreateWindowExW(0, className, windowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                               500, 400, NULL, NULL, instance, NULL);
    if (!hMainWnd) {
        MessageBoxA(NULL, "Window is not created!", "Err_Err2", MB_OK);
        return 0;
    }
    hWnd_button1 = CreateWindowExW(0, L"button", buttonText, WS_CHILD | WS_VISIBLE, 10, 30, 130, 30, hMainWnd,
                                   (HMENU)(INT_PTR)id_button1, instance, NULL);
    editctl = CreateWindowExW(0, L"EDIT", L"", logViewStyle, 10, 70, 100, 100, hMainWnd,
                              (HMENU)(INT_PTR)IDC_EDIT, instance, NULL);
    // The default limit (32,767 characters) would cut a long report short;
    // 0 is the largest the control allows.
    SendMessageW(editctl, EM_SETLIMITTEXT, 0, 0);
    ShowWindow(hMainWnd, showCommand);
    UpdateWindow(hMainWnd);

    MSG msg = {};
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return (int)msg.wParam;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
    if (hasUnattendedSwitch(commandLine)) return startCopingInConsole();
    return runWindow(instance, showCommand);
}
