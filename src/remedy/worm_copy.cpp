// Worm-copy removal: delete now, or have the system delete the file at the
// next start (delayed deletion on the NT family, WININIT.INI on the Win9x
// family, the latter only for 8-bit paths).
#include "remedy/remedy.h"

#include <stdio.h>
#include <string.h>

#include "platform/fileapi.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "remedy/wininit.h"

// The directory and the 12 characters of "\WININIT.INI" must fit, with the
// terminating zero, in one 260-character buffer.
enum { PATH_BUFFER = 260, WINDIR_MAX = PATH_BUFFER - 13 };

static bool file_is_missing(const char *path)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return false;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Windows 9x carries out WININIT.INI before long file names are available: the
// line names the file by its short path, or by the path as found when the
// short form cannot be had.
static const char *path_for_wininit(const char *path, char *short_path)
{
    DWORD length = GetShortPathNameA(path, short_path, PATH_BUFFER);
    return length != 0 && length < PATH_BUFFER ? short_path : path;
}

// The old content that the rewrite will read in text mode must come through
// whole: a zero byte or an early Ctrl-Z would cut it short.
static bool text_intact(const char *file)
{
    FILE *binary = fopen(file, "rb");
    if (binary == NULL)
        return false;
    bool intact = wininit_text_intact(binary);
    fclose(binary);
    return intact;
}

// A write that failed part-way (a full disk) would lose the renames other
// programs scheduled: the old file comes back from WININIT.BAK, or, when
// there was none, the new one goes.
static void roll_back(const char *ini, const char *bak, bool had_old)
{
    if (had_old)
        CopyFileA(bak, ini, FALSE);
    else
        DeleteFileA(ini);
}

// Adds "NUL=path" to the "[rename]" section of WININIT.INI, reading the old
// content from the WININIT.BAK copy made just before. Answers 1 when the file
// was rewritten, 0 when nothing was scheduled; WININIT.INI is then as it was.
static int schedule_in_wininit(const char *path, WormRemoval *how)
{
    char ini[PATH_BUFFER], bak[PATH_BUFFER], short_path[PATH_BUFFER];
    UINT length = GetWindowsDirectoryA(ini, PATH_BUFFER);
    if (length == 0 || length > WINDIR_MAX)
        return 0;
    strcpy(bak, ini);
    strcat(ini, "\\WININIT.INI");
    strcat(bak, "\\WININIT.BAK");

    FILE *old_content = NULL;
    if (CopyFileA(ini, bak, FALSE)) {
        if (!text_intact(bak))
            return 0;
        old_content = fopen(bak, "rt");
        if (old_content == NULL)
            return 0;
    } else if (!file_is_missing(ini)) {
        // A stale WININIT.BAK is never read: its lines would repeat old renames
        // and drop the current ones. The current file stays as it is.
        return 0;
    }
    // Without any WININIT.INI the old content is empty.

    int result = 0;
    FILE *new_content = fopen(ini, "wt");
    if (new_content != NULL) {
        bool written = rewrite_wininit(old_content, new_content, path_for_wininit(path, short_path));
        written = fclose(new_content) == 0 && written;
        if (written) {
            *how = RemovalScheduled;
            result = 1;
        } else {
            roll_back(ini, bak, old_content != NULL);
        }
    }
    if (old_content != NULL)
        fclose(old_content);
    return result;
}

// The wide flavour has no WININIT.INI scheme.
static int schedule_in_wininit(const wchar_t *, WormRemoval *)
{
    return 1;
}

// The two flavours' answers differ where the platform query fails and where
// delayed deletion was asked for.
static int version_failed_result(const char *) { return 0; }
static int version_failed_result(const wchar_t *) { return 1; }
static int delayed_result(const char *, bool) { return 1; }
static int delayed_result(const wchar_t *, bool accepted) { return accepted ? 0 : 1; }

// Completed as a whole (attributes, deletion or scheduling, WININIT.INI)
// before an interruption may stop the run.
template <typename Ch>
int remove_worm_copy(const Ch *path, WormRemoval *outcome)
{
    begin_guarded_work();
    WormRemoval how = RemovalFailed;
    int result;
    OSVERSIONINFOA info;
    if (!query_version(&info)) {
        out("\nCannot get OS version.");
        result = version_failed_result(path);
    } else {
        // Read-only, hidden and system are cleared for good: the file is going.
        set_file_attributes(path, FILE_ATTRIBUTE_NORMAL);
        if (delete_file(path)) {
            how = RemovedNow;
            result = 0;
        } else if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
            // Under WoW64 the sweep calls this with redirection off: the path
            // recorded is the file's real one, which is what the system works
            // through at the next start.
            bool accepted = move_file_ex(path, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
            if (accepted)
                how = RemovalScheduled;
            result = delayed_result(path, accepted);
        } else {
            result = schedule_in_wininit(path, &how);
        }
    }
    if (outcome != NULL)
        *outcome = how;
    end_guarded_work();
    return result;
}

template int remove_worm_copy<char>(const char *, WormRemoval *);
template int remove_worm_copy<wchar_t>(const wchar_t *, WormRemoval *);
