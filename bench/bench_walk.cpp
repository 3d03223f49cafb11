// bench_walk.exe: the bare walk of every fixed drive, nothing opened.
#include "walk.h"

int main(void)
{
    WalkCounts counts = {0, 0, 0};
    walk_fixed_drives(NULL, &counts);
    print_counts(counts);
    printf("\n");
    return 0;
}
