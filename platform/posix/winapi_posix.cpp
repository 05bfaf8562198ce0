// The Windows calls of winapi_posix.h over POSIX (Linux): file queries,
// directory enumeration, full paths, the shell's batch copy, msvcrt's
// text-mode files and the message box.
#include "winapi_posix.h"

#undef fopen  // this file needs the C library's own

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool hasDotPart(const char* path) {
    for (const char* p = path; *p; p++)
        if (*p == '.' && (p == path || isSeparator(p[-1]))) {
            const char* end = p + (p[1] == '.' ? 2 : 1);
            if (!*end || isSeparator(*end)) return true;
        }
    return false;
}

// Windows paths become POSIX ones by turning '\' into '/'; a drive path
// "C:\x" then names the folder "C:" under the current directory. Windows
// takes "." and ".." out by the text first (C:\a\..\..\x is C:\x, whether
// C:\a exists or not), and so does this: a file is then read from where
// GetFullPathNameA, and so the copy pass, says it is.
bool toPosix(const char* path, char* out, size_t room) {
    char full[4096];
    if (hasDotPart(path)) {
        DWORD n = GetFullPathNameA(path, sizeof full, full, NULL);
        if (n == 0 || n >= sizeof full) {
            errno = ENAMETOOLONG;
            return false;
        }
        path = full;
    }
    size_t n = strlen(path);
    if (n >= room) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (size_t i = 0; i <= n; i++) out[i] = path[i] == '\\' ? '/' : path[i];
    return true;
}

// 100 ns ticks since 1601-01-01, the epoch of FILETIME.
FILETIME toFiletime(const struct timespec& t) {
    const uint64_t secondsTo1970 = 11644473600ULL;
    uint64_t ticks = ((uint64_t)t.tv_sec + secondsTo1970) * 10000000ULL + (uint64_t)t.tv_nsec / 100;
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)ticks;
    ft.dwHighDateTime = (DWORD)(ticks >> 32);
    return ft;
}

// A fifo, socket or device has no content to copy; Windows reports no file
// found by these calls as a device, so the mark says just that.
DWORD attributesOf(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return S_ISREG(st.st_mode) ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_DEVICE;
}

struct Enumeration {
    DIR* dir;
    int next;  // 0: "." comes next, 1: "..", 2: the directory's own entries
    bool matchAll;
    struct stat self;
    char pattern[MAX_PATH];
};

// The attributes, times and size that the find, attribute and handle
// records share.
template <typename Record>
void fillAttributes(Record* r, const struct stat& st) {
    r->dwFileAttributes = attributesOf(st);
    r->ftCreationTime = toFiletime(st.st_ctim);
    r->ftLastAccessTime = toFiletime(st.st_atim);
    r->ftLastWriteTime = toFiletime(st.st_mtim);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : (uint64_t)st.st_size;
    r->nFileSizeHigh = (DWORD)(size >> 32);
    r->nFileSizeLow = (DWORD)size;
}

void fillFound(WIN32_FIND_DATAA* fd, const char* name, const struct stat& st, DWORD extra) {
    memset(fd, 0, sizeof *fd);
    fillAttributes(fd, st);
    fd->dwFileAttributes |= extra;
    strncpy(fd->cFileName, name, MAX_PATH - 1);
}

