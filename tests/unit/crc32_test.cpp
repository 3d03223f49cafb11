#include <gtest/gtest.h>

#include "detect/image_rules.h"

TEST(Crc32, KnownValues)
{
    EXPECT_EQ(crc32_block("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_block("a", 1), 0xE8B7BE43u);
    EXPECT_EQ(crc32_block("", 0), 0u);
    const char quick[] = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(crc32_block(quick, sizeof quick - 1), 0x414FA339u);
}

TEST(Crc32, CoversExactlyTheGivenLength)
{
    const char text[] = "123456789XYZ";
    EXPECT_EQ(crc32_block(text, 9), 0xCBF43926u);
    EXPECT_NE(crc32_block(text, 10), 0xCBF43926u);
}

// The table-driven CRC takes eight bytes at a time, and on x86-64 whole
// 16-byte blocks are folded 64 bytes at a time: lengths that are no multiple
// of these, at every alignment, are checked against zlib's values and against
// the CRC computed bit by bit.
namespace {

uint32_t crc32_bitwise(const uint8_t *p, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace

TEST(Crc32, OddLengthsAndAlignments)
{
    uint8_t buffer[1024];
    for (size_t i = 0; i < sizeof buffer; ++i)
        buffer[i] = static_cast<uint8_t>(i * 131 + 7);
    // zlib.crc32(buffer[offset:offset + length])
    const struct {
        size_t offset;
        uint32_t length, crc;
    } known[] = {{0, 717, 0x5EC99ACBu}, {1, 717, 0x5B00602Du}, {3, 1000, 0x3B3432F4u}, {5, 13, 0xB36AC8F4u},
                 {7, 8, 0x0CF38BD7u},   {2, 15, 0xBFDC047Au},  {6, 1017, 0x90C53F30u}};
    for (const auto &k : known)
        EXPECT_EQ(crc32_block(buffer + k.offset, k.length), k.crc) << k.offset << " " << k.length;
    for (size_t offset = 0; offset < 16; ++offset)
        for (uint32_t length = 0; length <= 300; ++length)
            ASSERT_EQ(crc32_block(buffer + offset, length), crc32_bitwise(buffer + offset, length))
                << offset << " " << length;
}
