// The WININIT.INI rewrite over temporary streams. On Linux a text stream does
// no CR LF translation, so these cases see "\n" on both sides; the Wine tests
// check the CR LF form of a real WININIT.INI.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "remedy/wininit.h"

namespace {

FILE *stream_with(const std::string &text)
{
    FILE *f = tmpfile();
    fwrite(text.data(), 1, text.size(), f);
    rewind(f);
    return f;
}

std::string contents(FILE *f)
{
    std::string text;
    rewind(f);
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        text.append(chunk, n);
    return text;
}

// The new WININIT.INI for `old` and the worm copy's `path`.
std::string rewritten(const std::string &old, const char *path)
{
    FILE *in = stream_with(old);
    FILE *out = tmpfile();
    EXPECT_TRUE(rewrite_wininit(in, out, path));
    std::string text = contents(out);
    fclose(in);
    fclose(out);
    return text;
}

}  // namespace

TEST(Wininit, NewLineGoesFirstInAnExistingSection)
{
    EXPECT_EQ(rewritten("[rename]\nNUL=C:\\OLD.EXE\n", "C:\\NEW.EXE"),
              "[rename]\n\nNUL=C:\\NEW.EXE\nNUL=C:\\OLD.EXE\n");
    // The first line that holds the header counts, wherever the header stands in it.
    EXPECT_EQ(rewritten("a=1\n  [rename] ;x\nk=v\n[rename]\n", "P"),
              "a=1\n  [rename] ;x\n\nNUL=P\nk=v\n[rename]\n");
}

TEST(Wininit, MissingSectionIsAddedAtTheEnd)
{
    EXPECT_EQ(rewritten("a\nb\n", "P"), "a\nb\n\n[rename]\nNUL=P\n");
    // Last line without a line break: the header's own line break ends it.
    EXPECT_EQ(rewritten("a\nb", "P"), "a\nb\n[rename]\nNUL=P\n");
}

TEST(Wininit, HeaderIsFoundInAnyCase)
{
    EXPECT_EQ(rewritten("[Rename]\nNUL=X\n", "P"), "[Rename]\n\nNUL=P\nNUL=X\n");
    EXPECT_EQ(rewritten("a=1\n[RENAME]\n[rename]\n", "P"), "a=1\n[RENAME]\n\nNUL=P\n[rename]\n");
    // Only the eight letters count: no section without the brackets, or with a
    // letter that differs beyond its case.
    EXPECT_EQ(rewritten("rename\n[renamed]\n[re-name]\n", "P"),
              "rename\n[renamed]\n[re-name]\n\n[rename]\nNUL=P\n");
}

TEST(Wininit, TextWithZeroByteOrEarlyCtrlZIsRefused)
{
    auto intact = [](const std::string &text) {
        FILE *f = stream_with(text);
        bool result = wininit_text_intact(f);
        fclose(f);
        return result;
    };
    EXPECT_TRUE(intact(""));
    EXPECT_TRUE(intact("[rename]\r\nNUL=C:\\A.EXE\r\n"));
    EXPECT_TRUE(intact("[rename]\r\n\x1a"));  // the end-of-file mark of old editors
    EXPECT_FALSE(intact(std::string("[rename]\r\nNUL=C:\\A\0.EXE\r\n", 25)));
    EXPECT_FALSE(intact(std::string(1, '\0')));
    EXPECT_FALSE(intact("[rename]\x1a\r\n"));
    EXPECT_FALSE(intact("\x1a\x1a"));
    // Past the first read's chunk.
    EXPECT_FALSE(intact(std::string(1000, 'a') + std::string(1, '\0') + "b"));
    EXPECT_TRUE(intact(std::string(1000, 'a') + "\x1a"));
}

TEST(Wininit, EmptyOrMissingOldContent)
{
    EXPECT_EQ(rewritten("", "C:\\W.EXE"), "\n[rename]\nNUL=C:\\W.EXE\n");
    FILE *out = tmpfile();
    EXPECT_TRUE(rewrite_wininit(NULL, out, "C:\\W.EXE"));
    EXPECT_EQ(contents(out), "\n[rename]\nNUL=C:\\W.EXE\n");
    fclose(out);
    // Two copies in one run, starting from an empty file.
    EXPECT_EQ(rewritten(rewritten("", "FIRST"), "SECOND"), "\n[rename]\n\nNUL=SECOND\nNUL=FIRST\n");
}

TEST(Wininit, HeaderOnTheLastLineWithoutLineBreakGetsNoTwin)
{
    EXPECT_EQ(rewritten("[rename]", "P"), "[rename]\nNUL=P\n");
    EXPECT_EQ(rewritten("x=y\n[rename]", "P"), "x=y\n[rename]\nNUL=P\n");
}

TEST(Wininit, LongLinesPassInPieces)
{
    const std::string long_line(300, 'x');
    EXPECT_EQ(rewritten(long_line + "\n[rename]\n" + long_line + "\n", "P"),
              long_line + "\n[rename]\n\nNUL=P\n" + long_line + "\n");
    // Each piece of 259 characters is searched by itself: a header cut in two
    // by the piece boundary is not seen.
    const std::string split = std::string(255, 'y') + "[rename]\n";
    EXPECT_EQ(rewritten(split, "P"), split + "\n[rename]\nNUL=P\n");
    const std::string whole = std::string(250, 'y') + "[rename]\n";  // 259 with its line break
    EXPECT_EQ(rewritten(whole, "P"), whole + "\nNUL=P\n");
}

TEST(Wininit, FailedWriteIsReported)
{
    FILE *in = stream_with("[rename]\n");
    FILE *read_only = fopen("/dev/null", "r");
    ASSERT_NE(read_only, nullptr);
    EXPECT_FALSE(rewrite_wininit(in, read_only, "P"));
    fclose(read_only);
    fclose(in);
}
