// Step III: the worm adds its loader to the shell entry of SYSTEM.INI; the
// entry is set back to the plain desktop shell.
#include "sysfix/sysfix.h"

#include <windows.h>

#include "sysfix/shell_entry.h"
#include "platform/interrupt.h"

int repair_system_ini(void)
{
    // The profile service cuts a longer value to what fits: a marker beyond
    // the first 259 characters is not seen.
    char shell[SHELL_VALUE_CHARS + 1];
    DWORD length = GetPrivateProfileStringA("boot", "shell", "explorer.exe", shell, sizeof shell,
                                            "SYSTEM.INI");
    if (length == 0)
        return 1;
    if (!shell_names_loader(shell))
        return 1;
    // The whole value is replaced: the loader, its switches and whatever else
    // the entry named. A write that fails must not be reported as a repair.
    begin_guarded_work();
    BOOL written = WritePrivateProfileStringA("boot", "shell", SHELL_REPAIRED, "SYSTEM.INI");
    end_guarded_work();
    return written ? 0 : 2;
}
