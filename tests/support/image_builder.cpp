#include "image_builder.h"

#include <string.h>

#include "detect/image_rules.h"

void put_u16(Bytes &data, uint32_t offset, uint16_t value)
{
    data.at(offset) = static_cast<uint8_t>(value);
    data.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void put_u32(Bytes &data, uint32_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        data.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

void place_signatures(Bytes &data)
{
    static const uint8_t a[] = {0xA1, 0x24, 0xD7, 0x17, 0x36, 0x85};
    static const char b[] = "ept Virus(CV) V.5, Copyright(C)2001  R.P.China\0";  // 46 + 2 zeros
    static const char c[] = "explorer.exe load.exe -dontrunol";
    memcpy(&data.at(0x74D9), a, sizeof a);
    memcpy(&data.at(0x90D0), b, 48);
    memcpy(&data.at(0xA3C8), c, 32);
}

Bytes build_worm_image(const WormImageLayout &layout)
{
    Bytes data(layout.size, 0);
    if (layout.size >= 0x40) {
        data[0] = 'M';
        data[1] = 'Z';
        put_u16(data, 0x18, layout.lfarlc);
        put_u32(data, 0x3C, layout.e_lfanew);
    }
    uint32_t pe = layout.e_lfanew;
    if (layout.pe_signature && pe <= layout.size && layout.size - pe >= 24) {
        put_u32(data, pe, 0x00004550u);
        put_u16(data, pe + 4, 0x014C);  // i386
        put_u16(data, pe + 6, layout.number_of_sections);
        put_u16(data, pe + 20, layout.size_of_optional_header);
        if (layout.number_of_sections >= 2) {
            uint64_t field = uint64_t(pe) + 24 + layout.size_of_optional_header +
                             40ull * (layout.number_of_sections - 2) + 20;
            if (field + 4 <= layout.size)
                put_u32(data, static_cast<uint32_t>(field), layout.search_start);
        }
    }
    if (layout.signatures && layout.size >= 0xA3C8 + 32)
        place_signatures(data);
    return data;
}

Bytes build_infected(const Bytes &host, const WormImageLayout &layout)
{
    Bytes data = build_worm_image(layout);
    data.insert(data.end(), host.begin(), host.end());
    return data;
}

// CRC-32 is affine over GF(2): the effect of each of the 32 patch bits on the
// result is found once, and the bits that reach the target are solved for.
void forge_checksum(Bytes &data, uint32_t patch_offset, uint32_t target)
{
    for (int i = 0; i < 4; ++i)
        data.at(patch_offset + i) = 0;
    const uint32_t base = crc32_block(data.data(), CHECKSUM_SPAN);

    uint32_t rows[32];   // effect of patch bit k
    uint32_t masks[32];  // which patch bits make up row k after elimination
    for (int k = 0; k < 32; ++k) {
        data[patch_offset + k / 8] = static_cast<uint8_t>(1u << (k % 8));
        rows[k] = crc32_block(data.data(), CHECKSUM_SPAN) ^ base;
        masks[k] = 1u << k;
        data[patch_offset + k / 8] = 0;
    }
    // Gaussian elimination to a basis keyed by leading bit.
    uint32_t basis[32] = {0}, basis_mask[32] = {0};
    for (int k = 0; k < 32; ++k) {
        uint32_t row = rows[k], mask = masks[k];
        for (int bit = 31; bit >= 0 && row != 0; --bit) {
            if (!(row >> bit & 1u))
                continue;
            if (basis[bit] == 0) {
                basis[bit] = row;
                basis_mask[bit] = mask;
                break;
            }
            row ^= basis[bit];
            mask ^= basis_mask[bit];
        }
    }
    uint32_t want = base ^ target, patch = 0;
    for (int bit = 31; bit >= 0; --bit) {
        if (want >> bit & 1u) {
            want ^= basis[bit];
            patch ^= basis_mask[bit];
        }
    }
    put_u32(data, patch_offset, patch);
}
