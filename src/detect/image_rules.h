// Windows-free detection rules over a byte view of a whole file.
#ifndef VESKACURE_DETECT_IMAGE_RULES_H
#define VESKACURE_DETECT_IMAGE_RULES_H

#include <stdint.h>

#include "detect/verdict.h"

// Size limits of the worm's image.
enum {
    WORM_MIN_SIZE = 0xE000,      // 57,344: smaller files are never the worm
    INFECTED_MIN_SIZE = 0xF000,  // 61,440: from here on a matching image carries a host
    CHECKSUM_SPAN = 0x2CD,       // 717 bytes covered by the checksum rule
    RULES_HEAD_SPAN = 0xA3E8     // 41,960: the first bytes, which hold every signature and the checksum span
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

// Where the rules look for "PE\0\0" in a file of file_size bytes whose first
// head_size bytes are in head: true, with *offset (e_lfanew) set, when the DOS
// header is new-format and e_lfanew lies below file_size - 248. Those four
// bytes can lie anywhere below that bound, far past the head.
bool pe_signature_offset(const uint8_t *head, uint32_t head_size, uint64_t file_size, uint32_t *offset);

// How many of a file's first bytes rate_file looks at, told from the first
// 0x40 of them (head_size at least that, or the whole file): RULES_HEAD_SPAN
// for a new-format DOS header whose e_lfanew lies in range, the checksum span
// for anything else. A reader of the file needs no more.
uint32_t rules_head_span(const uint8_t *head, uint32_t head_size, uint64_t file_size);

// The classifier's verdict for a file of file_size bytes (64-bit: the sizes
// compared are the whole file's). head holds the file's first head_size bytes:
// at least rules_head_span of them, or the whole file when it is shorter.
// pe_signature holds the four bytes at pe_signature_offset when they lie past
// the head; NULL otherwise. Sizes below 57,344 answer Clean without a look
// inside; size 0 answers Empty.
ScanVerdict rate_file(const uint8_t *head, uint32_t head_size, uint64_t file_size,
                      const uint8_t *pe_signature);

// rate_file for a file whose whole content is in view[0..size).
ScanVerdict rate_image(const uint8_t *view, uint32_t size);

#endif
