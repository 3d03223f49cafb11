#include "sysfix/sysfix.h"

// NOT YET BUILT: placeholder until share removal lands; does nothing.
int remove_shares(void)
{
    return 1;
}
