// Prints a program's version resource as Windows reads it: the fixed file
// and product versions, then FileVersion and ProductVersion of the string
// table its translation names.
//   version_probe PROGRAM.exe
#include <windows.h>

#include <stdio.h>

#include <vector>

int main(int argc, char** argv) {
    DWORD ignored = 0, size = argc == 2 ? GetFileVersionInfoSizeA(argv[1], &ignored) : 0;
    std::vector<char> info(size + 1);
    VS_FIXEDFILEINFO* fixed = NULL;
    WORD* translation = NULL;
    UINT length = 0;
    if (!size || !GetFileVersionInfoA(argv[1], 0, size, info.data()) ||
        !VerQueryValueA(info.data(), "\\", (void**)&fixed, &length) ||
        !VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", (void**)&translation, &length) || length < 4)
        return 1;
    printf("FILEVERSION %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
           HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    printf("PRODUCTVERSION %u.%u.%u.%u\n", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
           HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    for (const char* name : {"FileVersion", "ProductVersion"}) {
        char key[80], *value = NULL;
        snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1], name);
        printf("%s %s\n", name, VerQueryValueA(info.data(), key, (void**)&value, &length) ? value : "<none>");
    }
    return 0;
}
