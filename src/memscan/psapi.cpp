// Step I with the Process Status library (NT 4.0 and earlier, which have no
// process snapshot).
#include "memscan/process_api.h"
#include "platform/platform.h"

// PROCESS_QUERY_INFORMATION | PROCESS_VM_READ to read the module name, and
// PROCESS_TERMINATE, all on one handle.
const DWORD EXAMINE_ACCESS = 0x411;

// Whether the first module (the executable) of an opened process can be named
// and its file carries the worm. A process whose name cannot be read is never
// classified.
static bool process_carries_worm(const PsapiCalls *calls, HANDLE process, char *name)
{
    HMODULE module = NULL;
    DWORD needed = 0;
    if (!calls->enum_process_modules(process, &module, sizeof module, &needed))
        return false;
    if (calls->module_file_name(process, module, name, MAX_PATH) == 0)
        return false;
    name[MAX_PATH - 1] = 0;
    return carries_worm(classify_program_file(calls->redirection, name));
}

// One id of the list. Processes that cannot be opened or named are passed
// over in silence; the handle is closed once, on every path.
static void examine_process(const PsapiCalls *calls, DWORD process_id, char *name, int *found)
{
    HANDLE process = OpenProcess(EXAMINE_ACCESS, FALSE, process_id);
    if (process == NULL)
        return;
    bool infected = process_carries_worm(calls, process, name);
    BOOL terminated = FALSE;
    if (infected) {
        if (*found == 0)
            out("\n\tPE_VESKA.A FOUND!!!");
        out("\n\t    Terminating process (%s)... ", name);
        *found = 1;
        // No wait here: the process is ended at once.
        terminated = TerminateProcess(process, exit_code_for(process));
    }
    CloseHandle(process);
    if (!infected)
        return;
    if (terminated)
        out("OK!\n");
    else
        out("Error, cannot terminate.");
}

int scan_psapi(const PsapiCalls *calls)
{
    // A fixed list of 1024 ids, asked for once; more processes than that are not examined.
    DWORD ids[1024];
    DWORD filled = 0;
    if (!calls->enum_processes(ids, sizeof ids, &filled))
        return static_cast<int>(GetLastError());
    DWORD count = filled / sizeof ids[0];
    if (count > sizeof ids / sizeof ids[0])
        count = sizeof ids / sizeof ids[0];

    int found = 0;
    char name[MAX_PATH];
    // The tool's own file may itself be infected: its own process is left alone.
    DWORD self = GetCurrentProcessId();
    for (DWORD i = 0; i < count; ++i)
        if (ids[i] != self)
            examine_process(calls, ids[i], name, &found);
    return found;
}
