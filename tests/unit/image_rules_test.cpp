#include <gtest/gtest.h>

#include "detect/image_rules.h"
#include "image_builder.h"

namespace {

ScanVerdict rate(const Bytes &data)
{
    return rate_image(data.data(), static_cast<uint32_t>(data.size()));
}

WormImageLayout sized(uint32_t size)
{
    WormImageLayout layout;
    layout.size = size;
    return layout;
}

Bytes forged(uint32_t size, bool mz)
{
    Bytes data(size, 0x20);
    if (mz) {
        data[0] = 'M';
        data[1] = 'Z';
    }
    forge_checksum(data, 0x100, WORM_CHECKSUM);
    return data;
}

}  // namespace

TEST(ImageRules, SizeDecidesBetweenWormCopyAndInfected)
{
    EXPECT_EQ(rate(build_worm_image(sized(57343))), Clean);  // never looked into
    EXPECT_EQ(rate(build_worm_image(sized(57344))), WormCopy);
    EXPECT_EQ(rate(build_worm_image(sized(61439))), WormCopy);
    EXPECT_EQ(rate(build_worm_image(sized(61440))), Infected);
    EXPECT_EQ(rate(build_infected(Bytes(4000, 0x90), sized(0xE000))), WormCopy);
    EXPECT_EQ(rate(build_infected(Bytes(8192, 0x90), sized(0xE000))), Infected);
    EXPECT_EQ(rate(Bytes()), Empty);
    EXPECT_EQ(rate(Bytes(100, 0)), Clean);
}

TEST(ImageRules, EverySignatureByteCounts)
{
    const uint32_t places[] = {0x74D9, 0x74D9 + 5, 0x90D0, 0x90D0 + 46, 0x90D0 + 47, 0xA3C8, 0xA3C8 + 31};
    for (uint32_t offset : places) {
        Bytes data = build_worm_image(sized(0xF000));
        data[offset] ^= 0x01;
        EXPECT_EQ(rate(data), Clean) << "offset " << offset;
    }
    // Signature C is 32 bytes with no terminator compared.
    Bytes data = build_worm_image(sized(0xF000));
    data[0xA3C8 + 32] = 'X';
    EXPECT_EQ(rate(data), Infected);
}

TEST(ImageRules, ChecksumRuleForNonExecutables)
{
    EXPECT_EQ(rate(forged(57344, false)), WormCopy);
    EXPECT_EQ(rate(forged(200000, false)), WormCopy);
    EXPECT_EQ(rate(forged(57343, false)), Clean);
    Bytes off_by_one = forged(57344, false);
    off_by_one[716] ^= 1;
    EXPECT_EQ(rate(off_by_one), Clean);
    off_by_one = forged(57344, false);
    off_by_one[717] ^= 1;  // beyond the span: still the worm's checksum
    EXPECT_EQ(rate(off_by_one), WormCopy);
}

TEST(ImageRules, BrokenPeHeaderIsCleanWithoutChecksumTest)
{
    // An MZ file whose relocation field is >= 0x40 but whose PE header is unsound
    // is clean even when its first 717 bytes carry the checksum.
    Bytes data = forged(60000, true);  // 0x18 holds 0x2020, e_lfanew 0x20202020
    EXPECT_EQ(rate(data), Clean);

    WormImageLayout layout = sized(0xF000);
    layout.e_lfanew = 0xF000 - 248;  // must be below size - 248
    EXPECT_EQ(rate(build_worm_image(layout)), Clean);
    layout.e_lfanew = 0xF000 - 249;
    EXPECT_EQ(rate(build_worm_image(layout)), Infected);
    layout.e_lfanew = 0xFFFFFFFFu;
    EXPECT_EQ(rate(build_worm_image(layout)), Clean);

    layout = sized(0xF000);
    layout.pe_signature = false;
    EXPECT_EQ(rate(build_worm_image(layout)), Clean);
}

TEST(ImageRules, OldFormatMzFallsBackToChecksum)
{
    WormImageLayout layout = sized(0xF000);
    layout.lfarlc = 0x3F;
    Bytes data = build_worm_image(layout);
    EXPECT_EQ(rate(data), Clean);  // signatures alone do not count here
    forge_checksum(data, 0x200, WORM_CHECKSUM);
    EXPECT_EQ(rate(data), WormCopy);
}

TEST(ImageRules, SignatureMismatchFallsBackToChecksum)
{
    Bytes data = build_worm_image(sized(0xF000));
    data[0x90D0 + 10] ^= 0xFF;
    EXPECT_EQ(rate(data), Clean);
    forge_checksum(data, 0x2C0, WORM_CHECKSUM);
    EXPECT_EQ(rate(data), WormCopy);
}

TEST(ImageRules, BoundedReadsNearTheEnd)
{
    const uint8_t four[4] = {1, 2, 3, 4};
    uint16_t v16 = 0;
    uint32_t v32 = 0;
    EXPECT_TRUE(read_u16(four, 4, 2, &v16));
    EXPECT_EQ(v16, 0x0403);
    EXPECT_FALSE(read_u16(four, 4, 3, &v16));
    EXPECT_TRUE(read_u32(four, 4, 0, &v32));
    EXPECT_EQ(v32, 0x04030201u);
    EXPECT_FALSE(read_u32(four, 4, 1, &v32));
    EXPECT_FALSE(read_u32(four, 4, 0xFFFFFFFEu, &v32));  // no wrap-around
    EXPECT_FALSE(read_u16(four, 4, 0xFFFFFFFFu, &v16));
}
