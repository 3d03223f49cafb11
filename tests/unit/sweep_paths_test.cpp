#include <gtest/gtest.h>

#include <string>

#include "remedy/sweep_paths.h"

// The same rules for both flavours' character types.
template <typename Ch>
class SweepPaths : public ::testing::Test {
protected:
    static std::basic_string<Ch> text(const std::string &ascii)
    {
        return std::basic_string<Ch>(ascii.begin(), ascii.end());
    }
};
typedef ::testing::Types<char, wchar_t> CharTypes;
TYPED_TEST_SUITE(SweepPaths, CharTypes);

TYPED_TEST(SweepPaths, DriveRootJoinsWithoutDoubledBackslash)
{
    auto root = this->text("C:\\");
    auto dir = this->text("C:\\dir");
    auto name = this->text("file.exe");
    EXPECT_EQ(base_length(root.c_str()), 2u);
    EXPECT_EQ(base_length(dir.c_str()), 6u);
    TypeParam buffer[PATH_CHARS];
    ASSERT_TRUE(join_path(buffer, root.c_str(), base_length(root.c_str()), name.c_str(), 0));
    EXPECT_EQ(std::basic_string<TypeParam>(buffer), this->text("C:\\file.exe"));
    ASSERT_TRUE(join_path(buffer, dir.c_str(), base_length(dir.c_str()), name.c_str(), 0));
    EXPECT_EQ(std::basic_string<TypeParam>(buffer), this->text("C:\\dir\\file.exe"));
    // Only a three-character drive root loses its backslash.
    auto not_root = this->text("C:\\a\\");
    EXPECT_EQ(base_length(not_root.c_str()), 5u);
}

TYPED_TEST(SweepPaths, FilePathMustFitWithItsZero)
{
    auto dir = this->text("E:\\fl");  // 5 characters
    auto fits = this->text(std::string(253, 'b'));
    auto too_long = this->text(std::string(254, 'a'));
    TypeParam buffer[PATH_CHARS + 1];
    buffer[PATH_CHARS] = 0x55;  // a guard just past the buffer
    ASSERT_TRUE(join_path(buffer, dir.c_str(), 5, fits.c_str(), 0));
    EXPECT_EQ(std::basic_string<TypeParam>(buffer).size(), static_cast<size_t>(PATH_CHARS - 1));
    EXPECT_EQ(buffer[PATH_CHARS], 0x55);

    // A failed join leaves the buffer as it was.
    auto before = std::basic_string<TypeParam>(buffer);
    EXPECT_FALSE(join_path(buffer, dir.c_str(), 5, too_long.c_str(), 0));
    EXPECT_EQ(std::basic_string<TypeParam>(buffer), before);
}

TYPED_TEST(SweepPaths, SubdirectoryKeepsRoomForItsPattern)
{
    auto dir = this->text("E:\\sd");
    auto fits = this->text(std::string(249, 'b'));     // E:\sd\bbb...\*.* is 259
    auto too_long = this->text(std::string(250, 'a'));
    TypeParam buffer[PATH_CHARS];
    EXPECT_TRUE(join_path(buffer, dir.c_str(), 5, fits.c_str(), PATTERN_TAIL));
    EXPECT_FALSE(join_path(buffer, dir.c_str(), 5, too_long.c_str(), PATTERN_TAIL));
    // The same name as a file still fits.
    EXPECT_TRUE(join_path(buffer, dir.c_str(), 5, too_long.c_str(), 0));
}

TYPED_TEST(SweepPaths, OversizedPartsNeverWrap)
{
    auto name = this->text("x");
    auto dir = this->text(std::string(PATH_CHARS, 'd'));
    TypeParam buffer[PATH_CHARS];
    EXPECT_FALSE(join_path(buffer, dir.c_str(), dir.size(), name.c_str(), 0));
    EXPECT_FALSE(join_path(buffer, name.c_str(), 1, name.c_str(), static_cast<size_t>(-1)));
    EXPECT_FALSE(join_path(buffer, name.c_str(), static_cast<size_t>(-1), name.c_str(), 0));
}

TYPED_TEST(SweepPaths, OnlyDotAndDotDotAreDotEntries)
{
    for (const char *name : {".", ".."})
        EXPECT_TRUE(is_dot_entry(this->text(name).c_str())) << name;
    for (const char *name : {"...", ".git", "..x", "a.", ""})
        EXPECT_FALSE(is_dot_entry(this->text(name).c_str())) << name;
}
