#include "remedy/remedy.h"

#include <stdlib.h>

#include "detect/classify.h"
#include "detect/image_rules.h"
#include "platform/fileapi.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "remedy/progress.h"
#include "remedy/sweep_paths.h"

// Set at the first find of the run and never cleared: it decides the one
// blank-line separator and is what every directory walk answers.
static int found_any = 0;

// The find lines, in each flavour's conversion; the outcome completes the line.
static void show_infected(const char *path) { out(" Found PE_VESKA.A   ->   %s...", path); }
static void show_infected(const wchar_t *path) { out_wide(" Found PE_VESKA.A   ->   %S...", path); }
static void show_worm_copy(const char *path) { out(" Found PE_VESKA.A-O ->   %s...", path); }
static void show_worm_copy(const wchar_t *path) { out_wide(" Found PE_VESKA.A-O ->   %S...", path); }

static void note_find(void)
{
    if (found_any == 0)
        out("\n\n");
    found_any = 1;
}

// Acts on one file's verdict. A restored host is examined again, as a host
// can carry the worm itself; restoration answers -2 when it would not shorten
// the file, so the repetition always ends.
template <typename Ch>
static void examine_file(const Ch *path)
{
    ScanVerdict verdict = classify_file(path);
    while (verdict == Infected) {
        note_find();
        show_infected(path);
        if (restore_host(path) != 0) {
            out("Error!\n");
            return;
        }
        out("Cleaned!\n");
        verdict = classify_file(path);
    }
    if (verdict == WormCopy) {
        note_find();
        show_worm_copy(path);
        WormRemoval outcome = RemovalFailed;
        remove_worm_copy(path, &outcome);
        if (outcome == RemovedNow || outcome == RemovalScheduled)
            out("Deleted.\n");
        else
            out("Error!\n");
    }
}

// Files shorter than the worm are never opened: the classifier would answer
// Clean (or Empty) from the size alone, and most files on a disk are small.
template <typename Ch>
static bool may_hold_worm(const typename FindData<Ch>::Type &entry)
{
    return entry.nFileSizeHigh != 0 || entry.nFileSizeLow >= WORM_MIN_SIZE;
}

// The entries of one listing. A file whose full path would not fit is passed
// over and the listing goes on; so is a subdirectory whose own search pattern
// would not fit, which also ends a directory loop (a link to an ancestor)
// once its path has grown to the limit.
template <typename Ch>
static void walk_listing(HANDLE search, typename FindData<Ch>::Type *entry, Ch *buffer, const Ch *dir,
                         size_t base_chars)
{
    do {
        bool is_file = (entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        progress_entry(dir, is_file);
        if (!is_file) {
            if (!is_dot_entry(entry->cFileName) &&
                join_path(buffer, dir, base_chars, entry->cFileName, PATTERN_TAIL))
                sweep_directory(buffer);
        } else if (may_hold_worm<Ch>(*entry) && join_path(buffer, dir, base_chars, entry->cFileName, 0)) {
            // One file is one piece of work: an interruption lets its find
            // line be completed with what became of the file.
            begin_guarded_work();
            examine_file(buffer);
            end_guarded_work();
        }
    } while (find_next_file(search, entry));
}

template <typename Ch>
int sweep_directory(const Ch *dir)
{
    static const Ch all_entries[] = {'*', '.', '*', 0};
    Ch *buffer = static_cast<Ch *>(malloc(PATH_CHARS * sizeof(Ch)));
    if (buffer == NULL)
        return 8;

    size_t base_chars = base_length(dir);
    int result = 8;
    HANDLE search = INVALID_HANDLE_VALUE;
    typename FindData<Ch>::Type entry;
    if (join_path(buffer, dir, base_chars, all_entries, 0)) {
        search = find_first_file(buffer, &entry);
        if (search != INVALID_HANDLE_VALUE) {
            walk_listing(search, &entry, buffer, dir, base_chars);
            result = found_any;
        } else {
            // No entries at all (the root of an empty drive has no "." or
            // ".."): an empty listing, not a failure.
            DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES)
                result = found_any;
        }
    }

    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    free(buffer);
    return result;
}

template <typename Ch>
int sweep_fixed_drives(void)
{
    bool any_answer = false;
    progress_start();
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        const Ch root[] = {static_cast<Ch>(letter), ':', '\\', 0};
        if (drive_type(root) == DRIVE_FIXED && sweep_directory(root) != 0)
            any_answer = true;
    }
    progress_finish();
    if (!any_answer)
        out("\n\tNot found.");
    return 1;
}

template int sweep_directory<char>(const char *);
template int sweep_directory<wchar_t>(const wchar_t *);
template int sweep_fixed_drives<char>(void);
template int sweep_fixed_drives<wchar_t>(void);
