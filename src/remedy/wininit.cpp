// The rewrite reads lines of at most 259 characters: a longer line comes in
// pieces, each written as read, so the text passes through unchanged.
#include "remedy/wininit.h"

#include <string.h>

enum { LINE_BUFFER = 260 };

bool rewrite_wininit(FILE *old_content, FILE *new_content, const char *path)
{
    char line[LINE_BUFFER];
    bool have_section = false;

    // Up to and including the first line that holds the section header.
    while (old_content != NULL && !feof(old_content)) {
        if (fgets(line, sizeof line, old_content) == NULL)
            break;
        fputs(line, new_content);
        if (strstr(line, "[rename]") != NULL) {
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
