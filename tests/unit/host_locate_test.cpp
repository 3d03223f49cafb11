#include <gtest/gtest.h>

#include "image_builder.h"
#include "detect/image_rules.h"
#include "remedy/host_locate.h"

namespace {

// A host program's file: "MZ" and a pattern that has no second "MZ".
Bytes host_file(uint32_t size)
{
    Bytes host(size);
    for (uint32_t i = 0; i < size; ++i)
        host[i] = static_cast<uint8_t>(0x90 + i % 7);
    host[0] = 'M';
    host[1] = 'Z';
    return host;
}

struct Outcome {
    int result;
    Bytes after;
};

Outcome restore(Bytes data)
{
    uint32_t new_size = 0xDEADBEEF;
    int result = restore_host_in_view(data.data(), static_cast<uint32_t>(data.size()), &new_size);
    if (result == HOST_FOUND)
        data.resize(new_size);
    return Outcome{result, data};
}

WormImageLayout with_start(uint32_t start, uint32_t size = 0xF000)
{
    WormImageLayout layout;
    layout.size = size;
    layout.search_start = start;
    return layout;
}

}  // namespace

TEST(HostLocate, RestoredFileIsTheHostByteForByte)
{
    for (uint32_t host_size : {4u, 5u, 0x1000u, 0xF000u, 0x30001u}) {
        const Bytes host = host_file(host_size);
        Outcome o = restore(build_infected(host));
        EXPECT_EQ(o.result, HOST_FOUND) << host_size;
        EXPECT_EQ(o.after, host) << host_size;
    }
}

TEST(HostLocate, DoublyInfectedFileNeedsTwoRestorations)
{
    const Bytes host = host_file(0x2345);
    const Bytes inner = build_infected(host);
    Outcome first = restore(build_infected(inner));
    ASSERT_EQ(first.result, HOST_FOUND);
    EXPECT_EQ(first.after, inner);
    Outcome second = restore(first.after);
    ASSERT_EQ(second.result, HOST_FOUND);
    EXPECT_EQ(second.after, host);
}

TEST(HostLocate, HeaderRulesAnswerNotPe)
{
    WormImageLayout layout;
    layout.pe_signature = false;
    EXPECT_EQ(restore(build_infected(host_file(64), layout)).result, HOST_NOT_PE);

    layout = WormImageLayout();
    layout.lfarlc = 0x3F;
    EXPECT_EQ(restore(build_infected(host_file(64), layout)).result, HOST_NOT_PE);

    // e_lfanew must lie below size - 248.
    Bytes data = build_infected(host_file(0x1000));
    put_u32(data, 0x3C, static_cast<uint32_t>(data.size()) - 248);
    EXPECT_EQ(restore(data).result, HOST_NOT_PE);

    Bytes tiny(248, 0);
    tiny[0] = 'M';
    tiny[1] = 'Z';
    put_u16(tiny, 0x18, 0x40);
    put_u32(tiny, 0x3C, 0);
    EXPECT_EQ(restore(tiny).result, HOST_NOT_PE);
    EXPECT_EQ(restore(Bytes()).result, HOST_NOT_PE);
}

TEST(HostLocate, SectionTableOutsideTheFileOrTooShortAnswersNotPe)
{
    for (uint16_t sections : {0, 1}) {
        WormImageLayout layout;
        layout.number_of_sections = sections;
        EXPECT_EQ(restore(build_infected(host_file(0x100), layout)).result, HOST_NOT_PE) << sections;
    }
    // The PointerToRawData field lies past the end of the file.
    WormImageLayout layout;
    layout.size_of_optional_header = 0xFFFF;
    EXPECT_EQ(restore(build_worm_image(layout)).result, HOST_NOT_PE);
    layout = WormImageLayout();
    layout.number_of_sections = 0xFFFF;
    EXPECT_EQ(restore(build_infected(host_file(0x100), layout)).result, HOST_NOT_PE);

    // The field's four bytes end exactly at the end of the file: still read;
    // one byte further is outside.
    Bytes data = build_worm_image(WormImageLayout());
    data.resize(0x1000);
    const uint16_t reach_end = 0x1000 - (0x80 + 24 + 40 * 2 + 20 + 4);
    put_u16(data, 0x80 + 20, reach_end);
    put_u32(data, 0x1000 - 4, 0x800);
    data[0x900] = 'M';
    data[0x901] = 'Z';
    Outcome o = restore(data);
    EXPECT_EQ(o.result, HOST_FOUND);
    EXPECT_EQ(o.after.size(), 0x1000u - 0x900u);
    put_u16(data, 0x80 + 20, reach_end + 1);
    EXPECT_EQ(restore(data).result, HOST_NOT_PE);
}

TEST(HostLocate, SearchStartOfZeroLeavesTheFileUntouched)
{
    const Bytes data = build_infected(host_file(0x100), with_start(0));
    Outcome o = restore(data);
    EXPECT_EQ(o.result, HOST_ABSENT);
    EXPECT_EQ(o.after, data);
}

