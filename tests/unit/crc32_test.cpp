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
