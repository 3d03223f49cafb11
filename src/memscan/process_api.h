// The process-listing services that step I binds at run time: their records,
// their entry-point types, and the bound tables that the two strategies use.
// Nothing here is imported: every entry point comes from GetProcAddress.
#ifndef VESKACURE_MEMSCAN_PROCESS_API_H
#define VESKACURE_MEMSCAN_PROCESS_API_H

#include <windows.h>

#include "detect/verdict.h"
#include "platform/platform.h"

// Tool Help's process record (PROCESSENTRY32, ANSI): 296 bytes.
struct ProcessEntry {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    DWORD th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    char szExeFile[260];
};
static_assert(sizeof(ProcessEntry) == 296, "the snapshot checks dwSize against 296");

// Tool Help's module record (MODULEENTRY32, ANSI): 548 bytes.
struct ModuleEntry {
    DWORD dwSize;
    DWORD th32ModuleID;
    DWORD th32ProcessID;
    DWORD GlblcntUsage;
    DWORD ProccntUsage;
    BYTE *modBaseAddr;
    DWORD modBaseSize;
    HMODULE hModule;
    char szModule[256];
    char szExePath[260];
};
static_assert(sizeof(ModuleEntry) == 548, "the snapshot checks dwSize against 548");

const DWORD SNAPSHOT_PROCESSES = 2;  // TH32CS_SNAPPROCESS
const DWORD SNAPSHOT_MODULES = 8;    // TH32CS_SNAPMODULE
const DWORD QUERY_LIMITED_INFORMATION = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION, 6.0 on

typedef HANDLE(WINAPI *CreateSnapshotCall)(DWORD flags, DWORD process_id);
typedef BOOL(WINAPI *ProcessWalkCall)(HANDLE snapshot, ProcessEntry *entry);
typedef BOOL(WINAPI *ModuleWalkCall)(HANDLE snapshot, ModuleEntry *entry);
typedef BOOL(WINAPI *EnumProcessesCall)(DWORD *ids, DWORD size, DWORD *filled);
typedef BOOL(WINAPI *EnumProcessModulesCall)(HANDLE process, HMODULE *modules, DWORD size,
                                             DWORD *needed);
typedef DWORD(WINAPI *ModuleFileNameCall)(HANDLE process, HMODULE module, char *name, DWORD size);
typedef BOOL(WINAPI *QueryImageNameCall)(HANDLE process, DWORD flags, char *name, DWORD *size);

// Tool Help, bound from "KERNEL32.DLL" (names in this order).
struct ToolHelpCalls {
    HMODULE kernel;
    Redirection *redirection;  // for classifying program files
    DWORD major_version;
    ProcessWalkCall process_first;
    ProcessWalkCall process_next;
    CreateSnapshotCall create_snapshot;
};

// Process Status, bound from "PSAPI.DLL". GetModuleBaseNameA is required but never called.
struct PsapiCalls {
    Redirection *redirection;  // for classifying program files
    EnumProcessesCall enum_processes;
    EnumProcessModulesCall enum_process_modules;
    ModuleFileNameCall module_file_name;
};

// The ways to learn a process's full image path when the snapshot gives only
// its base name, tried in this order. Whatever it loads is freed by
// release_image_paths.
struct ImagePathSources {
    const ToolHelpCalls *calls;
    QueryImageNameCall query_image_name;  // 6.0 on (Wine has it in every mode)
    ModuleWalkCall module_first;
    HMODULE psapi;                        // loaded at first need
    ModuleFileNameCall module_file_name;
    bool psapi_tried;
};

// memscan.cpp
// Only these two verdicts lead to a termination.
bool carries_worm(ScanVerdict verdict);
// The classifier's verdict on a process's program file, with redirection off.
ScanVerdict classify_program_file(Redirection *redirection, const char *path);
// The code TerminateProcess gets: the process's own exit code, or 0 when the
// handle cannot be queried.
DWORD exit_code_for(HANDLE process);

// toolhelp.cpp
int scan_toolhelp(const ToolHelpCalls *calls);
void init_image_paths(ImagePathSources *sources, const ToolHelpCalls *calls);
void release_image_paths(ImagePathSources *sources);
// Each source on its own (for tests); true when `path` (260 bytes) got a path.
bool image_path_by_query(ImagePathSources *sources, DWORD process_id, char *path);
bool image_path_by_psapi(ImagePathSources *sources, DWORD process_id, char *path);
bool image_path_by_module_snapshot(ImagePathSources *sources, DWORD process_id, char *path);
// The sources in their order; false when none can name the file.
bool resolve_image_path(ImagePathSources *sources, DWORD process_id, char *path);
// Whether a name as the snapshot gives it carries a directory or drive.
bool names_directory(const char *name);

// psapi.cpp
int scan_psapi(const PsapiCalls *calls);

#endif
