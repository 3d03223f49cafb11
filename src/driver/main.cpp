// The run: intro screens, switches, then the steps in their fixed order.
#include <conio.h>
#include <stdio.h>

#include "driver/intro.h"
#include "driver/options.h"
#include "memscan/memscan.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "remedy/progress.h"
#include "remedy/remedy.h"
#include "sysfix/sysfix.h"
#include "webclean/webclean.h"

// One keystroke from the console itself, also when standard input is
// redirected. A function or cursor key arrives as two codes at once: the
// second is consumed here so that it cannot end the next pause. 0xE0 is also
// a letter in several code pages (Cyrillic in 866): a second code is read
// only when one is already waiting. The code is taken as a byte, as some C
// runtimes give letters above 0x7F sign-extended. Without a console the read
// fails at once (-1) and the pause ends.
static void wait_for_key(void)
{
    int code = _getch() & 0xFF;
    if ((code == 0 || code == 0xE0) && _kbhit())
        _getch();
}

static void show_screen(const char *const *texts)
{
    for (; *texts != NULL; ++texts)
        out("%s", *texts);
}

static void show_intro_screens(void)
{
    show_screen(INTRO_FIRST_SCREEN);
    flush_output();
    wait_for_key();
    show_screen(INTRO_SECOND_SCREEN);
    flush_output();
    wait_for_key();
    flush_output();
}

// Step IV on the NT family: with /GUEST the user is asked first; only the
// first character of the answer line counts.
static void guest_step(const RunOptions &options)
{
    out("\n\nIV.  Guest accounts.");
    if (options.guest_prompt) {
        out("\n\tDisable Guest user (Y/N)?");
        flush_output();
        int answer = getchar();
        if (answer != 'y' && answer != 'Y')
            return;
    }
    lock_guest_account();
}

int main(int argc, char **argv)
{
    // Ctrl+C or a closing window: work under way is completed, the sweep's
    // title put back, and the run ends with the platform's Ctrl+C status.
    install_interrupt_handler(progress_finish);
    show_intro_screens();

    RunOptions options = {false, false};
    int unknown = parse_switches(argc, argv, &options);
    if (unknown != 0) {
        out("\n\nUnknown option:  %s", argv[unknown]);
        flush_output();
        return 0;
    }

    out("\n\nI.   Searching for PE_VESKA.A in memory.");
    if (scan_memory() == 0)
        out("\n\tNot found.");

    out("\n\nII.  Removing shared directories.");
    if (options.unshare)
        remove_shares();
    else
        out("\n\tShared directories will not be removed but will be retained.");

    out("\n\nIII. Checking for PE_VESKA.A in SYSTEM.INI.");
    int shell_repair = repair_system_ini();
    if (shell_repair == 0)
        out("\n\tWorm entry removed.");
    else if (shell_repair == 2)
        out("\n\tWorm entry could not be removed.");
    else
        out("\n\tWorm entry not found.");

    if (platform_family() == WinNT) {
        guest_step(options);
        out("\n\nV.   Scanning drive for infected executable files...");
        sweep_fixed_drives<wchar_t>();
        out("\n\nVI.  Scanning drive for infected HTM/HTML/ASP files....\n");
    } else {
        out("\n\nIV.  Scanning drive for infected executable files...");
        sweep_fixed_drives<char>();
        out("\n\nV.   Scanning drive for infected HTM/HTML/ASP files....\n");
    }

    launch_web_cleaner();
    flush_output();
    return 0;
}
