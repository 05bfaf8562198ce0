// The Windows calls of winapi_posix.h over POSIX (Linux): file queries,
// directory enumeration, full paths, the shell's batch copy, msvcrt's
// text-mode files and the code page conversions.
#include "winapi_posix.h"

#undef fopen  // this file needs the C library's own

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

DWORD lastError;
long listingEntriesLeft = -1;  // failListingAfter's count; -1: no listing fails

// Windows' code for what errno says.
DWORD winError(int error) {
    switch (error) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES: case EPERM: case EROFS: return ERROR_ACCESS_DENIED;
        case EBUSY: case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EXDEV: return ERROR_NOT_SAME_DEVICE;
        default: return ERROR_FUNCTION_FAILED;
    }
}

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
    bool literal;  // the pattern is one name, no wildcards
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

// Lists name as the entry found, with what it leads to; false, with errno
// saying why, when it is gone (ENOENT) or cannot be asked.
bool found(Enumeration* e, const char* name, unsigned char type, WIN32_FIND_DATAA* fd) {
    struct stat st;
    DWORD extra = type == DT_LNK ? FILE_ATTRIBUTE_REPARSE_POINT : 0;
    // A link is listed as what it leads to; a dangling one as a file.
    if (fstatat(dirfd(e->dir), name, &st, 0) != 0 && fstatat(dirfd(e->dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (type == DT_UNKNOWN && S_ISLNK(st.st_mode)) extra = FILE_ATTRIBUTE_REPARSE_POINT;
    fillFound(fd, name, st, extra);
    return true;
}

// The one entry a literal pattern names, if the file system finds it: under
// its own spelling, or on a drive that ignores case (exFAT) under the one the
// folder lists, the first that differs only in case.
bool foundLiteral(Enumeration* e, WIN32_FIND_DATAA* fd) {
    struct stat st;
    if (fstatat(dirfd(e->dir), e->pattern, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    std::string folded;
    unsigned char foldedType = 0;
    while (struct dirent* d = readdir(e->dir)) {
        if (!strcmp(d->d_name, e->pattern)) return found(e, d->d_name, d->d_type, fd);
        if (folded.empty() && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, d->d_name, -1, e->pattern, -1) == CSTR_EQUAL)
            folded = d->d_name, foldedType = d->d_type;
    }
    if (folded.empty()) errno = ENOENT;
    return !folded.empty() && found(e, folded.c_str(), foldedType, fd);
}

// The next entry of the directory that matches; false at its end, with
// lastError ERROR_NO_MORE_FILES as on Windows, or when the listing fails,
// with its error. A name whose attributes cannot be read (its folder may be
// read but not entered) fails the listing: a Windows listing carries every
// entry's attributes, so the engine takes a listing that ends for the whole
// folder, and a name skipped here would be lost without a word. A name
// gone since readdir is skipped.
bool nextFound(Enumeration* e, WIN32_FIND_DATAA* fd) {
    if (e->next < 2) {
        fillFound(fd, e->next == 0 ? "." : "..", e->self, 0);
        e->next++;
        return true;
    }
    if (e->literal) {
        e->literal = false;  // found once: the enumeration ends after it
        if (foundLiteral(e, fd)) return true;
        lastError = errno == ENOENT ? ERROR_NO_MORE_FILES : winError(errno);
        return false;
    }
    for (errno = 0; struct dirent* d = readdir(e->dir); errno = 0) {
        const char* name = d->d_name;
        if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
        if (!e->matchAll && fnmatch(e->pattern, name, 0) != 0) continue;
        if (found(e, name, d->d_type, fd)) return true;
        if (errno != ENOENT) break;
    }
    // readdir ends with errno 0, and fails with its error.
    lastError = errno ? winError(errno) : ERROR_NO_MORE_FILES;
    return false;
}


// Makes the folder and every missing folder above it.
bool makeFolders(const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        errno = ENOTDIR;  // a file stands where the folder goes
        return false;
    }
    if (errno != ENOENT) return false;
    size_t cut = dir.find_last_of('/');
    if (cut != std::string::npos && cut > 0 && !makeFolders(dir.substr(0, cut))) return false;
    return mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST;
}

void (*copyingCall)(const char* source);

// Copies the bytes of from to to; false with errno set when a read or a
// write fails. source is from's path, for the tests' call.
bool copyBytes(int from, int to, const char* source) {
    while (!copyingCall) {
        ssize_t n = copy_file_range(from, NULL, to, NULL, 1 << 30, 0);
        if (n == 0) return true;
        if (n > 0) continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
        return false;
    }
    static char buffer[1 << 16];
    for (bool first = true;; first = false) {
        ssize_t n = read(from, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buffer + done, (size_t)(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            done += w;
        }
        if (first && copyingCall) copyingCall(source);
    }
}

// Copies one file; 0, or Windows' code for what failed. As the system's
// copy does, it writes the destination in place, and stamps it with the
// source's last-write time (to the nanosecond) only once every byte is
// written: a copy that fails half way leaves what it wrote, with the time
// of its last write.
int copyOneFile(const char* fromPath, const char* toPath) {
    // Non-blocking, and only a regular file is read: a fifo would wait for a
    // writer forever, and a device such as /dev/zero never ends.
    int from = open(fromPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (from < 0) return (int)winError(errno);
    struct stat st;
    if (fstat(from, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(from);
        return ERROR_ACCESS_DENIED;
    }
    // A link where the copy goes is never written through.
    int to = open(toPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, (st.st_mode & 0777) | S_IWUSR);
    if (to < 0) {
        // A folder of the destination that is gone is a path not found.
        const int code = errno == ENOENT ? ERROR_PATH_NOT_FOUND : (int)winError(errno);
        close(from);
        return code;
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    int error = 0;
    if (!copyBytes(from, to, fromPath) || futimens(to, times) != 0) error = errno;
    if (close(to) != 0 && !error) error = errno;
    close(from);
    return error ? (int)winError(error) : 0;
}

}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

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
    lastError = ERROR_PATH_NOT_FOUND;
    if (!toPosix(pattern, p, sizeof p)) return INVALID_HANDLE_VALUE;
    char* cut = strrchr(p, '/');
    const char* wild = cut ? cut + 1 : p;
    std::string dir = cut ? std::string(p, (size_t)(cut - p)) : std::string(".");
    if (dir.empty()) dir = "/";
    if (strlen(wild) >= MAX_PATH) return INVALID_HANDLE_VALUE;

    Enumeration* e = (Enumeration*)calloc(1, sizeof *e);
    if (!e) return INVALID_HANDLE_VALUE;
    e->matchAll = !strcmp(wild, "*") || !strcmp(wild, "*.*");
    e->literal = !strpbrk(wild, "*?");
    e->next = e->matchAll ? 0 : 2;
    strcpy(e->pattern, wild);
    e->dir = opendir(dir.c_str());
    if (!e->dir) {
        lastError = errno == ENOENT ? ERROR_PATH_NOT_FOUND : winError(errno);
    } else if (fstat(dirfd(e->dir), &e->self) != 0) {
        lastError = winError(errno);
    } else if (nextFound(e, findData)) {
        if (listingEntriesLeft > 0) listingEntriesLeft--;
        return (HANDLE)e;
    } else if (lastError == ERROR_NO_MORE_FILES) {
        lastError = ERROR_FILE_NOT_FOUND;  // what Windows says of a pattern that matches nothing
    }
    if (e->dir) closedir(e->dir);
    free(e);
    return INVALID_HANDLE_VALUE;
}

BOOL FindNextFileA(HANDLE enumeration, WIN32_FIND_DATAA* findData) {
    if (enumeration == INVALID_HANDLE_VALUE || !enumeration) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (listingEntriesLeft == 0) {
        listingEntriesLeft = -1;
        lastError = ERROR_NETNAME_DELETED;
        return FALSE;
    }
    if (!nextFound((Enumeration*)enumeration, findData)) return FALSE;
    if (listingEntriesLeft > 0) listingEntriesLeft--;
    return TRUE;
}

void failListingAfter(long entries) { listingEntriesLeft = entries; }

BOOL FindClose(HANDLE enumeration) {
    if (enumeration == INVALID_HANDLE_VALUE || !enumeration) return FALSE;
    Enumeration* e = (Enumeration*)enumeration;
    closedir(e->dir);
    free(e);
    return TRUE;
}

// Opens a file or folder to ask about it, with Windows' sharing of delete:
// a handle that does not share it (its holder marks the file as its own)
// keeps any opening with DELETE access out, and is kept out by one, with
// ERROR_SHARING_VIOLATION. Between processes and within one, as on Windows:
// flock's locks belong to each opening. A handle that shares delete and
// asks no DELETE access only identifies.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, void*, DWORD disposition, DWORD, HANDLE) {
    char p[4096];
    if (!toPosix(path, p, sizeof p)) {
        lastError = winError(errno);
        return INVALID_HANDLE_VALUE;
    }
    const bool exclusive = access & DELETE, marks = !(share & FILE_SHARE_DELETE);
    int flags = exclusive || marks ? O_RDONLY | O_NONBLOCK : O_PATH;
    if (access & GENERIC_WRITE) flags = O_WRONLY;
    if (disposition == CREATE_NEW) flags |= O_CREAT | O_EXCL | O_NOFOLLOW;
    const int fd = open(p, flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        lastError = winError(errno);
        return INVALID_HANDLE_VALUE;
    }
    if ((exclusive || marks) && flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        lastError = errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : winError(errno);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return (HANDLE)(intptr_t)fd;
}

BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME*, const FILETIME* lastWrite) {
    const uint64_t ticks = (uint64_t)lastWrite->dwHighDateTime << 32 | lastWrite->dwLowDateTime;
    const int64_t unixTicks = (int64_t)(ticks - 116444736000000000ULL);  // before 1970 too
    const int64_t seconds = unixTicks >= 0 ? unixTicks / 10000000 : -((-unixTicks + 9999999) / 10000000);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {(time_t)seconds, (long)(unixTicks - seconds * 10000000) * 100}};
    if (file != INVALID_HANDLE_VALUE && futimens((int)(intptr_t)file, times) == 0) return TRUE;
    lastError = winError(errno);
    return FALSE;
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

BOOL CreateDirectoryA(LPCSTR path, void*) {
    char p[4096];
    if (toPosix(path, p, sizeof p) && mkdir(p, 0777) == 0) return TRUE;
    lastError = winError(errno);
    return FALSE;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    char fromPath[4096], toPath[4096];
    struct stat st;
    if (!toPosix(from, fromPath, sizeof fromPath) || !toPosix(to, toPath, sizeof toPath)) {
        lastError = winError(errno);
        return FALSE;
    }
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && lstat(toPath, &st) == 0) {
        lastError = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    if (rename(fromPath, toPath) == 0) return TRUE;
    // Windows moves no file over a folder.
    lastError = errno == EISDIR ? ERROR_ACCESS_DENIED : winError(errno);
    return FALSE;
}

BOOL DeleteFileA(LPCSTR path) {
    char p[4096];
    if (toPosix(path, p, sizeof p) && unlink(p) == 0) return TRUE;
    lastError = winError(errno);
    return FALSE;
}

void GetLocalTime(SYSTEMTIME* time) {
    struct timespec now;
    struct tm local;
    clock_gettime(CLOCK_REALTIME, &now);
    localtime_r(&now.tv_sec, &local);
    *time = {(WORD)(local.tm_year + 1900), (WORD)(local.tm_mon + 1), (WORD)local.tm_wday, (WORD)local.tm_mday,
             (WORD)local.tm_hour, (WORD)local.tm_min, (WORD)local.tm_sec, (WORD)(now.tv_nsec / 1000000)};
}

void GetSystemTimeAsFileTime(FILETIME* time) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *time = toFiletime(now);
}

void whileCopying(void (*call)(const char* source)) { copyingCall = call; }

BOOL RemoveDirectoryA(LPCSTR path) {
    char p[4096];
    struct stat st;
    if (toPosix(path, p, sizeof p) && lstat(p, &st) == 0 && !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
    } else if (toPosix(path, p, sizeof p)) {
        // A folder held without delete sharing stays, as on Windows.
        const int fd = open(p, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (fd >= 0) close(fd);
        if (held) {
            lastError = ERROR_SHARING_VIOLATION;
            return FALSE;
        }
        if (rmdir(p) == 0) return TRUE;
    }
    lastError = errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY : winError(errno);
    return FALSE;
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL) {
    char fromPath[4096], toPath[4096];
    int code = toPosix(from, fromPath, sizeof fromPath) && toPosix(to, toPath, sizeof toPath)
                   ? copyOneFile(fromPath, toPath)
                   : (int)winError(errno);
    lastError = (DWORD)code;
    return code == 0;
}

// FO_COPY with FOF_MULTIDESTFILES: the n-th name of pFrom goes to the n-th
// name of pTo, in order, making missing folders and overwriting what is
// there. Stops at the first failure; what was copied before stays. As the
// Windows shell, it takes no path of MAX_PATH characters or more.
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
        if (MultiByteToWideChar(CP_UTF8, 0, from, -1, NULL, 0) > MAX_PATH ||
            MultiByteToWideChar(CP_UTF8, 0, to, -1, NULL, 0) > MAX_PATH)
            return ERROR_FILENAME_EXCED_RANGE;
        if (!toPosix(from, fromPath, sizeof fromPath) || !toPosix(to, toPath, sizeof toPath))
            return (int)winError(errno);
        const char* cut = strrchr(toPath, '/');
        if (cut && cut > toPath) {
            size_t n = (size_t)(cut - toPath);
            if (madeFolder.size() != n || madeFolder.compare(0, n, toPath, n) != 0) {
                std::string folder(toPath, n);
                if (!makeFolders(folder)) return (int)winError(errno);
                madeFolder = folder;
            }
        }
        int code = copyOneFile(fromPath, toPath);
        // Its folder went away since it was made: made again, as the
        // shell makes every missing folder of a target.
        if (code == ERROR_PATH_NOT_FOUND && !madeFolder.empty() && makeFolders(madeFolder))
            code = copyOneFile(fromPath, toPath);
        if (code) return code;
    }
    return 0;
}


// The code page conversions.
namespace {

// Windows-1251 from 0x80 on. 0x98, which the code page leaves unassigned,
// stands for U+0098, as on Windows.
const WCHAR cp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

// The character of the UTF-8 text s (n bytes) that starts at *at, which
// moves past it; -1 when none starts there, *at then past the maximal part
// of a character that does (at least one byte).
long utf8Char(const unsigned char* s, size_t n, size_t* at) {
    const unsigned char lead = s[(*at)++];
    if (lead < 0x80) return lead;
    int more;
    long c;
    unsigned char low = 0x80, high = 0xBF;  // what the byte after the lead may be
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1, c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2, c = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // no overlong form
        if (lead == 0xED) high = 0x9F;  // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3, c = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // no overlong form
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return -1;
    }
    for (; more > 0; more--, low = 0x80, high = 0xBF) {
        if (*at >= n || s[*at] < low || s[*at] > high) return -1;
        c = c << 6 | (s[(*at)++] & 0x3F);
    }
    return c;
}

bool isUtf8Page(UINT codePage) { return codePage == CP_ACP || codePage == CP_UTF8; }

// Appends count units or bytes to out (of room; room 0 only counts); false
// when they do not fit.
template <typename Unit>
bool put(Unit* out, size_t room, size_t* done, const Unit* units, size_t count) {
    if (room && *done + count > room) return false;
    if (room) memcpy(out + *done, units, count * sizeof *units);
    *done += count;
    return *done <= INT32_MAX;
}

}  // namespace

UINT GetACP() { return CP_UTF8; }

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide, int room) {
    if ((!isUtf8Page(codePage) && codePage != 1251) || (flags & ~(DWORD)MB_ERR_INVALID_CHARS) || !text ||
        length == 0 || length < -1 || room < 0 || (room && !wide))
        return 0;
    const unsigned char* s = (const unsigned char*)text;
    const size_t n = length == -1 ? strlen(text) + 1 : (size_t)length;
    size_t done = 0;
    for (size_t at = 0; at < n;) {
        long c = isUtf8Page(codePage) ? utf8Char(s, n, &at) : s[at] < 0x80 ? s[at++] : cp1251High[s[at++] - 0x80];
        if (c < 0 && (flags & MB_ERR_INVALID_CHARS)) return 0;
        if (c < 0) c = 0xFFFD;
        WCHAR units[2] = {(WCHAR)c, 0};
        if (c >= 0x10000) units[0] = (WCHAR)(0xD800 + ((c - 0x10000) >> 10)), units[1] = (WCHAR)(0xDC00 + (c & 0x3FF));
        if (!put(wide, (size_t)room, &done, units, c >= 0x10000 ? 2 : 1)) return 0;
    }
    return (int)done;
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int length, LPSTR text, int room,
                        LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    if (!isUtf8Page(codePage) || flags || defaultChar || usedDefaultChar || !wide || length == 0 || length < -1 ||
        room < 0 || (room && !text))
        return 0;
    size_t n = 0;
    if (length == -1)
        while (wide[n++]) {}
    else
        n = (size_t)length;
    size_t done = 0;
    for (size_t i = 0; i < n; i++) {
        char bytes[4];
        size_t count = 1;
        long c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;  // a lone surrogate
        if (c < 0x80) {
            bytes[0] = (char)c;
        } else {
            count = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
            const unsigned char leads[5] = {0, 0, 0xC0, 0xE0, 0xF0};
            for (size_t k = count - 1; k > 0; k--, c >>= 6) bytes[k] = (char)(0x80 | (c & 0x3F));
            bytes[0] = (char)(leads[count] | c);
        }
        if (!put(text, (size_t)room, &done, bytes, count)) return 0;
    }
    return (int)done;
}

