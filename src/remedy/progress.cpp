#include "remedy/progress.h"

#include <stdio.h>
#include <string.h>

#include "platform/interrupt.h"
#include "platform/platform.h"

enum {
    TITLE_CHARS = 1024,    // what is saved; a longer title is left alone
    UPDATE_EVERY_MS = 250  // a title that changes faster only costs time
};

// One sweep runs at a time on the tool's single thread.
static struct {
    bool active;
    bool shown;            // whether the title has been changed yet
    DWORD last_update;
    unsigned long files;
    char saved_title[TITLE_CHARS];
} progress;

// Progress goes to the title only when standard output is a console window;
// a pipe, a file or the NUL device gets nothing extra.
static bool output_is_console(void)
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == NULL || output == INVALID_HANDLE_VALUE)
        return false;
    return GetFileType(output) == FILE_TYPE_CHAR && GetConsoleMode(output, &mode) != 0;
}

void progress_start(void)
{
    progress.active = false;
    progress.shown = false;
    progress.files = 0;
    if (!output_is_console())
        return;
    // A title that cannot be read back (or might be cut short) could not be
    // put back as it was, so it is not changed at all. An empty title reads
    // as 0 characters without an error; it is put back empty.
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetConsoleTitleA(progress.saved_title, TITLE_CHARS);
    if ((length == 0 && GetLastError() != ERROR_SUCCESS) || length >= TITLE_CHARS - 1)
        return;
    progress.saved_title[length] = 0;
    progress.active = true;
}

// Shows the title when one is due: the first time at once, then at most every
// UPDATE_EVERY_MS. `dir` is already in the console's code page.
static bool update_due(bool is_file)
{
    if (!progress.active)
        return false;
    if (is_file)
        ++progress.files;
    DWORD now = GetTickCount();
    if (progress.shown && now - progress.last_update < UPDATE_EVERY_MS)
        return false;
    progress.last_update = now;
    return true;
}

static void show_title(const char *dir)
{
    char title[400];
    char drive = dir[0] != 0 ? dir[0] : '?';
    _snprintf(title, sizeof title, "VESKACURE - drive %c: - %lu files examined - %s", drive,
              progress.files, dir);
    title[sizeof title - 1] = 0;
    // Whole, like a line of output: never set after an interruption put the title back.
    begin_guarded_work();
    SetConsoleTitleA(title);
    progress.shown = true;
    end_guarded_work();
}

void progress_entry(const char *dir, bool is_file)
{
    if (update_due(is_file))
        show_title(dir);
}

void progress_entry(const wchar_t *dir, bool is_file)
{
    if (!update_due(is_file))
        return;
    char narrow[260 * 4 + 1];
    narrow_for_console(dir, narrow, sizeof narrow);
    show_title(narrow);
}

void progress_finish(void)
{
    if (progress.active && progress.shown)
        SetConsoleTitleA(progress.saved_title);
    progress.active = false;
    progress.shown = false;
}