// The next entry of the directory that matches, or false at its end.
bool nextFound(Enumeration* e, WIN32_FIND_DATAA* fd) {
    if (e->next < 2) {
        fillFound(fd, e->next == 0 ? "." : "..", e->self, 0);
        e->next++;
        return true;
    }
    while (struct dirent* d = readdir(e->dir)) {
        const char* name = d->d_name;
        if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
        if (!e->matchAll && fnmatch(e->pattern, name, 0) != 0) continue;
        struct stat st;
        DWORD extra = d->d_type == DT_LNK ? FILE_ATTRIBUTE_REPARSE_POINT : 0;
        // A link is listed as what it leads to; a dangling one as a file.
        if (fstatat(dirfd(e->dir), name, &st, 0) != 0 &&
            fstatat(dirfd(e->dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (d->d_type == DT_UNKNOWN && S_ISLNK(st.st_mode)) extra = FILE_ATTRIBUTE_REPARSE_POINT;
        fillFound(fd, name, st, extra);
        return true;
    }
    return false;
}

// Makes the folder and every missing folder above it.
bool makeFolders(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (errno != ENOENT) return false;
    size_t cut = dir.find_last_of('/');
    if (cut != std::string::npos && cut > 0 && !makeFolders(dir.substr(0, cut))) return false;
    return mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST;
}

bool copyBytes(int from, int to, int* failedSide) {
    for (;;) {
        ssize_t n = copy_file_range(from, NULL, to, NULL, 1 << 30, 0);
        if (n == 0) return true;
        if (n > 0) continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
        *failedSide = errno == EBADF || errno == EISDIR ? 0 : -1;
        return false;
    }
    static char buffer[1 << 16];
    for (;;) {
        ssize_t n = read(from, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            *failedSide = 0;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buffer + done, (size_t)(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                *failedSide = 1;
                return false;
            }
            done += w;
        }
    }
}

// Copies one file. A new destination is written in place; an existing one
// is written under a temporary name beside it and renamed over it, so that a
// copy that fails half way leaves the old backup whole. A failed copy leaves
// no part of the new one. The destination gets the source's last-write time
// to the nanosecond.
int copyOneFile(const char* fromPath, const char* toPath) {
    // Non-blocking, and only a regular file is read: a fifo would wait for a
    // writer forever, and a device such as /dev/zero never ends.
    int from = open(fromPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (from < 0) return errno == ENOENT || errno == ENOTDIR ? DE_SRC_NOT_FOUND : DE_ACCESSDENIEDSRC;
    struct stat st;
    if (fstat(from, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(from);
        return DE_ACCESSDENIEDSRC;
    }
    const mode_t mode = (st.st_mode & 0777) | S_IWUSR;
    std::string temp;  // empty while the file is written in place
    // O_EXCL: a name that exists, a link included, is never opened.
    const int createNew = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int to = open(toPath, createNew, mode);
    // Named after the process and a count, not the file: a name of the
    // longest length leaves no room for a prefix. A name some other file
    // holds, perhaps a link planted there, is passed over.
    for (unsigned n = 0; to < 0 && errno == EEXIST && n < 1000; n++) {
        temp = toPath;
        size_t cut = temp.find_last_of('/');
        temp.replace(cut == std::string::npos ? 0 : cut + 1, std::string::npos,
                     ".~qv-" + std::to_string(getpid()) + "-" + std::to_string(n));
        to = open(temp.c_str(), createNew, mode);
    }
    if (to < 0) {
        close(from);
        return ERRORONDEST;
    }
    int failedSide = 1;
    bool ok = copyBytes(from, to, &failedSide);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (ok && futimens(to, times) != 0) ok = false;
    if (close(to) != 0 && ok) ok = false;
    close(from);
    if (ok && (temp.empty() || rename(temp.c_str(), toPath) == 0)) return 0;
    unlink(temp.empty() ? toPath : temp.c_str());
    return failedSide == 0 ? DE_ACCESSDENIEDSRC : ERRORONDEST;
}

}  // namespace

BOOL PathFileExistsA(LPCSTR path) {
    char p[4096];
    struct stat st;
    return toPosix(path, p, sizeof p) && stat(p, &st) == 0;
}

BOOL GetFileAttributesExA(LPCSTR path, GET_FILEEX_INFO_LEVELS, void* data) {
    char p[4096];
    struct stat st;
    if (!toPosix(path, p, sizeof p) || stat(p, &st) != 0) return FALSE;
    fillAttributes((WIN32_FILE_ATTRIBUTE_DATA*)data, st);
    return TRUE;
}

// Only the last component may hold wildcards; "*" and "*.*" match every
// name, as on Windows (where "*.*" matches names without a dot too).
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* findData) {
    char p[4096];
    if (!toPosix(pattern, p, sizeof p)) return INVALID_HANDLE_VALUE;
    char* cut = strrchr(p, '/');
    const char* wild = cut ? cut + 1 : p;
    std::string dir = cut ? std::string(p, (size_t)(cut - p)) : std::string(".");
    if (dir.empty()) dir = "/";
    if (strlen(wild) >= MAX_PATH) return INVALID_HANDLE_VALUE;

    Enumeration* e = (Enumeration*)calloc(1, sizeof *e);
    if (!e) return INVALID_HANDLE_VALUE;
    e->matchAll = !strcmp(wild, "*") || !strcmp(wild, "*.*");
    e->next = e->matchAll ? 0 : 2;
    strcpy(e->pattern, wild);
    e->dir = opendir(dir.c_str());
    if (!e->dir || fstat(dirfd(e->dir), &e->self) != 0 || !nextFound(e, findData)) {
        if (e->dir) closedir(e->dir);
        free(e);
        return INVALID_HANDLE_VALUE;
    }
    return (HANDLE)e;
}

BOOL FindNextFileA(HANDLE enumeration, WIN32_FIND_DATAA* findData) {
    if (enumeration == INVALID_HANDLE_VALUE || !enumeration) return FALSE;
    return nextFound((Enumeration*)enumeration, findData);
}

BOOL FindClose(HANDLE enumeration) {
    if (enumeration == INVALID_HANDLE_VALUE || !enumeration) return FALSE;
    Enumeration* e = (Enumeration*)enumeration;
    closedir(e->dir);
    free(e);
    return TRUE;
}

// Opens a file or folder only to identify it (GetFileInformationByHandle).
HANDLE CreateFileA(LPCSTR path, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    char p[4096];
    if (!toPosix(path, p, sizeof p)) return INVALID_HANDLE_VALUE;
    int fd = open(p, O_PATH | O_CLOEXEC);
    return fd < 0 ? INVALID_HANDLE_VALUE : (HANDLE)(intptr_t)fd;
}

BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
    struct stat st;
    if (file == INVALID_HANDLE_VALUE || fstat((int)(intptr_t)file, &st) != 0) return FALSE;
    memset(info, 0, sizeof *info);
    fillAttributes(info, st);
    info->dwVolumeSerialNumber = (DWORD)st.st_dev;
    info->nNumberOfLinks = (DWORD)st.st_nlink;
    info->nFileIndexHigh = (DWORD)((uint64_t)st.st_ino >> 32);
    info->nFileIndexLow = (DWORD)st.st_ino;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    return handle != INVALID_HANDLE_VALUE && close((int)(intptr_t)handle) == 0;
}

// A drive path ("C:\a", "C:a") is full already, as on Windows, and keeps
// its drive and backslashes; one that starts with a separator is POSIX
// absolute; any other is taken from the current directory. "." and ".."
// are collapsed, never above the root.
DWORD GetFullPathNameA(LPCSTR path, DWORD size, LPSTR buffer, LPSTR* filePart) {
    if (!*path) return 0;  // as on Windows: an empty name is no path
    std::string root, rest;
    char separator = '/';
    if (((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':') {
        root.assign(path, 2);
        rest = path + 2;
        separator = '\\';
    } else if (isSeparator(path[0])) {
        rest = path;
    } else {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return 0;
        rest = std::string(cwd) + "/" + path;
    }
    std::string full = root;
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && isSeparator(rest[i])) i++;
        size_t end = i;
        while (end < rest.size() && !isSeparator(rest[end])) end++;
        std::string part = rest.substr(i, end - i);
        i = end;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            size_t cut = full.find_last_of(separator);
            full.resize(cut == std::string::npos || cut < root.size() ? root.size() : cut);
            continue;
        }
        full += separator;
        full += part;
    }
    if (full.size() == root.size() || (!rest.empty() && isSeparator(rest.back()))) full += separator;

    if (full.size() + 1 > size) return (DWORD)full.size() + 1;
    memcpy(buffer, full.c_str(), full.size() + 1);
    if (filePart) {
        char* last = strrchr(buffer, separator);
        *filePart = last && last[1] ? last + 1 : NULL;
    }
    return (DWORD)full.size();
}

// FO_COPY with FOF_MULTIDESTFILES: the n-th name of pFrom goes to the n-th
// name of pTo, in order, making missing folders and overwriting what is
// there. Stops at the first failure; what was copied before stays.
int SHFileOperationA(SHFILEOPSTRUCTA* op) {
    op->fAnyOperationsAborted = FALSE;
    if (op->wFunc != FO_COPY || !(op->fFlags & FOF_MULTIDESTFILES) || !op->pFrom || !op->pTo)
        return DE_INVALIDFILES;
    std::string madeFolder;  // the folder made or found last: most files share it
    const char* from = op->pFrom;
    const char* to = op->pTo;
    char fromPath[4096], toPath[4096];
    for (; *from; from += strlen(from) + 1, to += strlen(to) + 1) {
        if (!*to) return DE_INVALIDFILES;
        if (!toPosix(from, fromPath, sizeof fromPath)) return DE_ACCESSDENIEDSRC;
        if (!toPosix(to, toPath, sizeof toPath)) return ERRORONDEST;
        const char* cut = strrchr(toPath, '/');
        if (cut && cut > toPath) {
            size_t n = (size_t)(cut - toPath);
            if (madeFolder.size() != n || madeFolder.compare(0, n, toPath, n) != 0) {
                std::string folder(toPath, n);
                if (!makeFolders(folder)) return ERRORONDEST;
                madeFolder = folder;
            }
        }
        int code = copyOneFile(fromPath, toPath);
        if (code) return code;
    }
    return 0;
}

int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
    fprintf(stderr, "%s: %s\n", caption, text);
    return 1;  // IDOK
}

