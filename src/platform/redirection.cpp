#include "platform/platform.h"

static const char *const REDIRECTION_NAMES[] = {"IsWow64Process", "Wow64DisableWow64FsRedirection",
                                                "Wow64RevertWow64FsRedirection"};
const int REDIRECTION_COUNT = sizeof REDIRECTION_NAMES / sizeof REDIRECTION_NAMES[0];

typedef BOOL(WINAPI *IsWow64Call)(HANDLE process, BOOL *wow64);

static void make_inert(Redirection *redirection)
{
    redirection->kernel = NULL;
    redirection->turn_off = NULL;
    redirection->turn_back = NULL;
    redirection->old_value = NULL;
    redirection->off = false;
}

// Windows 95 to 2000 and XP before SP2 lack IsWow64Process; a 32-bit system
// that has it answers FALSE. Either way there is nothing to turn off.
bool bind_redirection(Redirection *redirection)
{
    make_inert(redirection);
    HMODULE kernel = LoadLibraryA("KERNEL32.DLL");
    if (kernel == NULL)
        return false;
    FARPROC entries[REDIRECTION_COUNT];
    BOOL wow64 = FALSE;
    if (bind_entry_points(kernel, REDIRECTION_NAMES, entries, REDIRECTION_COUNT) &&
        bound_entry<IsWow64Call>(entries[0])(GetCurrentProcess(), &wow64) && wow64) {
        redirection->kernel = kernel;
        redirection->turn_off = bound_entry<RedirectionOffCall>(entries[1]);
        redirection->turn_back = bound_entry<RedirectionBackCall>(entries[2]);
        return true;
    }
    FreeLibrary(kernel);
    return false;
}

bool turn_redirection_off(Redirection *redirection)
{
    if (redirection->kernel == NULL || redirection->off)
        return false;
    // A failed call leaves redirection as it was: the work then goes on as
    // on a system without it.
    redirection->off = redirection->turn_off(&redirection->old_value) != 0;
    return redirection->off;
}

void turn_redirection_on(Redirection *redirection)
{
    if (!redirection->off)
        return;
    redirection->turn_back(redirection->old_value);
    redirection->off = false;
}

void release_redirection(Redirection *redirection)
{
    turn_redirection_on(redirection);
    if (redirection->kernel != NULL)
        FreeLibrary(redirection->kernel);
    make_inert(redirection);
}
