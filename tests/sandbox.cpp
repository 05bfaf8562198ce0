#include "sandbox.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef _WIN32
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

int counter;
const uint64_t secondsTo1970 = 11644473600ULL;

// Paths in UTF-8, as the program holds them. MinGW's std::filesystem reads
// a narrow path as Latin-1, so on Windows the conversion is made here.
#ifdef _WIN32
fs::path fsPath(const std::string& utf8) { return wideOf(utf8, CP_UTF8); }
std::string utf8Of(const fs::path& path) {
    const std::wstring wide = path.wstring();
    std::string utf8(wide.size() * 3, '\0');
    utf8.resize((size_t)WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &utf8[0], (int)utf8.size(),
                                            NULL, NULL));
    return utf8;
}
#else
fs::path fsPath(const std::string& path) { return path; }
std::string utf8Of(const fs::path& path) { return path.string(); }
#endif

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return in ? s.str() : "<none>";
}

}  // namespace

Sandbox::Sandbox() : previousDir(fs::current_path().string()) {
#ifdef _WIN32
    const std::string pid = std::to_string(GetCurrentProcessId());
#else
    const std::string pid = std::to_string(getpid());
#endif
    do root = (fs::temp_directory_path() / ("qv-" + pid + "-" + std::to_string(counter++))).string();
    while (!fs::create_directory(root));
    fs::current_path(root);
    fs::create_directory(native(""));
}

Sandbox::~Sandbox() {
    std::error_code ec;
    fs::current_path(previousDir, ec);
    fs::remove_all(root, ec);
}

#ifdef _WIN32
bool startProcess(std::string commandLine, PROCESS_INFORMATION* process) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    return CreateProcessA(NULL, &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, process);
}

int finishProcess(PROCESS_INFORMATION* process, unsigned waitMs) {
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(process->hProcess, waitMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process->hProcess, &code);
    else
        TerminateProcess(process->hProcess, 1), WaitForSingleObject(process->hProcess, 10000);
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
    *process = {};
    return (int)code;
}

std::string unixPath(const std::string& windowsPath) {
    typedef char*(CDECL * UnixName)(LPCWSTR);
    auto unixName = (UnixName)(void*)GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name");
    const std::wstring wide(windowsPath.begin(), windowsPath.end());
    char* name = unixName ? unixName(wide.c_str()) : NULL;
    const std::string path = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return path;
}

std::wstring wideOf(const std::string& text, UINT codePage) {
    std::wstring wide(text.size(), L'\0');
    wide.resize((size_t)MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), &wide[0], (int)wide.size()));
    return wide;
}

std::string Sandbox::full(const std::string& rel) const { return rel.empty() ? root : root + "\\" + rel; }
std::string Sandbox::native(const std::string& rel) const { return full(rel); }
#else
std::string Sandbox::full(const std::string& rel) const { return rel.empty() ? "C:" : "C:\\" + rel; }
std::string Sandbox::native(const std::string& rel) const {
    std::string path = root + "/C:" + (rel.empty() ? "" : "/" + rel);
    std::replace(path.begin(), path.end(), '\\', '/');
    // Past PATH_MAX, from the sandbox, the current directory.
    return path.size() < PATH_MAX ? path : path.substr(root.size() + 1);
}
#endif

std::string Sandbox::mirror(const std::string& rel) const { return full(rel).erase(1, 1); }

void Sandbox::mkdir(const std::string& rel) const { fs::create_directories(fsPath(native(rel))); }
void Sandbox::remove(const std::string& rel) const { fs::remove(fsPath(native(rel))); }

void Sandbox::write(const std::string& rel, const std::string& content, uint64_t time) const {
    const fs::path path = fsPath(native(rel));
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    if (!time) return;
#ifdef _WIN32
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, NULL, OPEN_EXISTING, 0, NULL);
    FILETIME ft = {(DWORD)time, (DWORD)(time >> 32)};
    const bool set = SetFileTime(h, NULL, NULL, &ft);
    CloseHandle(h);
#else
    const struct timespec times[2] = {{0, UTIME_OMIT}, {(time_t)(time / SECOND - secondsTo1970), (long)(time % SECOND) * 100}};
    const bool set = utimensat(AT_FDCWD, native(rel).c_str(), times, 0) == 0;
#endif
    if (!set) throw std::runtime_error("cannot set the time of " + rel);
}

uint64_t Sandbox::time(const std::string& rel) const {
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(fsPath(native(rel)).c_str(), GetFileExInfoStandard, &a)) return 0;
    return ((uint64_t)a.ftLastWriteTime.dwHighDateTime << 32) | a.ftLastWriteTime.dwLowDateTime;
#else
    struct stat st;
    if (stat(native(rel).c_str(), &st) != 0) return 0;
    return ((uint64_t)st.st_mtim.tv_sec + secondsTo1970) * SECOND + (uint64_t)st.st_mtim.tv_nsec / 100;
#endif
}

#ifdef _WIN32
// The files below dir ("\\?\" form, so that paths past MAX_PATH are listed
// too, which msvcrt's listing behind std::filesystem cannot), as "sub=content".
static void listInto(const std::wstring& dir, const std::string& sub, Strings* files) {
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::string rel = sub + utf8Of(name);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            listInto(dir + L"\\" + name, rel + "\\", files);
        else
            files->push_back(rel + "=" + slurp(dir + L"\\" + name));
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
}

Strings treeAt(const std::string& nativeDir) {
    Strings files;
    listInto(L"\\\\?\\" + fsPath(nativeDir).wstring(), "", &files);
    std::sort(files.begin(), files.end());
    return files;
}
#else
Strings treeAt(const std::string& nativeDir) {
    Strings files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(nativeDir, ec); it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_regular_file(ec)) {
            std::string sub = utf8Of(it->path().lexically_relative(nativeDir));
            std::replace(sub.begin(), sub.end(), '/', '\\');
            files.push_back(sub + "=" + slurp(it->path()));
        }
    std::sort(files.begin(), files.end());
    return files;
}
#endif

void Sandbox::writeList(const std::string& bytes) const {
    std::ofstream(fs::path(root) / "Quarnelvistro.txt", std::ios::binary | std::ios::trunc) << bytes;
}

std::string Sandbox::log(const char* name) const { return slurp(fs::path(root) / name); }
