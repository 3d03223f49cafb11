#include "memscan/memscan.h"

// NOT YET BUILT: placeholder until the process scan lands; answers "nothing found".
int scan_memory(void)
{
    return 0;
}
