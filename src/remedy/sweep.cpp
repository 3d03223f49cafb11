#include "remedy/remedy.h"

#include <stdint.h>
#include <stdlib.h>

#include "detect/classify.h"
#include "detect/image_rules.h"
#include "platform/fileapi.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "remedy/host_locate.h"
#include "remedy/progress.h"
#include "remedy/sweep_paths.h"

// Set at the first find of the run and never cleared: it is what every
// directory walk answers.
static int found_any = 0;
// The one blank-line separator comes before the first line of the sweep's
// list, whether that line is a find or an item not examined.
static bool list_started = false;
// Items the sweep could not examine, each already shown on its own line.
static unsigned long not_examined = 0;

// Volume mount points are the one kind of folder link that is walked: the
// entry point is bound for the length of one sweep (newer systems only).
typedef BOOL(WINAPI *VolumeNameA)(const char *mount_point, char *volume, DWORD length);
typedef BOOL(WINAPI *VolumeNameW)(const wchar_t *mount_point, wchar_t *volume, DWORD length);
static struct {
    VolumeNameA ansi;
    VolumeNameW wide;
} mount_points;

// The find lines, in each flavour's conversion; the outcome completes the line.
static void show_infected(const char *path) { out(" Found PE_VESKA.A   ->   %s...", path); }
static void show_infected(const wchar_t *path) { out_wide(" Found PE_VESKA.A   ->   %S...", path); }
static void show_worm_copy(const char *path) { out(" Found PE_VESKA.A-O ->   %s...", path); }
static void show_worm_copy(const wchar_t *path) { out_wide(" Found PE_VESKA.A-O ->   %S...", path); }
static void show_text(const char *text) { out("%s", text); }
static void show_text(const wchar_t *text) { out_wide("%S", text); }

static void start_list_line(void)
{
    if (!list_started)
        out("\n\n");
    list_started = true;
}

static void note_find(void)
{
    start_list_line();
    found_any = 1;
}

// What an item not examined is shown with: the platform's error code where it
// has a plain meaning, the number otherwise.
static void show_reason(DWORD error)
{
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        out(" (in use)\n");
    else if (error == ERROR_ACCESS_DENIED)
        out(" (access denied)\n");
    else
        out(" (error %lu)\n", static_cast<unsigned long>(error));
}

// Marks a path that did not fit the buffer, for show_reason's callers.
const DWORD PATH_TOO_LONG = 0xFFFFFFFF;

// One item not examined, on a line of its own in the sweep's layout. The path
// is printed from its parts (the first base_chars of `dir`, then "\\name"
// when there is a name), so a path that does not fit the buffer is shown
// whole; a folder's path ends with a backslash.
template <typename Ch>
static void report_not_examined(const Ch *dir, size_t base_chars, const Ch *name, bool folder,
                                DWORD error)
{
    static const Ch backslash[] = {'\\', 0};
    Ch base[PATH_CHARS];
    size_t n = base_chars < PATH_CHARS ? base_chars : PATH_CHARS - 1;
    for (size_t i = 0; i < n; ++i)
        base[i] = dir[i];
    base[n] = 0;

    start_list_line();
    out(" Not examined       ->   ");
    show_text(base);
    if (name != NULL) {
        show_text(backslash);
        show_text(name);
    }
    if (folder)
        show_text(backslash);
    if (error == PATH_TOO_LONG)
        out(" (path too long)\n");
    else
        show_reason(error);
    ++not_examined;
}

// Acts on one file's verdict. A restored host is examined again, as a host
// can carry the worm itself; every genuine layer of the worm is at least
// WORM_MIN_SIZE bytes long, so a file still rated Infected after
// max_restorations of its size is a crafted one and is not peeled further.
template <typename Ch>
static void examine_file(const Ch *path, uint64_t size, const Ch *dir, size_t base_chars,
                         const Ch *name)
{
    DWORD open_error = 0;
    ScanVerdict verdict = classify_file(path, &open_error);
    const uint64_t limit = max_restorations(size);
    uint64_t restored = 0;
    while (verdict == Infected) {
        note_find();
        show_infected(path);
        if (restored == limit || restore_host(path) != 0) {
            out("Error!\n");
            return;
        }
        ++restored;
        out("Cleaned!\n");
        verdict = classify_file(path, &open_error);
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
    } else if (verdict == OpenFailed) {
        report_not_examined(dir, base_chars, name, false, open_error);
    }
}

