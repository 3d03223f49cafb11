// Synthetic files for the classifier's rules: worm images with chosen header
// fields, infected files around a real host, and files forged to the worm's
// checksum. Used by the unit tests and, through mkimage, by the Wine tests.
#ifndef VESKACURE_TESTS_IMAGE_BUILDER_H
#define VESKACURE_TESTS_IMAGE_BUILDER_H

#include <stdint.h>

#include <vector>

typedef std::vector<uint8_t> Bytes;

struct WormImageLayout {
    uint32_t size = 0xF000;                   // bytes of the worm image itself
    uint16_t lfarlc = 0x40;                   // DOS relocation-table field
    uint32_t e_lfanew = 0x80;
    bool pe_signature = true;                 // "PE\0\0" at e_lfanew
    uint16_t number_of_sections = 4;
    uint16_t size_of_optional_header = 0xE0;
    uint32_t search_start = 0xB000;           // PointerToRawData of the second-to-last section
    bool signatures = true;                   // the three signatures at their offsets
};

// The worm image: headers and signatures over zero bytes (no "MZ" after the
// header, so the first "MZ" at or after the search start is what follows it).
Bytes build_worm_image(const WormImageLayout &layout);

// A worm image with `host` appended: an infected program whose host starts at layout.size.
Bytes build_infected(const Bytes &host, const WormImageLayout &layout = WormImageLayout());

// Writes the signatures into `data` at their file offsets (data must be large enough).
void place_signatures(Bytes &data);

// Changes the four bytes at `patch_offset` (< 713) so that the CRC-32 of the
// first 717 bytes becomes `target`.
void forge_checksum(Bytes &data, uint32_t patch_offset, uint32_t target);

// Little-endian stores.
void put_u16(Bytes &data, uint32_t offset, uint16_t value);
void put_u32(Bytes &data, uint32_t offset, uint32_t value);

#endif
