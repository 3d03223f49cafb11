// The worm's fingerprint: DOS/PE headers, three signatures at fixed offsets and
// a checksum of the first 717 bytes. Every read goes through read_u16/read_u32
// or is tested against the size of the bytes in view before it is made.
#include "detect/image_rules.h"

#include <string.h>

namespace {

struct Signature {
    uint32_t offset;
    uint32_t length;
    const char *bytes;
};

// Signature B includes its two terminating zero bytes; C is compared over its
// 32 characters only.
const Signature SIGNATURES[] = {
    {0x74D9, 6, "\xA1\x24\xD7\x17\x36\x85"},
    {0x90D0, 48, "ept Virus(CV) V.5, Copyright(C)2001  R.P.China\0"},
    {0xA3C8, 32, "explorer.exe load.exe -dontrunol"},
};

bool signatures_match(const uint8_t *view, uint32_t size)
{
    for (const Signature &sig : SIGNATURES) {
        if (sig.offset > size || sig.length > size - sig.offset)
            return false;
        if (memcmp(view + sig.offset, sig.bytes, sig.length) != 0)
            return false;
    }
    return true;
}

bool checksum_matches(const uint8_t *view, uint32_t size)
{
    return size >= CHECKSUM_SPAN && crc32_block(view, CHECKSUM_SPAN) == WORM_CHECKSUM;
}

}  // namespace

bool read_u16(const uint8_t *view, uint32_t size, uint32_t offset, uint16_t *out)
{
    if (offset > size || size - offset < 2)
        return false;
    *out = static_cast<uint16_t>(view[offset] | (view[offset + 1] << 8));
    return true;
}

bool read_u32(const uint8_t *view, uint32_t size, uint32_t offset, uint32_t *out)
{
    if (offset > size || size - offset < 4)
        return false;
    *out = static_cast<uint32_t>(view[offset]) | (static_cast<uint32_t>(view[offset + 1]) << 8) |
           (static_cast<uint32_t>(view[offset + 2]) << 16) |
           (static_cast<uint32_t>(view[offset + 3]) << 24);
    return true;
}

// The "MZ" and relocation-table tests alone: they decide whether the PE tests
// apply or the checksum test is tried instead.
static bool dos_header_is_new_format(const uint8_t *view, uint32_t size)
{
    uint16_t magic = 0, lfarlc = 0;
    return read_u16(view, size, 0, &magic) && magic == 0x5A4D &&
           read_u16(view, size, 0x18, &lfarlc) && lfarlc >= 0x40;
}

// The e_lfanew bound, in 64 bits: for a file of 4 GiB or more every 32-bit
// e_lfanew passes it.
static bool pe_signature_place(const uint8_t *head, uint32_t head_size, uint64_t file_size,
                               uint32_t *e_lfanew)
{
    uint32_t lfanew = 0;
    if (file_size <= 0xF8 || !read_u32(head, head_size, 0x3C, &lfanew) || lfanew >= file_size - 0xF8)
        return false;
    *e_lfanew = lfanew;
    return true;
}

static bool pe_signature_valid(const uint8_t *view, uint32_t size, uint32_t *e_lfanew)
{
    uint32_t lfanew = 0, signature = 0;
    if (!pe_signature_place(view, size, size, &lfanew))
        return false;
    if (!read_u32(view, size, lfanew, &signature) || signature != 0x00004550u)
        return false;
    *e_lfanew = lfanew;
    return true;
}

bool pe_header_valid(const uint8_t *view, uint32_t size, uint32_t *e_lfanew)
{
    return dos_header_is_new_format(view, size) && pe_signature_valid(view, size, e_lfanew);
}

bool pe_signature_offset(const uint8_t *head, uint32_t head_size, uint64_t file_size, uint32_t *offset)
{
    return dos_header_is_new_format(head, head_size) && pe_signature_place(head, head_size, file_size, offset);
}

uint32_t rules_head_span(const uint8_t *head, uint32_t head_size, uint64_t file_size)
{
    uint32_t lfanew = 0;
    return dos_header_is_new_format(head, head_size) && pe_signature_place(head, head_size, file_size, &lfanew)
               ? RULES_HEAD_SPAN
               : CHECKSUM_SPAN;
}

ScanVerdict rate_file(const uint8_t *head, uint32_t head_size, uint64_t file_size,
                      const uint8_t *pe_signature)
{
    if (file_size == 0)
        return Empty;
    if (file_size < WORM_MIN_SIZE)
        return Clean;

    if (dos_header_is_new_format(head, head_size)) {
        uint32_t lfanew = 0, signature = 0;
        // An MZ/new-format file without a sound PE header is clean outright:
        // the checksum test is only for files that are not such executables.
        if (!pe_signature_place(head, head_size, file_size, &lfanew))
            return Clean;
        const bool read = pe_signature != NULL ? read_u32(pe_signature, 4, 0, &signature)
                                               : read_u32(head, head_size, lfanew, &signature);
        if (!read || signature != 0x00004550u)
            return Clean;
        if (signatures_match(head, head_size))
            return file_size >= INFECTED_MIN_SIZE ? Infected : WormCopy;
    }
    return checksum_matches(head, head_size) ? WormCopy : Clean;
}

ScanVerdict rate_image(const uint8_t *view, uint32_t size)
{
    return rate_file(view, size, size, NULL);
}
