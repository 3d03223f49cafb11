// memprobe.exe: Windows-side helper for the process-scan tests.
//   memprobe bind DLL NAME...   binds the names from DLL with the tool's own
//                               binding helper: "all=N found=FLAGS" (one 0/1
//                               flag per name, in order)
//   memprobe count NAME         how many listed processes have this
//                               executable name (as the snapshot gives it)
//   memprobe paths NAME         the image path of the first listed process
//                               with this executable name, from each source
//                               the scan can use ("-" when it fails)
//   memprobe suspended PATH SECONDS
//                               starts PATH suspended, prints "started",
//                               keeps it so for SECONDS, then ends it
//   memprobe watch PATH         starts PATH (with the argument 300), prints
//                               "started", and when it ends "exit=CODE"
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>

#include "memscan/process_api.h"
#include "platform/platform.h"

static int bind_names(const char *library_name, char **names, int count)
{
    FARPROC entries[16];
    if (count > 16)
        return 2;
    HMODULE library = LoadLibraryA(library_name);
    if (library == NULL) {
        printf("cannot load %s\n", library_name);
        return 1;
    }
    bool all = bind_entry_points(library, names, entries, count);
    printf("all=%d found=", all ? 1 : 0);
    for (int i = 0; i < count; ++i)
        putchar(entries[i] != NULL ? '1' : '0');
    putchar('\n');
    FreeLibrary(library);
    return 0;
}

// How many listed processes have this executable name; `first` gets the id of the first.
static int find_processes(const char *name, DWORD *first)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    PROCESSENTRY32 entry;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL listed = Process32First(snapshot, &entry); listed;
         listed = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, name) != 0)
            continue;
        if (count++ == 0)
            *first = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    return count;
}

static int show_paths(const char *name)
{
    DWORD process_id = 0;
    if (find_processes(name, &process_id) <= 0)
        return 1;
    HMODULE kernel = LoadLibraryA("KERNEL32.DLL");
    if (kernel == NULL)
        return 1;
    OSVERSIONINFOA info;
    query_version(&info);
    ToolHelpCalls calls;
    calls.kernel = kernel;
    calls.redirection = NULL;
    calls.major_version = info.dwMajorVersion;
    calls.process_first = NULL;
    calls.process_next = NULL;
    calls.create_snapshot =
        bound_entry<CreateSnapshotCall>(GetProcAddress(kernel, "CreateToolhelp32Snapshot"));
    ImagePathSources sources;
    init_image_paths(&sources, &calls);
    char path[MAX_PATH];
    printf("query=%s\n", image_path_by_query(&sources, process_id, path) ? path : "-");
    printf("psapi=%s\n", image_path_by_psapi(&sources, process_id, path) ? path : "-");
    printf("snapshot=%s\n",
           image_path_by_module_snapshot(&sources, process_id, path) ? path : "-");
    printf("resolved=%s\n", resolve_image_path(&sources, process_id, path) ? path : "-");
    release_image_paths(&sources);
    FreeLibrary(kernel);
    return 0;
}

// A process whose start-up has not run yet: its module list is still empty.
static int hold_suspended(char *path, DWORD seconds)
{
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    if (!CreateProcessA(path, NULL, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup,
                        &info))
        return 1;
    printf("started\n");
    fflush(stdout);
    Sleep(seconds * 1000);
    TerminateProcess(info.hProcess, 0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

// The exit code that whoever ends the process gives it.
static int watch_process(char *path)
{
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    char command[MAX_PATH + 8];
    _snprintf(command, sizeof command, "%s 300", path);
    command[sizeof command - 1] = 0;
    if (!CreateProcessA(path, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return 1;
    printf("started\n");
    fflush(stdout);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    printf("exit=%lu\n", static_cast<unsigned long>(code));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "watch") == 0)
        return watch_process(argv[2]);
    if (argc == 4 && strcmp(argv[1], "suspended") == 0)
        return hold_suspended(argv[2], static_cast<DWORD>(atoi(argv[3])));
    if (argc >= 4 && strcmp(argv[1], "bind") == 0)
        return bind_names(argv[2], argv + 3, argc - 3);
    if (argc == 3 && strcmp(argv[1], "count") == 0) {
        DWORD first = 0;
        int count = find_processes(argv[2], &first);
        printf("%d\n", count);
        return count < 0 ? 1 : 0;
    }
    if (argc == 3 && strcmp(argv[1], "paths") == 0)
        return show_paths(argv[2]);
    return 2;
}
