// SYSTEM.INI's shell entry as the platform's profile service reads it, and the
// one-line edit that repairs it. Plain text work: no file access here.
#ifndef VESKACURE_OFFLINE_INI_EDIT_H
#define VESKACURE_OFFLINE_INI_EDIT_H

#include <stddef.h>

#include <string>
#include <string_view>

struct ShellEntry {
    bool present = false;   // the first [boot] section has a shell key
    size_t line_begin = 0;  // the entry's line: its first byte
    size_t line_end = 0;    // one past its last byte, before its "\r\n" or "\n"
    std::string value;      // blanks around it trimmed, cut to SHELL_VALUE_CHARS
};

// Section "boot" and key "shell", both matched case-insensitively, first
// occurrence of each; lines end at "\n", blanks (and a trailing "\r") around
// names and values do not count.
ShellEntry find_shell_entry(std::string_view ini);

// The entry holds the worm's loader, as veskacure.exe decides.
bool shell_entry_names_loader(const ShellEntry &entry);

// The file with the entry's line replaced by "shell=Explorer.exe": every other
// byte, line ends included, as it was.
std::string repair_shell_entry(std::string_view ini, const ShellEntry &entry);

#endif
