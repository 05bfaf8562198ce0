// The few Windows calls and types the engine and the unattended run use,
// stood in for over POSIX, so that the same sources build and run natively.
//
// It behaves as the engine expects of Windows:
//  - '\' and '/' both separate path components; "C:\Work\a.txt" is a full
//    path, found as the folder "C:" under the current directory;
//  - an enumeration opens with "." and "..", then the directory's entries;
//  - times are FILETIME, 100 ns ticks since 1601-01-01;
//  - fopen without 'b' is msvcrt's text mode: CR LF reads as LF, Ctrl-Z ends
//    the input, and every LF written becomes CR LF; a read that fails is an
//    error (ferror), not the end;
//  - the ANSI code page is UTF-8: Linux file names are bytes, in UTF-8.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef int BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef unsigned int UINT;
typedef void* HANDLE;
typedef void* HWND;
typedef char CHAR;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef uint32_t LCID;
typedef uint16_t WCHAR;  // a UTF-16 code unit
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef BOOL* LPBOOL;

#define WINAPI

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_DEVICE 0x00000040  // here: a fifo, socket or device file
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define OPEN_EXISTING 3
#define DELETE 0x00010000
#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define MOVEFILE_REPLACE_EXISTING 0x00000001

// Windows' error codes, as GetLastError and the copy give them for what
// errno says.
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NOT_SAME_DEVICE 17  // a rename onto another file system
#define ERROR_NO_MORE_FILES 18
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_DISK_FULL 39
#define ERROR_NETNAME_DELETED 64  // a network drive dropped: only failListingAfter gives it
#define ERROR_DISK_FULL 112
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_CANCELLED 1223
#define ERROR_FUNCTION_FAILED 1627  // any other failure

#define LOCALE_INVARIANT 0x007F
#define NORM_IGNORECASE 0x00000001
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3

#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
};

struct WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};

struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard };

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// The shell's file operation, as far as a batch copy uses it.
#define FO_COPY 0x0002
#define FOF_MULTIDESTFILES 0x0001
#define FOF_SILENT 0x0004
#define FOF_NOCONFIRMATION 0x0010
#define FOF_NOCONFIRMMKDIR 0x0200
#define FOF_NOERRORUI 0x0400

struct SHFILEOPSTRUCTA {
    HWND hwnd;
    UINT wFunc;
    LPCSTR pFrom;
    LPCSTR pTo;
    WORD fFlags;
    BOOL fAnyOperationsAborted;
    void* hNameMappings;
    LPCSTR lpszProgressTitle;
};

// A malformed operation (not FO_COPY, no names): the Windows shell's code.
// Every other failure of the stand-in's copy is Windows' error code for what
// errno said (ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ...).
#define DE_INVALIDFILES 0x7C

// The error of the last failed FindFirstFileA, FindNextFileA,
// CreateDirectoryA, CopyFileA, MoveFileExA, DeleteFileA or RemoveDirectoryA,
// by errno; ERROR_FILE_NOT_FOUND when a pattern matched nothing,
// ERROR_NO_MORE_FILES when an enumeration came to its end. A listing that meets a name whose
// attributes cannot be read fails with ERROR_ACCESS_DENIED.
DWORD GetLastError();
void SetLastError(DWORD error);
BOOL PathFileExistsA(LPCSTR path);
BOOL GetFileAttributesExA(LPCSTR path, GET_FILEEX_INFO_LEVELS level, void* data);
// A pattern without '*' or '?' names one entry, found as the file system
// finds it, and listed as Windows lists it: under the spelling its folder
// keeps, which on a drive that ignores case may differ from the pattern's.
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* findData);
BOOL FindNextFileA(HANDLE enumeration, WIN32_FIND_DATAA* findData);
BOOL FindClose(HANDLE enumeration);
// A handle that does not share delete marks the file; DELETE access fails
// with ERROR_SHARING_VIOLATION while one is open (and the other way round).
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
// Sets only the last-write time, of a file opened with GENERIC_WRITE.
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite);
BOOL CloseHandle(HANDLE handle);
DWORD GetFullPathNameA(LPCSTR path, DWORD size, LPSTR buffer, LPSTR* filePart);
int SHFileOperationA(SHFILEOPSTRUCTA* operation);
// NORM_IGNORECASE folds the letters of ASCII, Latin-1, Greek and Cyrillic,
// as a drive that ignores case does; the locale is not looked at.
int CompareStringA(LCID locale, DWORD flags, LPCSTR a, int lengthA, LPCSTR b, int lengthB);

BOOL CreateDirectoryA(LPCSTR path, void* security);
// Copies a file over what is there, without making its folder, in place:
// a copy that fails half way leaves what it wrote.
BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists);
// Renames a file, over an existing one only with MOVEFILE_REPLACE_EXISTING
// (never over a folder).
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
// The local time, by the TZ the process runs in.
void GetLocalTime(SYSTEMTIME* time);
// The time now (UTC), from the fine clock, not from the coarse one that
// stamps files: a file written after it may bear an earlier time.
void GetSystemTimeAsFileTime(FILETIME* time);
BOOL DeleteFileA(LPCSTR path);
// Removes an empty folder; never what a link leads to.
BOOL RemoveDirectoryA(LPCSTR path);

// The code page conversions, as Windows does them, for CP_ACP (UTF-8 here,
// so GetACP gives CP_UTF8) and CP_UTF8, and into UTF-16 for 1251
// (Windows-1251) too: a length of -1 takes the text up to and with its
// NUL; room 0 asks for the size; 0 is returned on a bad argument or when
// the room is too small. Invalid UTF-8 (overlong forms and surrogates
// included) becomes one U+FFFD for each maximal invalid part, or fails with
// MB_ERR_INVALID_CHARS; a lone surrogate becomes U+FFFD in UTF-8, which
// takes neither flags nor default character.
UINT GetACP();
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR wide, int room);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int length, LPSTR text, int room,
                        LPCSTR defaultChar, LPBOOL usedDefaultChar);

// msvcrt's fopen: text mode unless the mode holds 'b'. fflush hands what
// was written to the system. A text-mode stream does not seek.
FILE* winFopen(const char* path, const char* mode);
#define fopen winFopen

// msvcrt's _fileno, for winFopen's streams too (whose fileno is -1), and
// _commit: the file's data written to the disk, as FlushFileBuffers does.
int _fileno(FILE* stream);
int _commit(int fd);


// --- For tests only: faults planted in the stand-in ---

// A listing that fails half way, as when a network drive drops:
// failListingAfter(n) lets FindFirstFileA and FindNextFileA give n more
// entries ("." and ".." counted), then the next FindNextFileA fails with
// ERROR_NETNAME_DELETED, that call only; failListingAfter(-1) fails none.
void failListingAfter(long entries);

// Reads of the streams winFopen opened fail with EIO once they have read
// this many bytes in all, counted from this call, until it is called with -1.
void failReadsAfter(long bytes);

// A call made while each file's copy is under way, after its
// first 64 KiB are written, with the source's path, as when a person saves
// a file while it is being backed up; NULL makes none.
void whileCopying(void (*call)(const char* source));
