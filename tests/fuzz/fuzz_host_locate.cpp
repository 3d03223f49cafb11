// Any bytes through host location and the in-place move. The input is used as
// it is, and again behind a worm image whose header the fuzzer's first bytes
// patch, so that the section-table read and the search run on most inputs.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "detect/image_rules.h"
#include "remedy/host_locate.h"

static void check(const uint8_t *bytes, size_t size)
{
    // An exactly-sized heap copy, so that a read or write one past the end is caught.
    uint8_t *view = static_cast<uint8_t *>(malloc(size ? size : 1));
    memcpy(view, bytes, size);
    const uint32_t n = static_cast<uint32_t>(size);
    uint32_t e_lfanew = 0, start = 0, new_size = 0;
    const bool pe = pe_header_valid(view, n, &e_lfanew);
    int result = restore_host_in_view(view, n, &new_size);
    if (result == HOST_FOUND) {
        // The host: an "MZ" after offset 0, at most at size - 4, found at or
        // after the search start, and moved byte for byte.
        const uint32_t host_start = n - new_size;
        if (!pe || host_start == 0 || new_size < 4)
            abort();
        if (!read_search_start(bytes, n, e_lfanew, &start) || host_start < start)
            abort();
        if (memcmp(view, bytes + host_start, new_size) != 0 || view[0] != 'M' || view[1] != 'Z')
            abort();
        for (uint32_t i = start; i < host_start; ++i)
            if (bytes[i] == 'M' && bytes[i + 1] == 'Z')
                abort();
    } else {
        // No hit writes nothing.
        if (memcmp(view, bytes, size) != 0)
            abort();
        if (result == HOST_NOT_PE && pe && read_search_start(bytes, n, e_lfanew, &start))
            abort();
        if (result != HOST_NOT_PE && result != HOST_ABSENT)
            abort();
    }
    free(view);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check(data, size);

    // A sound header at the front: e_lfanew 0x40, then the fuzzer's bytes from
    // the section count on (count, optional-header size, section table, search
    // start and the rest of the file are all theirs).
    const size_t header = 0x40 + 6;
    const size_t total = header + (size > 249 ? size : 249);
    uint8_t *image = static_cast<uint8_t *>(calloc(total, 1));
    image[0] = 'M';
    image[1] = 'Z';
    image[0x18] = 0x40;
    image[0x3C] = 0x40;
    memcpy(image + 0x40, "PE\0\0", 4);
    memcpy(image + header, data, size);
    check(image, total);
    free(image);
    return 0;
}
