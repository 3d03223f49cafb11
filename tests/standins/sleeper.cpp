// sleeper.exe SECONDS: a process that just waits, for the process-scan tests.
// Built without the C runtime and stripped, so that the program ends well
// before the first signature offset (0x74D9) and can be made Infected or a
// WormCopy by an appended overlay without disturbing how it loads.
#include <windows.h>

// The first argument as a whole number; a missing one means a minute.
static DWORD seconds_from_command_line(void)
{
    const char *p = GetCommandLineA();
    if (*p == '"') {
        for (++p; *p != 0 && *p != '"'; ++p) {
        }
        if (*p == '"')
            ++p;
    } else {
        while (*p != 0 && *p != ' ' && *p != '\t')
            ++p;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p < '0' || *p > '9')
        return 60;
    DWORD seconds = 0;
    for (; *p >= '0' && *p <= '9' && seconds < 100000; ++p)
        seconds = seconds * 10 + static_cast<DWORD>(*p - '0');
    return seconds;
}

extern "C" void sleeper_start(void)
{
    Sleep(seconds_from_command_line() * 1000);
    ExitProcess(0);
}