// The lower case of a character, for the letters that NTFS and exFAT fold:
// ASCII, Latin-1, Greek and Cyrillic here.
namespace {
long lowerOf(long c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F))
        return c + 0x20;
    return c >= 0x400 && c <= 0x40F ? c + 0x50 : c;
}
}  // namespace

int CompareStringA(LCID, DWORD flags, LPCSTR a, int lengthA, LPCSTR b, int lengthB) {
    const unsigned char* sa = (const unsigned char*)a;
    const unsigned char* sb = (const unsigned char*)b;
    const size_t na = lengthA < 0 ? strlen(a) : (size_t)lengthA, nb = lengthB < 0 ? strlen(b) : (size_t)lengthB;
    size_t ia = 0, ib = 0;
    while (ia < na && ib < nb) {
        // Characters of UTF-8, the ANSI code page here; a byte of none stands for itself.
        const size_t at = ia, bt = ib;
        long ca = utf8Char(sa, na, &ia), cb = utf8Char(sb, nb, &ib);
        if (ca < 0) ca = 0x110000 + sa[at], ia = at + 1;
        if (cb < 0) cb = 0x110000 + sb[bt], ib = bt + 1;
        if (flags & NORM_IGNORECASE) ca = lowerOf(ca), cb = lowerOf(cb);
        if (ca != cb) return ca < cb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    const bool endA = ia >= na, endB = ib >= nb;
    return endA && endB ? CSTR_EQUAL : endA ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

// msvcrt's streams over the C library's binary ones: text mode's
// translations, the descriptor under a stream, and the fault that tests
// plant in reading.
namespace {

struct WinFile {
    FILE* file;      // the C library's binary stream underneath
    FILE* stream;    // the stream handed out over it
    bool text;       // msvcrt's text mode
    bool ended;      // Ctrl-Z was read: the input ends there
    WinFile* next;   // the next stream winFopen opened and nobody closed
};

WinFile* openFiles;
long readsLeft = -1;  // bytes the streams may read before they fail; -1: no limit

size_t textRead(WinFile* t, char* out, size_t room) {
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
    return n;
}

// A failed read of the file underneath fails the stream's read, as
// ReadFile's failure fails msvcrt's: the reader tells it from the end.
ssize_t winRead(void* cookie, char* out, size_t room) {
    WinFile* w = (WinFile*)cookie;
    if (readsLeft == 0) {
        errno = EIO;
        return -1;
    }
    if (readsLeft > 0 && room > (size_t)readsLeft) room = (size_t)readsLeft;
    const size_t n = w->text ? textRead(w, out, room) : fread(out, 1, room, w->file);
    if (readsLeft > 0) readsLeft -= (long)n;
    return n == 0 && ferror(w->file) ? -1 : (ssize_t)n;
}

// What the stream hands over reaches the system here, as msvcrt's fflush
// hands it to WriteFile, so that a killed process leaves it.
ssize_t winWrite(void* cookie, const char* in, size_t size) {
    WinFile* w = (WinFile*)cookie;
    for (size_t i = 0; w->text && i < size; i++) {
        if (in[i] == '\n' && putc('\r', w->file) == EOF) return -1;
        if (putc(in[i], w->file) == EOF) return -1;
    }
    if (!w->text && fwrite(in, 1, size, w->file) != size) return -1;
    return fflush(w->file) ? -1 : (ssize_t)size;
}

// Only a binary stream seeks: text mode's positions are not the file's.
int winSeek(void* cookie, off64_t* offset, int whence) {
    WinFile* w = (WinFile*)cookie;
    if (fseeko(w->file, *offset, whence)) return -1;
    *offset = ftello(w->file);
    return 0;
}

int winClose(void* cookie) {
    WinFile* w = (WinFile*)cookie;
    for (WinFile** at = &openFiles; *at; at = &(*at)->next)
        if (*at == w) {
            *at = w->next;
            break;
        }
    int r = fclose(w->file);
    free(w);
    return r;
}

}  // namespace

FILE* winFopen(const char* path, const char* mode) {
    char p[4096];
    if (!toPosix(path, p, sizeof p)) return NULL;
    char binary[8];
    size_t n = 0;
    for (const char* m = mode; *m && n + 2 < sizeof binary; m++)
        if (*m != 't' && *m != 'b') binary[n++] = *m;
    binary[n++] = 'b';
    binary[n] = 0;
    FILE* file = fopen(p, binary);
    if (!file) return NULL;
    WinFile* w = (WinFile*)calloc(1, sizeof *w);
    if (!w) {
        fclose(file);
        return NULL;
    }
    w->file = file;
    w->text = !strchr(mode, 'b');
    cookie_io_functions_t io = {winRead, winWrite, w->text ? NULL : winSeek, winClose};
    char cookieMode[3] = {mode[0], (char)(strchr(mode, '+') ? '+' : 0), 0};
    w->stream = fopencookie(w, cookieMode, io);
    if (!w->stream) {
        winClose(w);
        return NULL;
    }
    w->next = openFiles;
    openFiles = w;
    return w->stream;
}

int _fileno(FILE* stream) {
    for (WinFile* w = openFiles; w; w = w->next)
        if (w->stream == stream) return fileno(w->file);
    return fileno(stream);
}

int _commit(int fd) { return fsync(fd) ? -1 : 0; }

void failReadsAfter(long bytes) { readsLeft = bytes; }
