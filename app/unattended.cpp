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

// A fresh log holding msgRunNotFinished, on the disk and not only in a
// buffer, so that a run killed or a machine gone down before the report
// replaces the line leaves it; NULL when the log cannot be opened. A failed
// _commit is not the run's failure: the line only warns.
static FILE* openLogAsUnfinished() {
    FILE* log = fopen(logFileName, "wt");
    if (log) {
        putLog(msgRunNotFinished, log);
        fflush(log);
        _commit(_fileno(log));
    }
    return log;
}

// The run's report as the log holds it; empty for a complete backup.
static void putReport(ReaderResult result, const char* errorText, FILE* out) {
    if (result != READ_DONE) {
        putLog(readerMessage(result), out);
        return;
    }
    if (unexPath.first) OutPathToFile(&unexPath, msgRejectedHeader, out);
    if (!exPath.first) putLog(msgNothingToCopy, out);
    if (errorText) {
        putLog("\n", out);
        putLog(errorText, out);
    }
}

// The log is a text-mode file: every "\n" written becomes CR LF. It holds
// msgRunNotFinished while the run goes on, and is opened afresh at the end,
// emptied, for the report alone. Without a log the backup is still made,
// only its report is lost; the message box that says so comes after the
// run, so that a run with no one at the desktop is not held up by it, and
// goes by itself after logBoxMs.
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
    if (log) fclose(log);
    log = fopen(logFileName, "wt");
    if (log) {
        putReport(result, errorText, log);
        fclose(log);
    }
    if (alsoReportTo && outcome != RUN_COMPLETE) putReport(result, errorText, alsoReportTo);
    freeMem(errorText);
    if (!log) {
#ifdef _WIN32
        SetTimer(NULL, 0, logBoxMs, endLogBox);
#endif
        MessageBoxA(NULL, msgLogNotOpened, msgLogNotOpenedCaption, MB_OK);
    }
    freePaths(&exPath, &unexPath);
    return outcome;
}