TEST(HostLocate, SearchEndsAtSizeMinusFour)
{
    // Worm image alone (no "MZ" after the header) with an "MZ" placed at the end.
    for (uint32_t from_end : {4u, 3u, 2u}) {
        Bytes data = build_worm_image(with_start(0xB000));
        const uint32_t size = static_cast<uint32_t>(data.size());
        data[size - from_end] = 'M';
        data[size - from_end + 1] = 'Z';
        Outcome o = restore(data);
        if (from_end == 4) {
            EXPECT_EQ(o.result, HOST_FOUND);
            EXPECT_EQ(o.after, Bytes({'M', 'Z', 0, 0}));
        } else {
            EXPECT_EQ(o.result, HOST_ABSENT) << from_end;
            EXPECT_EQ(o.after, data);
        }
    }
    const Bytes none = build_worm_image(with_start(0xB000));
    EXPECT_EQ(restore(none).result, HOST_ABSENT);
    // A start past size - 4 tests nothing, even with an "MZ" after it.
    Bytes past = build_worm_image(with_start(0xF000 - 3));
    past[0xF000 - 3] = 'M';
    past[0xF000 - 2] = 'Z';
    EXPECT_EQ(restore(past).result, HOST_ABSENT);
    EXPECT_EQ(restore(build_worm_image(with_start(0xFFFFFFFF))).result, HOST_ABSENT);
}

TEST(HostLocate, FirstMzFromTheSearchStartWinsAlignedOrNot)
{
    Bytes data = build_infected(host_file(0x400), with_start(0xB000));
    data[0xC001] = 'M';  // unaligned, and before the appended host
    data[0xC002] = 'Z';
    data[0xA000] = 'M';  // before the search start: ignored
    data[0xA001] = 'Z';
    uint32_t start = 0;
    ASSERT_EQ(locate_host(data.data(), static_cast<uint32_t>(data.size()), &start), HOST_FOUND);
    EXPECT_EQ(start, 0xC001u);

    // An "MZ" at the search start itself is the host.
    Bytes at_start = build_infected(host_file(0x400), with_start(0xF000));
    Outcome o = restore(at_start);
    EXPECT_EQ(o.result, HOST_FOUND);
    EXPECT_EQ(o.after, Bytes(at_start.begin() + 0xF000, at_start.end()));
}

TEST(HostLocate, MoveHandlesOverlapBothWays)
{
    // Host longer than the worm part: source and destination overlap.
    Bytes data(10);
    for (int i = 0; i < 10; ++i)
        data[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(move_host_to_front(data.data(), 10, 3), 7u);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 7), Bytes({3, 4, 5, 6, 7, 8, 9}));
    Bytes apart = {0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(move_host_to_front(apart.data(), 8, 6), 2u);
    EXPECT_EQ(apart[0], 6);
    EXPECT_EQ(apart[1], 7);
}

TEST(HostLocate, InfectedViewRestorationZeroesTheOldTail)
{
    // A small host (below signature A's offset): with the cut not made, the
    // old tail would keep the three signatures at their offsets.
    const Bytes host = host_file(20 * 1024);
    Bytes file = build_infected(host);
    const uint32_t size = static_cast<uint32_t>(file.size());
    uint32_t new_size = 0;
    ASSERT_EQ(restore_infected_view(file.data(), size, &new_size), HOST_FOUND);
    ASSERT_EQ(new_size, host.size());
    EXPECT_EQ(Bytes(file.begin(), file.begin() + new_size), host);
    EXPECT_EQ(Bytes(file.begin() + new_size, file.end()), Bytes(size - new_size, 0));
    EXPECT_EQ(rate_image(file.data(), size), Clean);
}

TEST(HostLocate, InfectedViewRestorationTouchesOnlyWhatStillRatesInfected)
{
    // Replaced between the classifier and the restoration: a worm copy, a file
    // whose signature broke, a clean program. None is written.
    WormImageLayout copy;
    copy.size = WORM_MIN_SIZE;
    WormImageLayout unsigned_worm;
    unsigned_worm.signatures = false;
    for (const Bytes &before : {build_worm_image(copy), build_infected(host_file(0x3000), unsigned_worm),
                                host_file(0x20000)}) {
        Bytes view = before;
        uint32_t new_size = 0xDEADBEEF;
        EXPECT_EQ(restore_infected_view(view.data(), static_cast<uint32_t>(view.size()), &new_size),
                  HOST_ABSENT);
        EXPECT_EQ(view, before);
        EXPECT_EQ(new_size, 0xDEADBEEFu);
    }
}

TEST(HostLocate, RestorationLimitCoversEveryGenuineLayer)
{
    EXPECT_EQ(max_restorations(0), 1u);
    EXPECT_EQ(max_restorations(WORM_MIN_SIZE - 1), 1u);
    EXPECT_EQ(max_restorations(WORM_MIN_SIZE), 2u);
    EXPECT_EQ(max_restorations(6u * 1024 * 1024), 110u);
    EXPECT_EQ(max_restorations(0x100000000ull), 74899u);
    // Three nested layers around a small host: each peel fits under the limit.
    Bytes file = build_infected(build_infected(build_infected(host_file(0x100))));
    const uint64_t limit = max_restorations(file.size());
    uint64_t peeled = 0;
    for (;;) {
        uint32_t new_size = 0;
        if (restore_infected_view(file.data(), static_cast<uint32_t>(file.size()), &new_size) != HOST_FOUND)
            break;
        file.resize(new_size);
        ++peeled;
    }
    EXPECT_EQ(peeled, 3u);
    EXPECT_LE(peeled, limit);
}
