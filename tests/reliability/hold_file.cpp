// Keeps a file open with no sharing, as an editor or a database might, so
// that no other process can read it: hold_file FILE SIGNAL RELEASE. It
// writes SIGNAL once the file is held and lets go when RELEASE appears.
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    HANDLE held = CreateFileA(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (held == INVALID_HANDLE_VALUE) return 1;
    HANDLE signal = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (signal == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(signal);
    for (int i = 0; i < 1200 && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES; i++) Sleep(50);
    CloseHandle(held);
    return 0;
}
