// A fresh temporary folder for one test, entered as the current directory
// and removed afterwards, with helpers to lay out real files in it.
//
// Paths come in two forms. A "relative" path (backslashes, "src\a.txt")
// names a place in the sandbox's test drive. full() gives the path the
// program is handed for it: on Windows the real full path below the
// sandbox; on POSIX "C:\src\a.txt", which the stand-in layer finds as the
// folder "C:" in the current directory, so drive paths are exercised there.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

// Starts a command line in the current directory; false when it cannot.
bool startProcess(std::string commandLine, PROCESS_INFORMATION* process);
// The process's exit code once it ends within waitMs, or -1 after it was
// ended by force; its handles are closed either way.
int finishProcess(PROCESS_INFORMATION* process, unsigned waitMs);
// The Unix path Wine keeps a Windows path at, or "" outside Wine.
std::string unixPath(const std::string& windowsPath);
#endif

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // The program's path for a relative path (no trailing backslash).
    std::string full(const std::string& rel) const;
    // Where the copy of full(rel) goes below a destination directory:
    // "C\src\a.txt" on POSIX, "C\users\...\sandbox\src\a.txt" on Windows.
    std::string mirror(const std::string& rel) const;
    // The native path of a relative path, for the test's own file access.
    std::string native(const std::string& rel) const;

    void mkdir(const std::string& rel) const;
    // Writes a file (making its folders), with a last-write time in FILETIME
    // ticks when time is not 0.
    void write(const std::string& rel, const std::string& content, uint64_t time = 0) const;
    std::string read(const std::string& rel) const;
    bool exists(const std::string& rel) const;
    void setTime(const std::string& rel, uint64_t time) const;
    uint64_t time(const std::string& rel) const;
    // Every file below rel as "sub\name=content", sorted.
    std::vector<std::string> tree(const std::string& rel) const;

    // The backup list, written byte for byte.
    void writeList(const std::string& bytes) const;
    // The log file of an unattended run, byte for byte ("<none>" if absent).
    std::string log() const;

    std::string root;  // native full path of the sandbox

private:
    std::string previousDir;
};

// FILETIME ticks of 2020-01-02 03:04:05.6789012 UTC and friends: fixed times
// so that comparisons are exact.
constexpr uint64_t T2020 = 132223838456789012ULL;
constexpr uint64_t TICK = 1;
constexpr uint64_t SECOND = 10000000ULL;
