#include <string.h>

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

void OutPathToFile(const PathList* list, const char* header, FILE* file) {
    fprintf(file, "%s\n", header);
    for (const PathNode* node = list->first; node; node = node->next) fprintf(file, "%s\n", node->path);
}

// The log is a text-mode file: every "\n" written becomes CR LF. Without a
// log the backup is still made, only its report is lost; the message box
// that says so comes after the run, so that a run with no one at the
// desktop is not held up by it.
RunOutcome startCopingInConsole() {
    FILE* log = fopen(logFileName, "wt");

    RunOutcome outcome = RUN_COMPLETE;
    initPaths(&exPath, &unexPath);
    ReaderResult result = ReadPaths(&exPath, &unexPath);
    if (result != READ_DONE) {
        if (log) fputs(readerMessage(result), log);
        outcome = RUN_NO_BACKUP;
    } else {
        if (unexPath.first) {
            if (log) OutPathToFile(&unexPath, msgRejectedHeader, log);
            outcome = RUN_INCOMPLETE;
        }
        if (exPath.first) {
            char* errorText = NULL;
            CopyResult copied = copy(&exPath, &errorText, 1);
            if (errorText) {
                if (log) fprintf(log, "\n%s", errorText);
                freeMem(errorText);
            }
            if (copied == COPY_NO_MEMORY)
                outcome = RUN_NO_BACKUP;
            else if (copied == COPY_INCOMPLETE)
                outcome = RUN_INCOMPLETE;
        } else {
            if (log) fputs(msgNothingToCopy, log);
            outcome = RUN_NO_BACKUP;
        }
    }
    if (log)
        fclose(log);
    else
        MessageBoxA(NULL, msgLogNotOpened, msgLogNotOpenedCaption, MB_OK);
    freePaths(&exPath, &unexPath);
    return outcome;
}
