// Entry points found with GetProcAddress come back as FARPROC; this gives one
// its real type. The step through a parameterless function pointer says that
// the types differ on purpose.
#ifndef VESKACURE_SYSFIX_BOUND_ENTRY_H
#define VESKACURE_SYSFIX_BOUND_ENTRY_H

#include <windows.h>

template <typename Entry>
inline Entry bound_entry(FARPROC entry)
{
    return reinterpret_cast<Entry>(reinterpret_cast<void (*)(void)>(entry));
}

#endif
