#include "remedy/remedy.h"

// NOT YET BUILT: placeholder until the drive sweep lands; sweeps nothing.
template <typename Ch>
int sweep_fixed_drives(void)
{
    return 1;
}

template int sweep_fixed_drives<char>(void);
template int sweep_fixed_drives<wchar_t>(void);
