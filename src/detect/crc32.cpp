// CRC-32 as in ZIP and zlib, eight bytes at a time (slicing-by-8): every file
// of 57,344 bytes or more has 717 bytes checked, and bit by bit that was a
// tenth of a whole run. The tables are computed by the compiler.
#include "detect/image_rules.h"

namespace {

struct Crc32Tables {
    uint32_t t[8][256];
};

constexpr Crc32Tables make_tables()
{
    Crc32Tables tables = {};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t crc = n;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        tables.t[0][n] = crc;
    }
    // t[k][n]: the CRC of byte n followed by k zero bytes.
    for (int k = 1; k < 8; ++k)
        for (uint32_t n = 0; n < 256; ++n)
            tables.t[k][n] = (tables.t[k - 1][n] >> 8) ^ tables.t[0][tables.t[k - 1][n] & 0xFFu];
    return tables;
}

constexpr Crc32Tables TABLES = make_tables();

// Little-endian, byte by byte: any alignment, any host.
uint32_t load_u32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

uint32_t crc32_block(const void *data, uint32_t length)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    const uint32_t(*t)[256] = TABLES.t;
    uint32_t crc = 0xFFFFFFFFu;
    for (; length >= 8; length -= 8, p += 8) {
        const uint32_t low = crc ^ load_u32(p);
        const uint32_t high = load_u32(p + 4);
        crc = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^ t[4][low >> 24] ^
              t[3][high & 0xFFu] ^ t[2][(high >> 8) & 0xFFu] ^ t[1][(high >> 16) & 0xFFu] ^ t[0][high >> 24];
    }
    for (; length > 0; --length, ++p)
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFFu];
    return ~crc;
}
