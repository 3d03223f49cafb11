#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "driver/intro.h"

namespace {

std::string join(const char *const *texts, size_t *count)
{
    std::string all;
    *count = 0;
    for (; *texts != NULL; ++texts, ++*count)
        all += *texts;
    return all;
}

}  // namespace

// Every framed line of a box has the box's width, so the frame stays straight
// whatever text the maker lines carry.
TEST(IntroScreens, FramesAreStraight)
{
    size_t count = 0;
    join(INTRO_FIRST_SCREEN, &count);
    ASSERT_EQ(count, 24u);
    for (size_t i = 1; i < 22; ++i) {
        std::string line = INTRO_FIRST_SCREEN[i];
        ASSERT_EQ(line.size(), 65u) << "line " << i + 1;
        if (i == 4) {
            EXPECT_EQ(line, " +" + std::string(61, '=') + "+\n");
        } else {
            EXPECT_EQ(line.substr(0, 2), " |") << i + 1;
            EXPECT_EQ(line.substr(63), "|\n") << i + 1;
        }
    }
    EXPECT_EQ(std::string(INTRO_FIRST_SCREEN[0]), "\n +" + std::string(61, '=') + "+\n");
    EXPECT_EQ(std::string(INTRO_FIRST_SCREEN[22]), " +" + std::string(61, '=') + "+");
    EXPECT_STREQ(INTRO_FIRST_SCREEN[23], " \n Press any key for help....\n");
    EXPECT_NE(strstr(INTRO_FIRST_SCREEN[20], "PE_VESKA.A"), nullptr);

    join(INTRO_SECOND_SCREEN, &count);
    ASSERT_EQ(count, 12u);
    EXPECT_EQ(std::string(INTRO_SECOND_SCREEN[0]), std::string(14, '\n'));
    for (size_t i = 1; i < 11; ++i)
        EXPECT_EQ(strlen(INTRO_SECOND_SCREEN[i]), 64u) << "line " << i + 1;
    EXPECT_STREQ(INTRO_SECOND_SCREEN[11], " \n Press any key to continue....\n");
}

TEST(IntroScreens, MakerAddressesUseReservedDomains)
{
    size_t count = 0;
    std::string all = join(INTRO_FIRST_SCREEN, &count);
    size_t at = 0;
    while ((at = all.find("http://", at)) != std::string::npos) {
        std::string host = all.substr(at + 7, all.find_first_of("/ |", at + 7) - at - 7);
        EXPECT_TRUE(host == "www.example.com" || host == "www.example.org") << host;
        at += 7;
    }
}
