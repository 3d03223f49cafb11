// Step I with a Tool Help process snapshot (Win9x family, NT from 5.0).
#include <string.h>

#include "memscan/process_api.h"
#include "platform/platform.h"

bool names_directory(const char *name)
{
    // A trail byte of a double-byte character may equal '\\': step over pairs.
    for (const char *p = name; *p != 0; ++p) {
        if (IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(*p)) && p[1] != 0) {
            ++p;
            continue;
        }
        if (*p == '\\' || *p == '/' || *p == ':')
            return true;
    }
    return false;
}

void init_image_paths(ImagePathSources *sources, const ToolHelpCalls *calls)
{
    sources->calls = calls;
    sources->query_image_name =
        bound_entry<QueryImageNameCall>(GetProcAddress(calls->kernel, "QueryFullProcessImageNameA"));
    sources->module_first = bound_entry<ModuleWalkCall>(GetProcAddress(calls->kernel, "Module32First"));
    sources->psapi = NULL;
    sources->module_file_name = NULL;
    sources->psapi_tried = false;
}

void release_image_paths(ImagePathSources *sources)
{
    if (sources->psapi != NULL)
        FreeLibrary(sources->psapi);
    sources->psapi = NULL;
    sources->module_file_name = NULL;
}

// The query handle is a separate one, closed at once: the termination handle
// keeps PROCESS_TERMINATE alone.
bool image_path_by_query(ImagePathSources *sources, DWORD process_id, char *path)
{
    if (sources->query_image_name == NULL)
        return false;
    DWORD access = sources->calls->major_version >= 6 ? QUERY_LIMITED_INFORMATION
                                                      : PROCESS_QUERY_INFORMATION;
    HANDLE process = OpenProcess(access, FALSE, process_id);
    if (process == NULL)
        return false;
    DWORD size = MAX_PATH;
    bool named = sources->query_image_name(process, 0, path, &size) != 0 && size < MAX_PATH;
    CloseHandle(process);
    return named;
}

bool image_path_by_psapi(ImagePathSources *sources, DWORD process_id, char *path)
{
    if (!sources->psapi_tried) {
        sources->psapi_tried = true;
        sources->psapi = LoadLibraryA("PSAPI.DLL");
        if (sources->psapi != NULL)
            sources->module_file_name = bound_entry<ModuleFileNameCall>(
                GetProcAddress(sources->psapi, "GetModuleFileNameExA"));
    }
    if (sources->module_file_name == NULL)
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id);
    if (process == NULL)
        return false;
    // No module handle names the process's executable.
    DWORD length = sources->module_file_name(process, NULL, path, MAX_PATH);
    CloseHandle(process);
    return length != 0 && length < MAX_PATH;
}

bool image_path_by_module_snapshot(ImagePathSources *sources, DWORD process_id, char *path)
{
    if (sources->module_first == NULL)
        return false;
    HANDLE snapshot = sources->calls->create_snapshot(SNAPSHOT_MODULES, process_id);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    ModuleEntry module;
    memset(&module, 0, sizeof module);
    module.dwSize = sizeof module;
    // The first module of a process is its executable.
    bool named = sources->module_first(snapshot, &module) != 0;
    if (named) {
        module.szExePath[MAX_PATH - 1] = 0;
        strcpy(path, module.szExePath);
    }
    CloseHandle(snapshot);
    return named;
}

bool resolve_image_path(ImagePathSources *sources, DWORD process_id, char *path)
{
    return (image_path_by_query(sources, process_id, path) && names_directory(path)) ||
           (image_path_by_psapi(sources, process_id, path) && names_directory(path)) ||
           (image_path_by_module_snapshot(sources, process_id, path) && names_directory(path));
}

// The snapshot names the executable by its full path on the Win9x family but
// by its bare file name on NT, which would open a file of that name in the
// current folder, or none. A bare name is replaced by the path the process
// itself reports; the messages keep the snapshot's name.
static ScanVerdict classify_entry(const ProcessEntry *entry, ImagePathSources *sources)
{
    char path[MAX_PATH];
    if (!names_directory(entry->szExeFile) &&
        resolve_image_path(sources, entry->th32ProcessID, path))
        return classify_program_file(sources->calls->redirection, path);
    return classify_program_file(sources->calls->redirection, entry->szExeFile);
}

// The wait gives a process that is already ending the chance to end by itself;
// the termination follows in every case. A handle that cannot be queried (as
// PROCESS_TERMINATE alone may be) cannot be waited on either: the wait then
// returns at once.
static void terminate_listed_process(DWORD process_id)
{
    BOOL terminated = FALSE;
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, process_id);
    if (process != NULL) {
        DWORD code = exit_code_for(process);
        WaitForSingleObject(process, 4000);
        terminated = TerminateProcess(process, code);
        CloseHandle(process);
    }
    if (terminated)
        out("OK!");
    else
        out("Error, cannot terminate.");
}

int scan_toolhelp(const ToolHelpCalls *calls)
{
    ProcessEntry entry;
    memset(&entry, 0, sizeof entry);
    int found = 0;
    HANDLE snapshot = calls->create_snapshot(SNAPSHOT_PROCESSES, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;

    ImagePathSources sources;
    init_image_paths(&sources, calls);
    // The tool's own file may itself be infected: its own process is left alone.
    DWORD self = GetCurrentProcessId();
    entry.dwSize = sizeof entry;
    for (BOOL listed = calls->process_first(snapshot, &entry); listed;
         listed = calls->process_next(snapshot, &entry)) {
        entry.szExeFile[MAX_PATH - 1] = 0;
        if (entry.th32ProcessID == self || !carries_worm(classify_entry(&entry, &sources)))
            continue;
        if (found == 0)
            out("\n\tPE_VESKA.A FOUND!!!");
        out("  \n\t    Terminating process (%s)... ", entry.szExeFile);
        found = 1;
        terminate_listed_process(entry.th32ProcessID);
    }
    release_image_paths(&sources);
    CloseHandle(snapshot);
    return found;
}
