// The last step: web pages are left to the companion cleaner, one instance
// per fixed drive, started and not waited for.
#include "webclean/webclean.h"

#include <string.h>
#include <windows.h>

static const char CLEANER_COMMAND[] = "mopup.exe /clean /nobanner ";

int launch_web_cleaner(void)
{
    char command[260];
    char root[] = "C:\\";
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        root[0] = letter;
        strcpy(command, CLEANER_COMMAND);
        strcat(command, root);
        // A companion that is missing or will not start is not reported.
        if (GetDriveTypeA(root) == DRIVE_FIXED)
            WinExec(command, SW_SHOWMINNOACTIVE);
    }
    return 1;
}
