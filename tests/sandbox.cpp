#include "sandbox.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char sep = '\\';
#else
const char sep = '/';
#endif

#ifndef _WIN32
std::string withSep(std::string p) {
    std::replace(p.begin(), p.end(), '\\', sep);
    return p;
}
#endif

int counter;

// Paths in the program's code page. MinGW's std::filesystem reads a narrow
// path as Latin-1 and writes one as UTF-8, so on Windows the conversion is
// made here, through the ANSI code page, as the program's calls make it.
#ifdef _WIN32
fs::path fsPath(const std::string& ansi) {
    std::wstring wide(ansi.size(), L'\0');
    wide.resize((size_t)MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), &wide[0], (int)wide.size()));
    return wide;
}
std::string ansiOf(const fs::path& path) {
    const std::wstring wide = path.wstring();
    std::string ansi(wide.size() * 2, '\0');
    ansi.resize((size_t)WideCharToMultiByte(CP_ACP, 0, wide.data(), (int)wide.size(), &ansi[0], (int)ansi.size(),
                                            NULL, NULL));
    return ansi;
}
#else
fs::path fsPath(const std::string& path) { return path; }
std::string ansiOf(const fs::path& path) { return path.string(); }
#endif

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<none>";
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

Sandbox::Sandbox() {
    previousDir = fs::current_path().string();
    fs::path base = fs::temp_directory_path();
#ifdef _WIN32
    unsigned pid = (unsigned)GetCurrentProcessId();
#else
    unsigned pid = (unsigned)getpid();
#endif
    for (;;) {
        fs::path p = base / ("qv-" + std::to_string(pid) + "-" + std::to_string(counter++));
        if (fs::create_directory(p)) {
            root = p.string();
            break;
        }
    }
    fs::current_path(root);
#ifndef _WIN32
    fs::create_directory(root + "/C:");
#endif
}

Sandbox::~Sandbox() {
    std::error_code ec;
    fs::current_path(previousDir, ec);
    // Tests may leave folders without permissions behind.
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add | fs::perm_options::nofollow, ec);
    fs::remove_all(root, ec);
}

#ifdef _WIN32
bool startProcess(std::string commandLine, PROCESS_INFORMATION* process) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    return CreateProcessA(NULL, &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, process);
}

std::string unixPath(const std::string& windowsPath) {
    typedef char*(CDECL * UnixName)(LPCWSTR);
    auto unixName = (UnixName)(void*)GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name");
    const std::wstring wide(windowsPath.begin(), windowsPath.end());
    char* name = unixName ? unixName(wide.c_str()) : NULL;
    if (!name) return "";
    std::string path = name;
    HeapFree(GetProcessHeap(), 0, name);
    return path;
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
#endif

std::string Sandbox::full(const std::string& rel) const {
#ifdef _WIN32
    return rel.empty() ? root : root + "\\" + rel;
#else
    return rel.empty() ? "C:" : "C:\\" + rel;
#endif
}

std::string Sandbox::mirror(const std::string& rel) const {
    std::string f = full(rel);
    return f.substr(0, 1) + f.substr(2);
}

std::string Sandbox::native(const std::string& rel) const {
#ifdef _WIN32
    return full(rel);
#else
    return root + "/C:" + (rel.empty() ? "" : "/" + withSep(rel));
#endif
}

void Sandbox::mkdir(const std::string& rel) const { fs::create_directories(fsPath(native(rel))); }

void Sandbox::write(const std::string& rel, const std::string& content, uint64_t time) const {
    fs::path p = fsPath(native(rel));
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
    if (time) setTime(rel, time);
}

std::string Sandbox::read(const std::string& rel) const { return slurp(fsPath(native(rel))); }

bool Sandbox::exists(const std::string& rel) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(fsPath(native(rel)), ec));
}

void Sandbox::setTime(const std::string& rel, uint64_t time) const {
#ifdef _WIN32
    HANDLE h = CreateFileA(native(rel).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("setTime: cannot open " + rel);
    FILETIME ft = {(DWORD)time, (DWORD)(time >> 32)};
    SetFileTime(h, NULL, NULL, &ft);
    CloseHandle(h);
#else
    const uint64_t secondsTo1970 = 11644473600ULL;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = (time_t)(time / SECOND - secondsTo1970);
    times[1].tv_nsec = (long)(time % SECOND) * 100;
    if (utimensat(AT_FDCWD, native(rel).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("setTime: cannot set " + rel);
#endif
}

uint64_t Sandbox::time(const std::string& rel) const {
#ifdef _WIN32
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(native(rel).c_str(), GetFileExInfoStandard, &a)) return 0;
    return ((uint64_t)a.ftLastWriteTime.dwHighDateTime << 32) | a.ftLastWriteTime.dwLowDateTime;
#else
    struct stat st;
    if (stat(native(rel).c_str(), &st) != 0) return 0;
    return ((uint64_t)st.st_mtim.tv_sec + 11644473600ULL) * SECOND + (uint64_t)st.st_mtim.tv_nsec / 100;
#endif
}

std::vector<std::string> Sandbox::tree(const std::string& rel) const {
    std::vector<std::string> files;
    fs::path top = fsPath(native(rel));
    std::error_code ec;
    if (!fs::is_directory(top, ec)) return files;
    for (auto it = fs::recursive_directory_iterator(top, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        std::string sub = ansiOf(fs::relative(it->path(), top));
        std::replace(sub.begin(), sub.end(), '/', '\\');
        files.push_back(sub + "=" + slurp(it->path()));
    }
    std::sort(files.begin(), files.end());
    return files;
}

void Sandbox::writeList(const std::string& bytes) const {
    std::ofstream(root + sep + "Quarnelvistro.txt", std::ios::binary | std::ios::trunc) << bytes;
}

std::string Sandbox::log() const { return slurp(root + sep + "QuarnelvistroLOG.txt"); }
