// Prints a program's version resource as Windows reads it: the fixed file
// and product versions, then FileVersion and ProductVersion of the string
// table its translation names.
//   version_probe PROGRAM.exe
#include <windows.h>

#include <stdio.h>

#include <vector>

static void printString(std::vector<char>& info, WORD language, WORD codePage, const char* name) {
    char key[80];
    snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\%s", language, codePage, name);
    char* value = NULL;
    UINT length = 0;
    printf("%s %s\n", name, VerQueryValueA(info.data(), key, (void**)&value, &length) ? value : "<none>");
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
    std::vector<char> info(size ? size : 1);
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (!size || !GetFileVersionInfoA(argv[1], 0, size, info.data()) ||
        !VerQueryValueA(info.data(), "\\", (void**)&fixed, &length)) {
        printf("no version resource in %s\n", argv[1]);
        return 1;
    }
    printf("FILEVERSION %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
           HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    printf("PRODUCTVERSION %u.%u.%u.%u\n", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
           HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    WORD* translation = NULL;
    if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", (void**)&translation, &length) || length < 4) {
        printf("no translation\n");
        return 1;
    }
    printString(info, translation[0], translation[1], "FileVersion");
    printString(info, translation[0], translation[1], "ProductVersion");
    return 0;
}
