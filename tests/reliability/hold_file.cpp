// Runs COMMAND while FILE is held open with no sharing, as an editor or a
// database might hold it, so that no other process can read it; exits with
// the command's exit code:   hold_file FILE COMMAND
#include <windows.h>

#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 3 || CreateFileA(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE)
        return 125;
    return system(argv[2]);  // the file is let go as the process ends
}
