// The rewrite reads lines of at most 259 characters: a longer line comes in
// pieces, each written as read, so the text passes through unchanged.
#include "remedy/wininit.h"

#include <string.h>

enum { LINE_BUFFER = 260, CTRL_Z = 0x1A };

bool wininit_text_intact(FILE *binary)
{
    unsigned char chunk[512];
    bool ctrl_z_seen = false;
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, binary)) > 0) {
        for (size_t i = 0; i < n; ++i) {
            // Anything after a Ctrl-Z, even another one, would be lost.
            if (chunk[i] == 0 || ctrl_z_seen)
                return false;
            ctrl_z_seen = chunk[i] == CTRL_Z;
        }
    }
    return !ferror(binary);
}

// Installers write "[Rename]" or "[RENAME]": the section is one and the same.
static bool holds_section_header(const char *line)
{
    static const char header[] = "[rename]";
    for (; *line != 0; ++line) {
        size_t i = 0;
        while (header[i] != 0) {
            char c = line[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != header[i])
                break;
            ++i;
        }
        if (header[i] == 0)
            return true;
    }
    return false;
}

bool rewrite_wininit(FILE *old_content, FILE *new_content, const char *path)
{
    char line[LINE_BUFFER];
    bool have_section = false;

    // Up to and including the first line that holds the section header.
    while (old_content != NULL && !feof(old_content)) {
        if (fgets(line, sizeof line, old_content) == NULL)
            break;
        fputs(line, new_content);
        if (holds_section_header(line)) {
            have_section = true;
            break;
        }
    }
    // A "[rename]" line that ends the file without a line break has set the
    // end-of-file indicator; it is the section all the same and gets no twin.
    if (!have_section)
        fputs("\n[rename]", new_content);
    fprintf(new_content, "\nNUL=%s\n", path);

    // Everything after the header, once each.
    while (old_content != NULL && !feof(old_content)) {
        if (fgets(line, sizeof line, old_content) == NULL)
            break;
        fputs(line, new_content);
    }

    bool read_failed = old_content != NULL && ferror(old_content);
    return !read_failed && fflush(new_content) == 0 && !ferror(new_content);
}
