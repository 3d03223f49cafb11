// The worm's loader in the shell entry of SYSTEM.INI's [boot] section: how it
// is recognised and what the entry becomes. Windows-free, shared by
// veskacure.exe and veskacure-offline.
#ifndef VESKACURE_SYSFIX_SHELL_ENTRY_H
#define VESKACURE_SYSFIX_SHELL_ENTRY_H

#include <string.h>

// The profile service hands back at most this many characters of a value: a
// marker beyond them is not seen.
enum { SHELL_VALUE_CHARS = 259 };

static const char SHELL_REPAIRED[] = "Explorer.exe";

// The loader's name anywhere in the value, byte for byte (case-sensitive).
inline bool shell_names_loader(const char *value)
{
    return strstr(value, "load.exe") != NULL;
}

#endif
