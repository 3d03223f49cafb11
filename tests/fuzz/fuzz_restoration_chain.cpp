// Any bytes through the restorations the sweep makes on one file: rate the
// view, restore the host in it, rate again, at most max_restorations(size)
// times. Each restoration is looked at twice: as if its cut was not made (the
// view keeps its old size: the host followed by zeros) and as if it was (the
// chain goes on with the host alone).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "detect/image_rules.h"
#include "remedy/host_locate.h"

// Signature C, the last of the three, ends at 0xA3C8 + 32.
static const uint32_t SIGNATURES_END = 0xA3C8 + 32;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly-sized heap copies, so that a read or write one past the end is caught.
    const uint32_t n = static_cast<uint32_t>(size);
    uint8_t *view = static_cast<uint8_t *>(malloc(size ? size : 1));
    uint8_t *before = static_cast<uint8_t *>(malloc(size ? size : 1));
    memcpy(view, data, size);
    const uint64_t limit = max_restorations(n);
    uint64_t done = 0;
    uint32_t current = n;
    bool short_layer = false;  // a layer shorter than any worm: a made-up file
    while (rate_image(view, current) == Infected && done < limit) {
        memcpy(before, view, current);
        uint32_t new_size = 0;
        if (restore_infected_view(view, current, &new_size) != HOST_FOUND) {
            if (memcmp(view, before, current) != 0)
                abort();  // a failed restoration writes nothing
            break;
        }
        ++done;
        const uint32_t host_start = current - new_size;
        if (new_size == 0 || new_size >= current || memcmp(view, before + host_start, new_size) != 0)
            abort();
        for (uint32_t i = new_size; i < current; ++i)
            if (view[i] != 0)
                abort();
        // Cut not made: the worm's old tail is gone, so the file rates Infected
        // again only when the host itself carries all three signatures (a
        // host infected in its own right, whose restoration is sound).
        if (rate_image(view, current) == Infected && new_size < SIGNATURES_END)
            abort();
        short_layer = short_layer || host_start < WORM_MIN_SIZE;
        current = new_size;
    }
    // The limit never stops a chain of genuine layers, each at least as long as the worm.
    if (done == limit && rate_image(view, current) == Infected && !short_layer)
        abort();
    free(before);
    free(view);
    return 0;
}
