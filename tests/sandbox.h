// A fresh temporary folder for one test, entered as the current directory
// and removed afterwards, with helpers to lay out real files in it.
//
// A "relative" path (backslashes, "src\a.txt") names a place in the
// sandbox's test drive. full() gives the path the program is handed for it:
// on Windows the real full path below the sandbox; on POSIX "C:\src\a.txt",
// which the stand-in layer finds as the folder "C:" in the current
// directory, so drive paths are exercised there too.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

// Starts a command line in the current directory; false when it cannot.
bool startProcess(std::string commandLine, PROCESS_INFORMATION* process);
// The exit code once the process ends within waitMs, or -1 after it was
// ended by force; its handles are closed either way.
int finishProcess(PROCESS_INFORMATION* process, unsigned waitMs);
// The Unix path Wine keeps a Windows path at, or "" outside Wine.
std::string unixPath(const std::string& windowsPath);
// Text in a code page as UTF-16.
std::wstring wideOf(const std::string& text, UINT codePage);
#endif

using Strings = std::vector<std::string>;

inline Strings sorted(Strings s) {
    std::sort(s.begin(), s.end());
    return s;
}

// Every file below a native folder as "sub\name=content", sorted.
Strings treeAt(const std::string& nativeDir);

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // The program's path for a relative path (no trailing backslash).
    std::string full(const std::string& rel) const;
    // Where the copy of full(rel) goes below a destination: "C\src\a.txt".
    std::string mirror(const std::string& rel) const;
    // The native path of a relative path, for the test's own file access.
    std::string native(const std::string& rel) const;

    void mkdir(const std::string& rel) const;
    void remove(const std::string& rel) const;
    // Writes a file (making its folders), with a last-write time in FILETIME
    // ticks unless time is 0.
    void write(const std::string& rel, const std::string& content, uint64_t time = 0) const;
    uint64_t time(const std::string& rel) const;  // 0 when there is none
    Strings tree(const std::string& rel) const { return treeAt(native(rel)); }

    void writeList(const std::string& bytes) const;  // the backup list
    // A file of the sandbox's own folder, "<none>" if absent: the run's log by default.
    std::string log(const char* name = "QuarnelvistroLOG.txt") const;

    std::string root;  // native full path of the sandbox

private:
    std::string previousDir;
};

// FILETIME ticks of 2020-01-02 03:04:05.6789012 UTC: fixed times compare exactly.
constexpr uint64_t T2020 = 132223838456789012ULL;
// 1970-01-01 and 2120-06-01 UTC: beyond what FAT32 and exFAT keep. The
// drives' limits in UTC: 1980-01-01 00:00:00, and 2107-12-31 23:59:58.
constexpr uint64_t T1970 = 116444736000000000ULL, T2120 = 163911168000000000ULL;
constexpr uint64_t FAT_EARLIEST = 119600064000000000ULL, FAT_LATEST = 159992927980000000ULL;
constexpr uint64_t TICK = 1;
constexpr uint64_t SECOND = 10000000ULL;
