// What both front ends share: the mode switch, the run messages and the
// unattended run.
#pragma once

#include <stdio.h>

#include "list_intr.h"

// True when the command line (after the program's name) holds "-w"
// anywhere, case-sensitively, a longer word included.
bool hasUnattendedSwitch(const char* commandLine);

// The run message for a reader result other than READ_DONE.
const char* readerMessage(ReaderResult result);

// How an unattended run ended: its process's exit code, for a scheduler.
enum RunOutcome {
    RUN_COMPLETE = 0,    // the log is empty: everything named is backed up
    RUN_INCOMPLETE = 1,  // the log lists what was not backed up, or there is no log: it could not be written
    RUN_NO_BACKUP = 2,   // no backup was made: no list, a failed query, no memory, nothing to copy
};

// One backup run without a window; its report goes to QuarnelvistroLOG.txt
// in the current directory, which holds msgRunNotFinished while the run
// goes on. When the run is not complete, or its log could not be written,
// the report also goes to alsoReportTo, unless it is NULL, with "\n" as it
// is written there and a line end at its end, after msgLogNotWritten on a
// line of its own if the log could not be written.
RunOutcome startCopingInConsole(FILE* alsoReportTo = NULL);

// Writes header and a line end, then every path of list, each followed by a
// line end.
void OutPathToFile(const PathList* list, const char* header, FILE* file);
