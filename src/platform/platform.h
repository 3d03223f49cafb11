// Thin wrappers over the platform: the family query, run-time binding of
// library entry points, console output, and the ANSI/UTF-16 file-call twins.
#ifndef VESKACURE_PLATFORM_PLATFORM_H
#define VESKACURE_PLATFORM_PLATFORM_H

#include <windows.h>

enum PlatformFamily { PlatformOther = 0, Win9x = 1, WinNT = 2 };

// platform.cpp
// GetVersionExA with the 148-byte record; asked afresh by every caller.
bool query_version(OSVERSIONINFOA *info);
// Win9x for platform id 1, WinNT for 2, PlatformOther otherwise or when the query fails.
PlatformFamily platform_family(void);

// Looks up every name in `names` (in order) before testing any of them;
// true only when all `count` entry points were found. `entries` receives them.
bool bind_entry_points(HMODULE module, const char *const *names, FARPROC *entries, int count);

// An entry point found with GetProcAddress as its real type. The step through
// a parameterless function pointer says that the types differ on purpose.
template <typename Entry>
inline Entry bound_entry(FARPROC entry)
{
    return reinterpret_cast<Entry>(reinterpret_cast<void (*)(void)>(entry));
}

// redirection.cpp
// File-system redirection of a 32-bit program on 64-bit Windows (WoW64): every
// path under %windir%\System32 that it opens or lists leads to SysWOW64 unless
// its thread turns redirection off. The calls are newer than the platforms the
// tool was made for and are bound at run time; while redirection is off no
// library may be loaded (the 64-bit System32 would supply it), so whoever turns
// it off binds every entry point it will call first.
typedef BOOL(WINAPI *RedirectionOffCall)(void **old_value);
typedef BOOL(WINAPI *RedirectionBackCall)(void *old_value);
struct Redirection {
    HMODULE kernel;             // holds the two calls; NULL when there is nothing to turn off
    RedirectionOffCall turn_off;
    RedirectionBackCall turn_back;
    void *old_value;            // what turn_back needs
    bool off;                   // turned off by turn_redirection_off, not yet back on
};
// True when the tool runs under WoW64 and the calls are bound. Otherwise
// (IsWow64Process or the redirection calls absent, a failed query, not WoW64)
// the record is inert: the other routines then change nothing.
bool bind_redirection(Redirection *redirection);
// Turns redirection off on the calling thread; false, with redirection as it
// was, when there is none to turn off or the call fails.
bool turn_redirection_off(Redirection *redirection);
// Back on, when turn_redirection_off turned it off.
void turn_redirection_on(Redirection *redirection);
// Back on when needed, and the library freed; the record is inert afterwards.
void release_redirection(Redirection *redirection);

// console.cpp
// All output goes to standard output through here.
void out(const char *format, ...) __attribute__((format(printf, 1, 2)));
// `format` holds one "%S": the UTF-16 text is shown in the console's code page,
// "?" for characters that code page lacks; the rest of the line is never lost.
void out_wide(const char *format, const wchar_t *text);
// UTF-16 text in the console's code page, "?" for what it lacks; always
// zero-terminated within `size` bytes.
void narrow_for_console(const wchar_t *text, char *buffer, int size);
void flush_output(void);

#endif
