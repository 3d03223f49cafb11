// Any text through the WININIT.INI rewrite. Text that cannot pass the text
// streams whole (a zero byte, a Ctrl-Z before the last byte) is refused; any
// other comes out as it went in with one block inserted: "\nNUL=path\n" after
// a line holding the section header in any case, or "\n[rename]\nNUL=path\n"
// at the end when no line holds one.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "remedy/wininit.h"

static const char PATH[] = "C:\\WINDOWS\\TEMP\\WORM.EXE";

static FILE *stream_of(const uint8_t *data, size_t size)
{
    FILE *f = tmpfile();
    if (f == NULL || fwrite(data, 1, size, f) != size)
        abort();
    rewind(f);
    return f;
}

static std::string contents(FILE *f)
{
    std::string text;
    rewind(f);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        text.append(chunk, n);
    return text;
}

static bool holds_header(const std::string &text)
{
    std::string lower = text;
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + ('a' - 'A'));
    return lower.find("[rename]") != std::string::npos;
}

// Whether a line of at most 259 characters (a line the rewrite reads whole) holds the header.
static bool short_line_holds_header(const std::string &text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        if (end - start <= 259 && holds_header(text.substr(start, end - start)))
            return true;
        start = end;
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string in(reinterpret_cast<const char *>(data), size);
    FILE *old_content = stream_of(data, size);
    const bool sound = in.find('\0') == std::string::npos &&
                       (size < 2 || in.find('\x1a') >= size - 1);
    if (wininit_text_intact(old_content) != sound)
        abort();
    if (!sound) {
        fclose(old_content);
        return 0;
    }
    rewind(old_content);
    FILE *new_content = tmpfile();
    if (new_content == NULL || !rewrite_wininit(old_content, new_content, PATH))
        abort();
    const std::string out = contents(new_content);
    fclose(new_content);
    fclose(old_content);

    const std::string entry = std::string("\nNUL=") + PATH + "\n";
    const std::string with_header = "\n[rename]" + entry;
    // out = in[0, p) + block + in[p, size): the common prefix and suffix bound p.
    size_t prefix = 0;
    while (prefix < size && prefix < out.size() && out[prefix] == in[prefix])
        ++prefix;
    size_t suffix = 0;
    while (suffix < size && suffix < out.size() && out[out.size() - 1 - suffix] == in[size - 1 - suffix])
        ++suffix;
    for (const std::string *block : {&entry, &with_header}) {
        if (out.size() != size + block->size())
            continue;
        for (size_t p = size - (suffix < size ? suffix : size); p <= prefix; ++p) {
            if (out.compare(p, block->size(), *block) != 0)
                continue;
            // A new section only at the end of a text that had none; the entry
            // only after text that holds the header.
            if (block == &with_header && (p != size || short_line_holds_header(in)))
                abort();
            if (block == &entry && !holds_header(in.substr(0, p)))
                abort();
            return 0;
        }
    }
    abort();  // not one block inserted into the text
}
