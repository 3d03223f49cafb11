#include "remedy/remedy.h"

// NOT YET BUILT: placeholder until host restoration lands; restores nothing.
template <typename Ch>
int restore_host(const Ch *)
{
    return -2;
}

template int restore_host<char>(const char *);
template int restore_host<wchar_t>(const wchar_t *);
