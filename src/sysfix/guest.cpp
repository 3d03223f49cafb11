#include "sysfix/sysfix.h"

// NOT YET BUILT: placeholder until the Guest lockdown lands; does nothing.
int lock_guest_account(void)
{
    return -1;
}
