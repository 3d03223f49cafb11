// Any bytes through the image rules. Inputs are padded past the worm's minimum
// size in a second pass so that the header, signature and checksum paths run,
// with the fuzzer's bytes at the front and at the end of the view.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "detect/image_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Exactly-sized heap copies, so that a read one past the end is caught.
    uint8_t *exact = static_cast<uint8_t *>(malloc(size ? size : 1));
    memcpy(exact, data, size);
    ScanVerdict v = rate_image(exact, static_cast<uint32_t>(size));
    if (size == 0 && v != Empty)
        abort();
    if (size != 0 && size < WORM_MIN_SIZE && v != Clean)
        abort();
    free(exact);

    const size_t padded = WORM_MIN_SIZE + (size % 8192);
    uint8_t *big = static_cast<uint8_t *>(calloc(padded, 1));
    memcpy(big, data, size < padded ? size : padded);
    if (size > 0x40)
        memcpy(big + padded - 0x40, data + size - 0x40, 0x40);
    uint32_t lfanew = 0;
    const uint32_t n = static_cast<uint32_t>(padded);
    v = rate_image(big, n);
    const bool pe = pe_header_valid(big, n, &lfanew);
    const bool sum = crc32_block(big, CHECKSUM_SPAN) == WORM_CHECKSUM;
    if (v == Infected && !(pe && n >= INFECTED_MIN_SIZE))
        abort();
    if (v == WormCopy && !((pe && n < INFECTED_MIN_SIZE) || sum))
        abort();
    // The same verdict from the head and the PE signature's four bytes alone,
    // as the offline program maps them.
    uint32_t offset = 0;
    const bool far = pe_signature_offset(big, RULES_HEAD_SPAN, n, &offset) && offset > RULES_HEAD_SPAN - 4;
    if (rate_file(big, RULES_HEAD_SPAN, n, far ? big + offset : nullptr) != v)
        abort();
    free(big);
    return 0;
}
