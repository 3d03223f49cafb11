// CRC-32 as in ZIP and zlib, computed bit by bit: the checksum rule covers only
// 717 bytes per candidate file, so a table would buy nothing.
#include "detect/image_rules.h"

uint32_t crc32_block(const void *data, uint32_t length)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < length; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}
