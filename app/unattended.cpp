#include <stdint.h>
#include <string.h>
#ifdef _WIN32
#include <io.h>
#endif

#include "alloc.h"
#include "front_end.h"
#include "run_messages.h"

static const char logFileName[] = "QuarnelvistroLOG.txt";

bool hasUnattendedSwitch(const char* commandLine) { return strstr(commandLine, "-w") != NULL; }

const char* readerMessage(ReaderResult result) {
    switch (result) {
        case READ_NO_LIST: return msgNoList;
        case READ_NO_ATTRIBUTES: return msgNoAttributes;
        case READ_NO_MEMORY: return msgNoMemory;
        case READ_DONE: break;
    }
    return "";
}

#ifdef _WIN32
// The log is in Windows-1251, as the Russian Windows it is made for reads it.
// A character that Windows-1251 lacks is written "<U+XXXX>": no name can
// hold '<' or '>', so nothing in the log reads two ways.
static void putLog(const char* text, FILE* log) {
    for (const char* p = text; *p;) {
        int n = 1;  // the bytes of one UTF-8 character
        while (n < 4 && (p[n] & 0xC0) == 0x80) n++;
        WCHAR wide[2];
        const int units = MultiByteToWideChar(CP_UTF8, 0, p, n, wide, 2);
        p += n;
        char byte;
        BOOL lacked = FALSE;
        if (units == 1 && WideCharToMultiByte(1251, WC_NO_BEST_FIT_CHARS, wide, 1, &byte, 1, NULL, &lacked) == 1 &&
            !lacked) {
            fputc(byte, log);
            continue;
        }
        const uint32_t c = units == 2   ? 0x10000 + ((wide[0] - 0xD800u) << 10) + (wide[1] - 0xDC00u)
                           : units == 1 ? wide[0]
                                        : 0xFFFD;
        fprintf(log, "<U+%04X>", (unsigned)c);
    }
}

// How long the box that says the log could not be opened waits for a person
// at the desktop: a scheduled run that no one sees must still end, or the
// scheduler starts no later run.
static const UINT logBoxMs = 60000;

// A thread timer's call: ends the box's modal loop as WM_QUIT ends it.
static void CALLBACK endLogBox(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); }
#else
// The log is in UTF-8, as the names of the files it names.
static void putLog(const char* text, FILE* log) { fputs(text, log); }
#endif

void OutPathToFile(const PathList* list, const char* header, FILE* file) {
    putLog(header, file);
    putLog("\n", file);
    for (const PathNode* node = list->first; node; node = node->next) {
        putLog(node->path, file);
        putLog("\n", file);
    }
}

// What was written to the log, forced to the disk as the start line and
// the report must be; false when any write to it failed (no room, a quota,
// a read-only drive), or the forcing did.
static bool commitLog(FILE* log) { return fflush(log) == 0 && !ferror(log) && _commit(_fileno(log)) == 0; }

// No log rather than an empty or a cut one: an empty log reads as a
// complete backup. Where a folder holds the name, or none is, nothing
// happens.
static void removeLog() { DeleteFileA(logFileName); }

// A fresh log holding msgRunNotFinished, on the disk and not only in a
// buffer, so that a run killed or a machine gone down before the report
// replaces the line leaves it; NULL when the log cannot be opened or the
// line not written so, and then the log is gone at once, lest a run that
// dies leave it empty.
static FILE* openLogAsUnfinished() {
    FILE* log = fopen(logFileName, "wt");
    if (!log) return NULL;
    putLog(msgRunNotFinished, log);
    if (commitLog(log)) return log;
    fclose(log);
    removeLog();
    return NULL;
}

// The run's report as the log holds it; empty for a complete backup. With
// endLine a report that is not empty ends with a line end, as a text
// printed for a person does.
static void putReport(ReaderResult result, const char* errorText, FILE* out, bool endLine) {
    // What the report ends with; "" when it is empty or ends with its list.
    const char* last = result != READ_DONE ? readerMessage(result)
                       : errorText         ? errorText
                       : !exPath.first     ? msgNothingToCopy
                                           : "";
    if (result != READ_DONE) {
        putLog(last, out);
    } else {
        if (unexPath.first) OutPathToFile(&unexPath, msgRejectedHeader, out);
        if (!exPath.first) putLog(msgNothingToCopy, out);
        if (errorText) {
            putLog("\n", out);
            putLog(errorText, out);
        }
    }
    if (endLine && *last && last[strlen(last) - 1] != '\n') putLog("\n", out);
}

// The report in place of the not-finished line, on the disk; false when it
// is not all there.
static bool writeReport(ReaderResult result, const char* errorText) {
    FILE* log = fopen(logFileName, "wt");
    if (!log) return false;
    putReport(result, errorText, log, false);
    const bool written = commitLog(log);
    return fclose(log) == 0 && written;
}

// The log is a text-mode file: every "\n" written becomes CR LF. It holds
// msgRunNotFinished while the run goes on, and is opened afresh at the end,
// emptied, for the report alone. Without a log the backup is still made,
// only its report is lost: then no log is left, and the run never ends
// with RUN_COMPLETE, so that neither reads as a complete backup. On Windows
// a message box says so after the run, so that a run with no one at the
// desktop is not held up by it, and goes by itself after logBoxMs.
RunOutcome startCopingInConsole(FILE* alsoReportTo) {
    FILE* log = openLogAsUnfinished();
    RunOutcome outcome = RUN_COMPLETE;
    char* errorText = NULL;
    initPaths(&exPath, &unexPath);
    const ReaderResult result = ReadPaths(&exPath, &unexPath);
    if (result != READ_DONE) {
        outcome = RUN_NO_BACKUP;
    } else {
        if (unexPath.first) outcome = RUN_INCOMPLETE;
        if (exPath.first) {
            CopyResult copied = copy(&exPath, &errorText, 1);
            if (copied == COPY_NO_MEMORY)
                outcome = RUN_NO_BACKUP;
            else if (copied == COPY_INCOMPLETE)
                outcome = RUN_INCOMPLETE;
        } else {
            outcome = RUN_NO_BACKUP;
        }
    }
    // The start line is on the disk already: a failed close loses nothing.
    if (log) fclose(log);
    const bool logWritten = log && writeReport(result, errorText);
    if (!logWritten) {
        removeLog();
        if (outcome == RUN_COMPLETE) outcome = RUN_INCOMPLETE;
    }
    if (alsoReportTo && outcome != RUN_COMPLETE) {
        if (!logWritten) {
            putLog(msgLogNotWritten, alsoReportTo);
            putLog("\n", alsoReportTo);
        }
        putReport(result, errorText, alsoReportTo, true);
    }
    freeMem(errorText);
#ifdef _WIN32
    if (!logWritten) {
        SetTimer(NULL, 0, logBoxMs, endLogBox);
        MessageBoxA(NULL, msgLogNotOpened, msgLogNotOpenedCaption, MB_OK);
    }
#endif
    freePaths(&exPath, &unexPath);
    return outcome;
}