int CompareStringA(LCID, DWORD flags, LPCSTR a, int lengthA, LPCSTR b, int lengthB) {
    const size_t na = lengthA < 0 ? strlen(a) : (size_t)lengthA, nb = lengthB < 0 ? strlen(b) : (size_t)lengthB;
    for (size_t i = 0; i < na && i < nb; i++) {
        int ca = (unsigned char)a[i], cb = (unsigned char)b[i];
        if (flags & NORM_IGNORECASE) {
            if (ca < 0x80) ca = tolower(ca);
            if (cb < 0x80) cb = tolower(cb);
        }
        if (ca != cb) return ca < cb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    return na == nb ? CSTR_EQUAL : na < nb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

HMODULE GetModuleHandleA(LPCSTR) { return NULL; }
FARPROC GetProcAddress(HMODULE, LPCSTR) { return NULL; }
HANDLE GetCurrentProcess() { return (HANDLE)(intptr_t)-1; }
UINT GetSystemWindowsDirectoryA(LPSTR, UINT) { return 0; }

// msvcrt's text mode over a binary stream.
namespace {

struct TextFile {
    FILE* file;
    bool ended;  // Ctrl-Z was read: the input ends there
};

ssize_t textRead(void* cookie, char* out, size_t room) {
    TextFile* t = (TextFile*)cookie;
    size_t n = 0;
    while (n < room && !t->ended) {
        int c = getc(t->file);
        if (c == EOF) break;
        if (c == 0x1A) {
            t->ended = true;
            break;
        }
        if (c == '\r') {
            int after = getc(t->file);
            if (after == '\n')
                c = '\n';
            else if (after != EOF)
                ungetc(after, t->file);
        }
        out[n++] = (char)c;
    }
    return (ssize_t)n;
}

ssize_t textWrite(void* cookie, const char* in, size_t size) {
    TextFile* t = (TextFile*)cookie;
    for (size_t i = 0; i < size; i++) {
        if (in[i] == '\n' && putc('\r', t->file) == EOF) return -1;
        if (putc(in[i], t->file) == EOF) return -1;
    }
    return (ssize_t)size;
}

int textClose(void* cookie) {
    TextFile* t = (TextFile*)cookie;
    int r = fclose(t->file);
    free(t);
    return r;
}

}  // namespace

FILE* winFopen(const char* path, const char* mode) {
    char p[4096];
    if (!toPosix(path, p, sizeof p)) return NULL;
    if (strchr(mode, 'b')) return fopen(p, mode);
    char binary[8];
    size_t n = 0;
    for (const char* m = mode; *m && n + 2 < sizeof binary; m++)
        if (*m != 't') binary[n++] = *m;
    binary[n++] = 'b';
    binary[n] = 0;
    FILE* file = fopen(p, binary);
    if (!file) return NULL;
    TextFile* t = (TextFile*)calloc(1, sizeof *t);
    if (!t) {
        fclose(file);
        return NULL;
    }
    t->file = file;
    cookie_io_functions_t io = {textRead, textWrite, NULL, textClose};
    char cookieMode[3] = {mode[0], (char)(strchr(mode, '+') ? '+' : 0), 0};
    FILE* stream = fopencookie(t, cookieMode, io);
    if (!stream) textClose(t);
    return stream;
}