// Files shorter than the worm are never opened: the classifier would answer
// Clean (or Empty) from the size alone, and most files on a disk are small.
template <typename Ch>
static uint64_t entry_size(const typename FindData<Ch>::Type &entry)
{
    return (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
}

static bool is_mount_point(const char *path)
{
    char volume[64];
    return mount_points.ansi != NULL && mount_points.ansi(path, volume, sizeof volume) != 0;
}

static bool is_mount_point(const wchar_t *path)
{
    wchar_t volume[64];
    return mount_points.wide != NULL &&
           mount_points.wide(path, volume, sizeof volume / sizeof volume[0]) != 0;
}

// A folder that is a link (junction, symbolic link) is not walked: it leads
// back into folders the sweep reaches by their own path, to an ancestor
// (without end), or off the fixed drives. A volume mount point is walked,
// since no drive letter reaches its files. `buffer` is free for the test.
template <typename Ch>
static bool walk_into(const typename FindData<Ch>::Type &entry, Ch *buffer, const Ch *dir,
                      size_t base_chars)
{
    static const Ch backslash[] = {'\\', 0};
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return true;
    if (!join_path(buffer, dir, base_chars, entry.cFileName, 1))
        return false;
    size_t length = text_length(buffer);
    buffer[length] = backslash[0];
    buffer[length + 1] = 0;
    return is_mount_point(buffer);
}

// The entries of one listing. A file whose full path would not fit, or a
// subfolder whose own search pattern would not fit, is reported and the
// listing goes on. Answers the error that ended the listing early, or 0.
template <typename Ch>
static DWORD walk_listing(HANDLE search, typename FindData<Ch>::Type *entry, Ch *buffer,
                          const Ch *dir, size_t base_chars)
{
    do {
        bool is_file = (entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        progress_entry(dir, is_file);
        if (!is_file) {
            if (is_dot_entry(entry->cFileName) || !walk_into<Ch>(*entry, buffer, dir, base_chars))
                continue;
            if (join_path(buffer, dir, base_chars, entry->cFileName, PATTERN_TAIL))
                sweep_directory(buffer);
            else
                report_not_examined(dir, base_chars, entry->cFileName, true, PATH_TOO_LONG);
        } else if (entry_size<Ch>(*entry) >= WORM_MIN_SIZE) {
            if (join_path(buffer, dir, base_chars, entry->cFileName, 0)) {
                // One file is one piece of work: an interruption lets its find
                // line be completed with what became of the file.
                begin_guarded_work();
                examine_file(buffer, entry_size<Ch>(*entry), dir, base_chars, entry->cFileName);
                end_guarded_work();
            } else {
                report_not_examined(dir, base_chars, entry->cFileName, false, PATH_TOO_LONG);
            }
        }
    } while (find_next_file(search, entry));
    DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

// A folder that cannot be listed, or whose listing broke off, is reported;
// one with no entries at all (the root of an empty drive has no "." or
// "..") is an empty listing, not a failure.
template <typename Ch>
int sweep_directory(const Ch *dir)
{
    static const Ch all_entries[] = {'*', '.', '*', 0};
    size_t base_chars = base_length(dir);
    Ch *buffer = static_cast<Ch *>(malloc(PATH_CHARS * sizeof(Ch)));
    if (buffer == NULL) {
        report_not_examined(dir, base_chars, static_cast<const Ch *>(NULL), true,
                            ERROR_NOT_ENOUGH_MEMORY);
        return 8;
    }

    int result = 8;
    HANDLE search = INVALID_HANDLE_VALUE;
    typename FindData<Ch>::Type entry;
    if (!join_path(buffer, dir, base_chars, all_entries, 0)) {
        report_not_examined(dir, base_chars, static_cast<const Ch *>(NULL), true, PATH_TOO_LONG);
    } else {
        search = find_first_file(buffer, &entry);
        if (search != INVALID_HANDLE_VALUE) {
            DWORD error = walk_listing(search, &entry, buffer, dir, base_chars);
            if (error != 0)
                report_not_examined(dir, base_chars, static_cast<const Ch *>(NULL), true, error);
            result = found_any;
        } else {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES)
                result = found_any;
            else
                report_not_examined(dir, base_chars, static_cast<const Ch *>(NULL), true, error);
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
    not_examined = 0;
    HMODULE kernel = LoadLibraryA("KERNEL32.DLL");
    if (kernel != NULL) {
        mount_points.ansi =
            bound_entry<VolumeNameA>(GetProcAddress(kernel, "GetVolumeNameForVolumeMountPointA"));
        mount_points.wide =
            bound_entry<VolumeNameW>(GetProcAddress(kernel, "GetVolumeNameForVolumeMountPointW"));
    }
    // Under WoW64 the walk turns redirection off, so that System32 is examined
    // as it is (not SysWOW64 under its name, walked twice) and each find names
    // the file where it really is. Everything the walk calls is bound above:
    // nothing may be loaded while redirection is off.
    Redirection redirection;
    bind_redirection(&redirection);
    progress_start();
    turn_redirection_off(&redirection);
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        const Ch root[] = {static_cast<Ch>(letter), ':', '\\', 0};
        if (drive_type(root) == DRIVE_FIXED && sweep_directory(root) != 0)
            any_answer = true;
    }
    turn_redirection_on(&redirection);
    progress_finish();
    release_redirection(&redirection);
    mount_points.ansi = NULL;
    mount_points.wide = NULL;
    if (kernel != NULL)
        FreeLibrary(kernel);
    if (!any_answer)
        out("\n\tNot found.");
    if (not_examined != 0)
        out("\n\tNot examined: %lu (listed above).", not_examined);
    return 1;
}

template int sweep_directory<char>(const char *);
template int sweep_directory<wchar_t>(const wchar_t *);
template int sweep_fixed_drives<char>(void);
template int sweep_fixed_drives<wchar_t>(void);
