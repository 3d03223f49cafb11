// The host of an infected file begins at the first "MZ" at or after the raw
// data of the worm image's second-to-last section. Every field is read through
// the bounded readers, so no input leads outside the view.
#include "remedy/host_locate.h"

#include <string.h>

#include "detect/image_rules.h"

enum {
    SECTION_ENTRY_SIZE = 40,
    POINTER_TO_RAW_DATA = 20,  // within a section-table entry
    NUMBER_OF_SECTIONS = 6,    // within the PE header
    SIZE_OF_OPTIONAL_HEADER = 20,
    SECTION_TABLE = 24         // from the PE header to the optional header
};

bool read_search_start(const uint8_t *view, uint32_t size, uint32_t e_lfanew, uint32_t *start)
{
    uint16_t sections = 0, optional = 0;
    // e_lfanew is below size - 248 when the header rules passed, but the sums
    // are done in 64 bits all the same: the field offset can pass 4 GiB.
    uint64_t header = e_lfanew;
    if (!read_u16(view, size, e_lfanew + NUMBER_OF_SECTIONS, &sections) ||
        !read_u16(view, size, e_lfanew + SIZE_OF_OPTIONAL_HEADER, &optional))
        return false;
    // With fewer than two entries the second-to-last one would lie before the table.
    if (sections < 2)
        return false;
    uint64_t field = header + SECTION_TABLE + optional +
                     static_cast<uint64_t>(SECTION_ENTRY_SIZE) * (sections - 2u) + POINTER_TO_RAW_DATA;
    if (field > size)
        return false;
    return read_u32(view, size, static_cast<uint32_t>(field), start);
}

int locate_host(const uint8_t *view, uint32_t size, uint32_t *host_start)
{
    uint32_t e_lfanew = 0, start = 0;
    if (!pe_header_valid(view, size, &e_lfanew))
        return HOST_NOT_PE;
    if (!read_search_start(view, size, e_lfanew, &start))
        return HOST_NOT_PE;
    // The header rules guarantee size > 248, so size - 4 does not wrap, and
    // i + 1 stays inside the view. An "MZ" that begins at size - 3 or size - 2
    // is not looked for.
    const uint32_t last = size - 4;
    for (uint32_t i = start; i <= last; ++i) {
        if (view[i] == 0x4D && view[i + 1] == 0x5A) {
            // A search start of 0 finds the file's own "MZ": nothing would be cut
            // off, and a caller that examines the file again would loop forever.
            if (i == 0)
                return HOST_ABSENT;
            *host_start = i;
            return HOST_FOUND;
        }
    }
    return HOST_ABSENT;
}

uint32_t move_host_to_front(uint8_t *view, uint32_t size, uint32_t host_start)
{
    const uint32_t length = size - host_start;
    memmove(view, view + host_start, length);
    return length;
}

int restore_host_in_view(uint8_t *view, uint32_t size, uint32_t *new_size)
{
    uint32_t host_start = 0;
    int result = locate_host(view, size, &host_start);
    if (result == HOST_FOUND)
        *new_size = move_host_to_front(view, size, host_start);
    return result;
}

int restore_infected_view(uint8_t *view, uint32_t size, uint32_t *new_size)
{
    if (rate_image(view, size) != Infected)
        return HOST_ABSENT;
    int result = restore_host_in_view(view, size, new_size);
    if (result == HOST_FOUND)
        memset(view + *new_size, 0, size - *new_size);
    return result;
}

uint64_t max_restorations(uint64_t size)
{
    return size / WORM_MIN_SIZE + 1;
}
