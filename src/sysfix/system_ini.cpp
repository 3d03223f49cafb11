#include "sysfix/sysfix.h"

// NOT YET BUILT: placeholder until the SYSTEM.INI repair lands; answers "not found".
int repair_system_ini(void)
{
    return 1;
}
