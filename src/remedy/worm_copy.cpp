#include "remedy/remedy.h"

// NOT YET BUILT: placeholder until worm-copy removal lands; removes nothing.
template <typename Ch>
int remove_worm_copy(const Ch *, WormRemoval *outcome)
{
    if (outcome != 0)
        *outcome = RemovalFailed;
    return 1;
}

template int remove_worm_copy<char>(const char *, WormRemoval *);
template int remove_worm_copy<wchar_t>(const wchar_t *, WormRemoval *);
