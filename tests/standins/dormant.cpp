// dormant.exe: a small program that just stays running, for tests that need a
// process whose executable file carries the worm. Small enough (stripped) that
// the worm's signatures fit in an overlay appended behind it.
//   dormant SECONDS [MARKER]   creates the file MARKER once running, then waits
#include <windows.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc > 2) {
        HANDLE marker = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
        if (marker != INVALID_HANDLE_VALUE)
            CloseHandle(marker);
    }
    Sleep(argc > 1 ? static_cast<DWORD>(atoi(argv[1])) * 1000 : 60000);
    return 0;
}
