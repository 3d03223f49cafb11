// Step I: picks the process-listing strategy of the platform, binds its entry
// points for the length of this one call, and runs it.
#include "memscan/memscan.h"

#include "detect/classify.h"
#include "memscan/process_api.h"
#include "platform/platform.h"

static const char *const TOOLHELP_NAMES[] = {"Process32First", "Process32Next",
                                             "CreateToolhelp32Snapshot"};
static const char *const PSAPI_NAMES[] = {"EnumProcesses", "EnumProcessModules",
                                          "GetModuleBaseNameA", "GetModuleFileNameExA"};
const int TOOLHELP_COUNT = sizeof TOOLHELP_NAMES / sizeof TOOLHELP_NAMES[0];
const int PSAPI_COUNT = sizeof PSAPI_NAMES / sizeof PSAPI_NAMES[0];

bool carries_worm(ScanVerdict verdict)
{
    return verdict == Infected || verdict == WormCopy;
}

// Under WoW64 a path under System32 that a process reports is the real
// System32's (a 64-bit program, or a 32-bit one started from there): opened
// with redirection on, it would be the SysWOW64 namesake that is rated.
// Redirection is off for the classification alone, as finding the path may
// load a library.
ScanVerdict classify_program_file(Redirection *redirection, const char *path)
{
    turn_redirection_off(redirection);
    ScanVerdict verdict = classify_file(path);
    turn_redirection_on(redirection);
    return verdict;
}

// The code a terminated process ends with: the one it reports, except that a
// running process reports STILL_ACTIVE (259), and a process ended with that
// code would look as if it still ran to anyone who asks afterwards.
DWORD exit_code_for(HANDLE process)
{
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code) || code == STILL_ACTIVE)
        code = 0;
    return code;
}

// A library without one of the entry points means "nothing found": 0.
static int run_toolhelp(HMODULE kernel, DWORD major_version, Redirection *redirection)
{
    FARPROC entries[TOOLHELP_COUNT];
    if (!bind_entry_points(kernel, TOOLHELP_NAMES, entries, TOOLHELP_COUNT))
        return 0;
    ToolHelpCalls calls;
    calls.kernel = kernel;
    calls.redirection = redirection;
    calls.major_version = major_version;
    calls.process_first = bound_entry<ProcessWalkCall>(entries[0]);
    calls.process_next = bound_entry<ProcessWalkCall>(entries[1]);
    calls.create_snapshot = bound_entry<CreateSnapshotCall>(entries[2]);
    return scan_toolhelp(&calls);
}

static int run_psapi(HMODULE psapi, Redirection *redirection)
{
    FARPROC entries[PSAPI_COUNT];
    if (!bind_entry_points(psapi, PSAPI_NAMES, entries, PSAPI_COUNT))
        return 0;
    PsapiCalls calls;
    calls.redirection = redirection;
    calls.enum_processes = bound_entry<EnumProcessesCall>(entries[0]);
    calls.enum_process_modules = bound_entry<EnumProcessModulesCall>(entries[1]);
    calls.module_file_name = bound_entry<ModuleFileNameCall>(entries[3]);
    return scan_psapi(&calls);
}

int scan_memory(void)
{
    OSVERSIONINFOA info;
    if (!query_version(&info))
        return static_cast<int>(GetLastError());

    // Tool Help on the Win9x family and on NT from 5.0; NT 4.0 and earlier
    // have no process snapshot, only the Process Status library.
    bool toolhelp;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        toolhelp = true;
    else if (info.dwPlatformId == VER_PLATFORM_WIN32_NT)
        toolhelp = info.dwMajorVersion >= 5;
    else
        return 1;

    HMODULE library = LoadLibraryA(toolhelp ? "KERNEL32.DLL" : "PSAPI.DLL");
    if (library == NULL)
        return static_cast<int>(GetLastError());
    // Bound while redirection is on, like everything the scan calls.
    Redirection redirection;
    bind_redirection(&redirection);
    int answer = toolhelp ? run_toolhelp(library, info.dwMajorVersion, &redirection)
                          : run_psapi(library, &redirection);
    release_redirection(&redirection);
    FreeLibrary(library);
    return answer;
}
