// Stand-in PSAPI.DLL for the process-scan tests, loaded instead of the real
// one from the tool's folder (WINEDLLOVERRIDES="psapi=n,b").
//   psapi_lacking.dll     has no GetModuleBaseNameA: binding must fail.
//   psapi_unreadable.dll  has every entry point, but cannot name a process
//                         whose executable's file name starts with
//                         "unreadable" (as a process of another account
//                         would be on NT 4.0).
// The working entry points pass on to the K32 twins in KERNEL32.
#include <windows.h>
#include <string.h>

typedef BOOL(WINAPI *EnumProcessesCall)(DWORD *, DWORD, DWORD *);
typedef BOOL(WINAPI *EnumProcessModulesCall)(HANDLE, HMODULE *, DWORD, DWORD *);
typedef DWORD(WINAPI *ModuleNameCall)(HANDLE, HMODULE, char *, DWORD);

static FARPROC kernel_entry(const char *name)
{
    return GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), name);
}

template <typename Call>
static Call entry_as(FARPROC entry)
{
    return reinterpret_cast<Call>(reinterpret_cast<void (*)(void)>(entry));
}

extern "C" __declspec(dllexport) BOOL WINAPI EnumProcesses(DWORD *ids, DWORD size, DWORD *filled)
{
    return entry_as<EnumProcessesCall>(kernel_entry("K32EnumProcesses"))(ids, size, filled);
}

extern "C" __declspec(dllexport) BOOL WINAPI EnumProcessModules(HANDLE process, HMODULE *modules,
                                                                DWORD size, DWORD *needed)
{
    return entry_as<EnumProcessModulesCall>(kernel_entry("K32EnumProcessModules"))(
        process, modules, size, needed);
}

#ifdef UNREADABLE_NAMES
extern "C" __declspec(dllexport) DWORD WINAPI GetModuleBaseNameA(HANDLE process, HMODULE module,
                                                                 char *name, DWORD size)
{
    return entry_as<ModuleNameCall>(kernel_entry("K32GetModuleBaseNameA"))(process, module, name,
                                                                           size);
}
#endif

extern "C" __declspec(dllexport) DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE module,
                                                                   char *name, DWORD size)
{
    DWORD length = entry_as<ModuleNameCall>(kernel_entry("K32GetModuleFileNameExA"))(
        process, module, name, size);
#ifdef UNREADABLE_NAMES
    if (length != 0) {
        const char *base = strrchr(name, '\\');
        base = base != NULL ? base + 1 : name;
        if (_strnicmp(base, "unreadable", 10) == 0) {
            name[0] = 0;
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
#endif
    return length;
}
