#include <gtest/gtest.h>

#include <algorithm>

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

namespace {

// What the offline program hands the rules: the first RULES_HEAD_SPAN bytes,
// or as many as rules_head_span asks for on the first 0x40 (an exactly-sized
// copy, so a read past them is caught) and, when the PE signature lies past
// them, its four bytes.
ScanVerdict rate_from_head(const Bytes &data, uint64_t file_size, bool least = false)
{
    uint32_t span = RULES_HEAD_SPAN;
    if (least) {
        const Bytes first(data.begin(), data.begin() + std::min<size_t>(data.size(), 0x40));
        span = rules_head_span(first.data(), static_cast<uint32_t>(first.size()), file_size);
    }
    const Bytes head(data.begin(), data.begin() + std::min<size_t>(data.size(), span));
    const uint32_t head_size = static_cast<uint32_t>(head.size());
    uint32_t offset = 0;
    Bytes pe;
    if (pe_signature_offset(head.data(), head_size, file_size, &offset) && offset > head_size - 4)
        pe.assign(data.begin() + offset, data.begin() + offset + 4);
    return rate_file(head.data(), head_size, file_size, pe.empty() ? nullptr : pe.data());
}

}  // namespace

TEST(ImageRules, HeadAndPeSignatureAloneGiveTheWholeFilesVerdict)
{
    WormImageLayout far = sized(0xF000);
    far.e_lfanew = 0xB000;  // past the head
    WormImageLayout far_no_pe = far;
    far_no_pe.pe_signature = false;
    Bytes off_by_one = build_worm_image(sized(0xF000));
    off_by_one[0xA3C8 + 31] ^= 1;
    const Bytes files[] = {build_worm_image(sized(57344)), build_worm_image(sized(61439)),
                           build_worm_image(far), build_worm_image(far_no_pe),
                           build_infected(Bytes(9000, 0x90)), off_by_one, forged(60000, false),
                           forged(60000, true), Bytes(57343, 0)};
    for (const Bytes &data : files) {
        EXPECT_EQ(rate_from_head(data, data.size()), rate(data)) << data.size();
        EXPECT_EQ(rate_from_head(data, data.size(), true), rate(data)) << data.size();
    }
    // Only a new-format DOS header with e_lfanew in range asks for the whole head.
    EXPECT_EQ(rules_head_span(files[0].data(), 0x40, files[0].size()), static_cast<uint32_t>(RULES_HEAD_SPAN));
    EXPECT_EQ(rules_head_span(files[6].data(), 0x40, 60000), static_cast<uint32_t>(CHECKSUM_SPAN));
    EXPECT_EQ(rules_head_span(files[0].data(), 0x40, 0xF8), static_cast<uint32_t>(CHECKSUM_SPAN));
    EXPECT_EQ(rate_from_head(build_worm_image(far), 0xF000), Infected);
    EXPECT_EQ(rate_from_head(build_worm_image(far_no_pe), 0xF000), Clean);
}

TEST(ImageRules, FilesOf4GiBAndMoreAreRatedByTheirWholeSize)
{
    const uint64_t four_gib = 0x100000000ull;
    // Low 32 bits of the size below 57,344: the whole size decides.
    EXPECT_EQ(rate_from_head(build_worm_image(sized(0xF000)), four_gib + 0x1000), Infected);
    Bytes data = build_worm_image(sized(0xF000));
    EXPECT_EQ(rate_from_head(data, four_gib + 0xE000), Infected);
    // Every 32-bit e_lfanew lies below such a size minus 248.
    put_u32(data, 0x3C, 0xFFFFFF00u);
    uint32_t offset = 0;
    ASSERT_TRUE(pe_signature_offset(data.data(), RULES_HEAD_SPAN, four_gib, &offset));
    EXPECT_EQ(offset, 0xFFFFFF00u);
    EXPECT_FALSE(pe_signature_offset(data.data(), RULES_HEAD_SPAN, 0xFFFFFF00u + 248, &offset));
    const uint8_t pe[4] = {'P', 'E', 0, 0}, not_pe[4] = {'P', 'E', 0, 1};
    EXPECT_EQ(rate_file(data.data(), RULES_HEAD_SPAN, four_gib, pe), Infected);
    EXPECT_EQ(rate_file(data.data(), RULES_HEAD_SPAN, four_gib, not_pe), Clean);
    EXPECT_EQ(rate_file(data.data(), RULES_HEAD_SPAN, 0xFFFFFF00u + 248, pe), Clean);
}
