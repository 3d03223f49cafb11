#include "platform/platform.h"

#include <string.h>

bool query_version(OSVERSIONINFOA *info)
{
    memset(info, 0, sizeof *info);
    info->dwOSVersionInfoSize = 148;
    return GetVersionExA(info) != 0;
}

PlatformFamily platform_family(void)
{
    OSVERSIONINFOA info;
    if (!query_version(&info))
        return PlatformOther;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return Win9x;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT)
        return WinNT;
    return PlatformOther;
}

bool bind_entry_points(HMODULE module, const char *const *names, FARPROC *entries, int count)
{
    for (int i = 0; i < count; ++i)
        entries[i] = GetProcAddress(module, names[i]);
    for (int i = 0; i < count; ++i)
        if (entries[i] == NULL)
            return false;
    return true;
}
