// <stdio.h> comes before <windows.h>: in the other order mingw's headers route
// printf to their own static implementation instead of msvcrt's.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform/interrupt.h"
#include "platform/platform.h"

// Each write is whole: an interruption that arrives during it stops the run
// after it, and one that came before stops the run instead of it, so nothing
// is printed after "Interrupted.".
void out(const char *format, ...)
{
    begin_guarded_work();
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    end_guarded_work();
}

void flush_output(void)
{
    begin_guarded_work();
    fflush(NULL);
    end_guarded_work();
}

// The code page the text will be shown in: the console's own, or the OEM code
// page a console would use when output is redirected.
static UINT output_code_page(void)
{
    UINT cp = GetConsoleOutputCP();
    return cp != 0 ? cp : GetOEMCP();
}

// Converts to the output code page with "?" for what it lacks. Best-fit
// mappings are refused where the platform knows the flag (not on 95/NT 4),
// so a character is either shown as itself or as "?".
void narrow_for_console(const wchar_t *text, char *buffer, int size)
{
    UINT cp = output_code_page();
    BOOL *no_used_default = NULL;
    const char *fallback = (cp == CP_UTF8 || cp == CP_UTF7) ? NULL : "?";
    DWORD flags = fallback != NULL ? WC_NO_BEST_FIT_CHARS : 0;
    int n = WideCharToMultiByte(cp, flags, text, -1, buffer, size, fallback, no_used_default);
    if (n == 0 && flags != 0)
        n = WideCharToMultiByte(cp, 0, text, -1, buffer, size, fallback, no_used_default);
    if (n == 0) {
        // Unknown code page or no room: fall back to plain ASCII so the line stays whole.
        int i = 0;
        for (; text[i] != 0 && i < size - 1; ++i)
            buffer[i] = text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
        buffer[i] = 0;
    }
}

void out_wide(const char *format, const wchar_t *text)
{
    // Paths are at most 260 UTF-16 units; four bytes each covers any code page.
    char narrow[260 * 4 + 1];
    narrow_for_console(text, narrow, sizeof narrow);

    char narrow_format[128];
    size_t len = strlen(format);
    if (len >= sizeof narrow_format)
        len = sizeof narrow_format - 1;
    memcpy(narrow_format, format, len);
    narrow_format[len] = 0;
    char *conversion = strstr(narrow_format, "%S");
    if (conversion != NULL)
        conversion[1] = 's';
    begin_guarded_work();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    printf(narrow_format, narrow);
#pragma GCC diagnostic pop
    end_guarded_work();
}
