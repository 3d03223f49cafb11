#include <gtest/gtest.h>

#include <vector>

#include "driver/options.h"

namespace {

struct Parsed {
    int unknown;
    RunOptions options;
};

Parsed parse(std::vector<const char *> args)
{
    args.insert(args.begin(), "veskacure.exe");
    Parsed p = {0, {false, false}};
    p.unknown = parse_switches(static_cast<int>(args.size()), args.data(), &p.options);
    return p;
}

}  // namespace

TEST(Switches, AcceptedByPrefixInAnyCase)
{
    for (const char *arg : {"/GUEST", "/guest", "/Guests", "/gUeStXYZ"}) {
        Parsed p = parse({arg});
        EXPECT_EQ(p.unknown, 0) << arg;
        EXPECT_TRUE(p.options.guest_prompt) << arg;
        EXPECT_FALSE(p.options.unshare) << arg;
    }
    for (const char *arg : {"/UNSHARE", "/unshare", "/UNSHARED", "/Unshare2"}) {
        Parsed p = parse({arg});
        EXPECT_EQ(p.unknown, 0) << arg;
        EXPECT_TRUE(p.options.unshare) << arg;
        EXPECT_FALSE(p.options.guest_prompt) << arg;
    }
    Parsed both = parse({"/unshare", "/GUEST", "/UNSHARE"});
    EXPECT_EQ(both.unknown, 0);
    EXPECT_TRUE(both.options.unshare);
    EXPECT_TRUE(both.options.guest_prompt);
}

TEST(Switches, ArgumentsWithoutSlashAreIgnored)
{
    Parsed p = parse({"abc", "/UNSHARE", "GUEST"});
    EXPECT_EQ(p.unknown, 0);
    EXPECT_TRUE(p.options.unshare);
    EXPECT_FALSE(p.options.guest_prompt);
    EXPECT_EQ(parse({"abc"}).unknown, 0);
    EXPECT_EQ(parse({}).unknown, 0);
}

TEST(Switches, UnknownOptionsNameTheirIndex)
{
    for (const char *arg : {"/", "/G", "/GUES", "/X", "/U", "/UNSHAR", "/-GUEST", "//GUEST"})
        EXPECT_EQ(parse({arg}).unknown, 1) << arg;
    EXPECT_EQ(parse({"/UNSHARE", "/Q"}).unknown, 2);
    EXPECT_EQ(parse({"x", "/GUEST", "/?", "/X"}).unknown, 3);
}

TEST(Switches, NonAsciiBytesAreNotUpperCased)
{
    // Only ASCII letters are folded: 0xE7 is not 'G' in any case.
    EXPECT_EQ(parse({"/\xE7UEST"}).unknown, 1);
}
