// The native program: the unattended run only, since the window needs Windows.
#include <stdio.h>

#include <string>

#include "front_end.h"

int main(int argc, char** argv) {
    // The arguments as Windows hands WinMain its command line: joined by blanks.
    std::string commandLine;
    for (int i = 1; i < argc; i++) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    // A run that is not complete also tells standard error, which cron mails.
    if (hasUnattendedSwitch(commandLine.c_str())) return startCopingInConsole(stderr);
    fprintf(stderr,
            "%s: the window needs Windows.\n"
            "Run \"%s -w\" for an unattended backup: it reads Quarnelvistro.txt in the\n"
            "current directory and reports in QuarnelvistroLOG.txt there.\n",
            argv[0], argv[0]);
    return 2;
}
