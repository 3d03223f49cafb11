// Any bytes as SYSTEM.INI through the shell-entry reader and the one-line
// repair: the entry lies on one line inside the text, the repair keeps every
// byte outside that line, and the repaired text reads back as the plain shell.
// The input is used as it is and again behind a [boot] header, so that most
// runs reach the key and value paths.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "offline/ini_edit.h"
#include "sysfix/shell_entry.h"

static void check(const std::string &ini)
{
    const ShellEntry entry = find_shell_entry(ini);
    if (!entry.present)
        return;
    const size_t begin = entry.line_begin;
    const bool starts_line = begin == 0 || ini[begin - 1] == '\n' || (begin == 3 && ini.compare(0, 3, "\xEF\xBB\xBF") == 0);
    if (!starts_line || begin > entry.line_end || entry.line_end > ini.size() ||
        ini.find('\n', begin) < entry.line_end || entry.value.size() > SHELL_VALUE_CHARS)
        abort();
    const std::string repaired = repair_shell_entry(ini, entry);
    const std::string line = std::string("shell=") + SHELL_REPAIRED;
    if (repaired.compare(0, begin, ini, 0, begin) != 0 || repaired.compare(begin, line.size(), line) != 0 ||
        repaired.compare(begin + line.size(), std::string::npos, ini, entry.line_end, std::string::npos) != 0)
        abort();
    const ShellEntry again = find_shell_entry(repaired);
    if (!again.present || again.line_begin != begin || again.value != SHELL_REPAIRED ||
        shell_entry_names_loader(again))
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    check(input);
    check("[boot]\n" + input);
    return 0;
}
