// selfscan.exe: runs step I from a program whose own file carries the worm.
// Built without the C runtime start-up and stripped, so that it ends before
// the first signature offset and an appended overlay makes its file Infected;
// its own process must survive the scan to print the answer.
// stdio.h ahead of windows.h, so that vprintf is msvcrt's own and mingw's
// larger replacement is not linked in.
#include <stdarg.h>
#include <stdio.h>
#include <windows.h>

#include "memscan/memscan.h"
#include "platform/platform.h"

// The console routines of the tool, reduced to what the scan uses, so that
// the wide-text conversion and its dependencies are not linked in.
void out(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void flush_output(void)
{
    fflush(NULL);
}

extern "C" void selfscan_start(void)
{
    out("\n\nI.   Searching for PE_VESKA.A in memory.");
    int answer = scan_memory();
    out("\nanswer=%d\n", answer);
    flush_output();
    ExitProcess(0);
}
