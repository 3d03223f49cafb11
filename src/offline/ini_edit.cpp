#include "offline/ini_edit.h"

#include "sysfix/shell_entry.h"

namespace {

// The profile service's blanks, with the DOS end-of-file mark that old editors leave.
bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

}  // namespace

ShellEntry find_shell_entry(std::string_view ini)
{
    ShellEntry entry;
    size_t begin = ini.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    bool in_boot = false;
    while (begin < ini.size()) {
        size_t end = ini.find('\n', begin);
        if (end == std::string_view::npos)
            end = ini.size();
        const std::string_view line = trimmed(ini.substr(begin, end - begin));
        const size_t close = line.find(']');
        // A "[" line without "]" is no section header: it is read as a key.
        if (!line.empty() && line.front() == '[' && close != std::string_view::npos) {
            // Only the first [boot] counts: the entry is not looked for in a later one.
            if (in_boot)
                return entry;
            in_boot = equal_ignoring_case(line.substr(1, close - 1), "boot");
        } else if (in_boot) {
            const size_t equals = line.find('=');
            if (equal_ignoring_case(trimmed(line.substr(0, equals)), "shell")) {
                entry.present = true;
                entry.line_begin = begin;
                entry.line_end = end > begin && ini[end - 1] == '\r' ? end - 1 : end;
                if (equals != std::string_view::npos)
                    entry.value = trimmed(line.substr(equals + 1)).substr(0, SHELL_VALUE_CHARS);
                return entry;
            }
        }
        begin = end + 1;
    }
    return entry;
}

bool shell_entry_names_loader(const ShellEntry &entry)
{
    // Read as the C string the profile service would hand back: up to a zero byte.
    return entry.present && shell_names_loader(entry.value.c_str());
}

std::string repair_shell_entry(std::string_view ini, const ShellEntry &entry)
{
    std::string repaired(ini.substr(0, entry.line_begin));
    repaired += "shell=";
    repaired += SHELL_REPAIRED;
    repaired += ini.substr(entry.line_end);
    return repaired;
}
