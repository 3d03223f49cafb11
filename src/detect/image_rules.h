// Windows-free detection rules over a byte view of a whole file.
#ifndef VESKACURE_DETECT_IMAGE_RULES_H
#define VESKACURE_DETECT_IMAGE_RULES_H

#include <stdint.h>

#include "detect/verdict.h"

// Size limits of the worm's image.
enum {
    WORM_MIN_SIZE = 0xE000,      // 57,344: smaller files are never the worm
    INFECTED_MIN_SIZE = 0xF000,  // 61,440: from here on a matching image carries a host
    CHECKSUM_SPAN = 0x2CD        // 717 bytes covered by the checksum rule
};

static const uint32_t WORM_CHECKSUM = 0x026CF344u;

// crc32.cpp
// CRC-32 (reflected polynomial 0xEDB88320, preset and final complement), length >= 0.
uint32_t crc32_block(const void *data, uint32_t length);

// image_rules.cpp
// Bounded little-endian reads: false when the field does not lie wholly inside the view.
bool read_u16(const uint8_t *view, uint32_t size, uint32_t offset, uint16_t *out);
bool read_u32(const uint8_t *view, uint32_t size, uint32_t offset, uint32_t *out);

// The DOS/PE header rules shared by the classifier and host restoration:
// "MZ", relocation-table field >= 0x40, size > 248, e_lfanew < size - 248, "PE\0\0".
// On success *e_lfanew receives the PE header offset.
bool pe_header_valid(const uint8_t *view, uint32_t size, uint32_t *e_lfanew);

// The classifier's verdict for a file whose whole content is in view[0..size).
// Sizes below 57,344 answer Clean without a look inside; size 0 answers Empty.
ScanVerdict rate_image(const uint8_t *view, uint32_t size);

#endif
