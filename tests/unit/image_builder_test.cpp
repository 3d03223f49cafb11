#include <gtest/gtest.h>

#include <random>

#include "detect/image_rules.h"
#include "image_builder.h"

TEST(ImageBuilder, ForgesAnyChecksumAtAnyPatchOffset)
{
    std::mt19937 rng(7);
    for (uint32_t patch : {0u, 1u, 300u, 712u}) {
        Bytes data(1000);
        for (auto &b : data)
            b = static_cast<uint8_t>(rng());
        uint32_t target = static_cast<uint32_t>(rng());
        forge_checksum(data, patch, target);
        EXPECT_EQ(crc32_block(data.data(), CHECKSUM_SPAN), target) << patch;
    }
}

TEST(ImageBuilder, InfectedFileCarriesHostAfterWormImage)
{
    Bytes host(3000, 0x55);
    host[0] = 'M';
    host[1] = 'Z';
    WormImageLayout layout;
    Bytes data = build_infected(host, layout);
    ASSERT_EQ(data.size(), layout.size + host.size());
    EXPECT_TRUE(std::equal(host.begin(), host.end(), data.begin() + layout.size));
    uint32_t lfanew = 0, start = 0;
    ASSERT_TRUE(pe_header_valid(data.data(), static_cast<uint32_t>(data.size()), &lfanew));
    ASSERT_TRUE(read_u32(data.data(), static_cast<uint32_t>(data.size()),
                         lfanew + 24 + layout.size_of_optional_header + 40 * 2 + 20, &start));
    EXPECT_EQ(start, layout.search_start);
    // No "MZ" between the search start and the host.
    for (uint32_t i = layout.search_start; i + 1 < layout.size; ++i)
        ASSERT_FALSE(data[i] == 'M' && data[i + 1] == 'Z') << i;
}
