// Windows-free path rules of the drive sweep, over the character type of
// either text flavour: every path is built in one buffer of PATH_CHARS.
#ifndef VESKACURE_REMEDY_SWEEP_PATHS_H
#define VESKACURE_REMEDY_SWEEP_PATHS_H

#include <stddef.h>

enum {
    PATH_CHARS = 260,  // one path buffer per directory level, in the flavour's characters
    PATTERN_TAIL = 4   // "\\*.*" that a subdirectory's own listing will append
};

template <typename Ch>
size_t text_length(const Ch *text)
{
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

// "." and ".." exactly (case and length matter): never walked into.
template <typename Ch>
bool is_dot_entry(const Ch *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// How much of `dir` joins with "\\" and a name: all of it, except that a drive
// root ("C:\\") is used without its backslash, so no backslash is doubled.
template <typename Ch>
size_t base_length(const Ch *dir)
{
    size_t n = text_length(dir);
    return (n == 3 && dir[1] == ':' && dir[2] == '\\') ? 2 : n;
}

// Writes the first `base_chars` characters of `base`, "\\" and `name` into
// `buffer` when that, `reserve` more characters and the terminating zero fit
// in PATH_CHARS; otherwise leaves the buffer alone and answers false.
template <typename Ch>
bool join_path(Ch *buffer, const Ch *base, size_t base_chars, const Ch *name, size_t reserve)
{
    size_t name_chars = text_length(name);
    if (base_chars >= PATH_CHARS || name_chars >= PATH_CHARS || reserve >= PATH_CHARS ||
        base_chars + 1 + name_chars + reserve + 1 > PATH_CHARS)
        return false;
    for (size_t i = 0; i < base_chars; ++i)
        buffer[i] = base[i];
    buffer[base_chars] = '\\';
    for (size_t i = 0; i <= name_chars; ++i)
        buffer[base_chars + 1 + i] = name[i];
    return true;
}

#endif
