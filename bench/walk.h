// The directory walk shared by the two comparison programs of the sweep
// benchmark: every fixed drive from C: to Z:, FindFirstFileW/FindNextFileW,
// one 260-character buffer per level, "." and ".." skipped, paths that would
// not fit skipped, as the tool's sweep walks.
#ifndef VESKACURE_BENCH_WALK_H
#define VESKACURE_BENCH_WALK_H

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { BENCH_PATH_CHARS = 260, BENCH_LARGE_FILE = 0xE000 };

struct WalkCounts {
    unsigned long folders;
    unsigned long files;
    unsigned long large_files;
};

// Called with the full path of every file of 57,344 bytes or more; may be null.
typedef void (*LargeFileVisitor)(const wchar_t *path);

static size_t bench_length(const wchar_t *text)
{
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

static bool bench_join(wchar_t *buffer, const wchar_t *base, size_t base_chars, const wchar_t *name,
                       size_t reserve)
{
    size_t name_chars = bench_length(name);
    if (base_chars + 1 + name_chars + reserve + 1 > BENCH_PATH_CHARS)
        return false;
    memcpy(buffer, base, base_chars * sizeof(wchar_t));
    buffer[base_chars] = L'\\';
    memcpy(buffer + base_chars + 1, name, (name_chars + 1) * sizeof(wchar_t));
    return true;
}

static void walk_directory(const wchar_t *dir, LargeFileVisitor visit, WalkCounts *counts)
{
    wchar_t *buffer = static_cast<wchar_t *>(malloc(BENCH_PATH_CHARS * sizeof(wchar_t)));
    if (buffer == NULL)
        return;
    size_t base_chars = bench_length(dir);
    if (base_chars == 3 && dir[1] == L':')
        base_chars = 2;
    ++counts->folders;
    WIN32_FIND_DATAW entry;
    HANDLE search = INVALID_HANDLE_VALUE;
    if (bench_join(buffer, dir, base_chars, L"*.*", 0))
        search = FindFirstFileW(buffer, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const wchar_t *name = entry.cFileName;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                bool dots = name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
                if (!dots && bench_join(buffer, dir, base_chars, name, 4))
                    walk_directory(buffer, visit, counts);
                continue;
            }
            ++counts->files;
            if (entry.nFileSizeHigh == 0 && entry.nFileSizeLow < BENCH_LARGE_FILE)
                continue;
            ++counts->large_files;
            if (visit != NULL && bench_join(buffer, dir, base_chars, name, 0))
                visit(buffer);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    free(buffer);
}

static void walk_fixed_drives(LargeFileVisitor visit, WalkCounts *counts)
{
    for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
        const wchar_t root[] = {letter, L':', L'\\', 0};
        if (GetDriveTypeW(root) == DRIVE_FIXED)
            walk_directory(root, visit, counts);
    }
}

static void print_counts(const WalkCounts &counts)
{
    printf("folders=%lu files=%lu large=%lu", counts.folders, counts.files, counts.large_files);
}

#endif
