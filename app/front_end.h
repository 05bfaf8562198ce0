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

// One backup run without a window; its report goes to QuarnelvistroLOG.txt
// in the current directory.
void startCopingInConsole();

// Writes header and a line end, then every path of list, each followed by a
// line end.
void OutPathToFile(const PathList* list, const char* header, FILE* file);
