// Switches are matched case-insensitively by prefix: /GUEST and /UNSHARE need
// their full names, and whatever follows them is not looked at (/Guests,
// /unshared). Arguments without a leading "/" are ignored.
#include "driver/options.h"

static char upper_ascii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when `text` begins with `word` (given in upper case), ignoring ASCII case.
static bool starts_with_upper(const char *text, const char *word)
{
    for (; *word != 0; ++word, ++text)
        if (upper_ascii(*text) != *word)
            return false;
    return true;
}

int parse_switches(int argc, const char *const *argv, RunOptions *options)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '/')
            continue;
        char selector = upper_ascii(arg[1]);
        if (selector == 'G' && starts_with_upper(arg + 2, "UEST"))
            options->guest_prompt = true;
        else if (selector == 'U' && starts_with_upper(arg + 2, "NSHARE"))
            options->unshare = true;
        else
            return i;
    }
    return 0;
}
