#include "webclean/webclean.h"

// NOT YET BUILT: placeholder until the companion launch lands; starts nothing.
int launch_web_cleaner(void)
{
    return 1;
}
