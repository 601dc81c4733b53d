// Text tokenizer and trace log.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/COsDepend.h"
#include "support/TestSupport.h"

namespace {

using Lines = std::vector<std::vector<std::string>>;

FILE* StreamOf(const std::string& text) {
    FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

// Tokens of each line the way the type-table reader walks them.
Lines Tokenize(COsDepend& os, const std::string& text) {
    FILE* f = StreamOf(text);
    Lines lines;
    do {
        lines.emplace_back();
        while (char* t = os.ReadToken(f)) lines.back().push_back(t);
    } while (os.SkipLine(f));
    std::fclose(f);
    return lines;
}

TEST(Tokenizer, LinesAndTokens) {
    struct Case {
        const char* text;
        Lines want;
    } cases[] = {
        {"type_table_entry(0, 1, \"No ROM\", type_norom,0,1,1)\n",
         {{"type_table_entry", "0", "1", "No ROM", "type_norom", "0", "1", "1"}, {}}},
        {"  \t \nx\n", {{}, {"x"}, {}}},                     // white-space line: no token
        {"\"abc, def\nnext\n", {{"abc, def"}, {"next"}, {}}},  // quote ends at the newline
        {"a,b\r\nc\r\n", {{"a", "b"}, {"c"}, {}}},            // CRLF
        {"a b", {{"a", "b"}}},                                // EOF without newline
        {"\"\" x\ny\n", {{}, {"y"}, {}}},                     // empty quoted token reads as none
        {"f(a,,b) \"q(x),y\"z\n", {{"f", "a", "b", "q(x),y", "z"}, {}}},
        {"", {{}}},
    };
    for (const Case& c : cases) {
        COsDepend os(nullptr, 0);
        os.SetDelimiters("(),");
        EXPECT_EQ(Tokenize(os, c.text), c.want) << c.text;
    }
}

TEST(Tokenizer, TruncationConsumesTheRest) {
    COsDepend os(nullptr, 0);
    FILE* f = StreamOf("abcdefg \"hijklm\" xy\n");
    char buf[8] = "-------";
    EXPECT_EQ(os.ReadWord(f, buf, 0), 0);
    EXPECT_STREQ(buf, "-------");
    EXPECT_EQ(os.ReadWord(f, buf, 4), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(os.ReadWord(f, buf, 4), 3);
    EXPECT_STREQ(buf, "hij");
    EXPECT_EQ(os.ReadWord(f, buf, 4), 2);
    EXPECT_STREQ(buf, "xy");
    EXPECT_EQ(os.ReadWord(f, buf, 4), 0);
    EXPECT_EQ(std::fgetc(f), '\n');  // left for SkipLine
    std::fclose(f);

    std::string longToken(200, 'k');
    EXPECT_EQ(Tokenize(os, longToken + " next"), (Lines{{std::string(127, 'k'), "next"}}));
}

TEST(Tokenizer, EchoesTokensAtLevelOne) {
    vmtest::TempDir dir;
    COsDepend os(dir.File("t.log").c_str(), 1);
    os.SetDelimiters("(),");
    Tokenize(os, "a(b, c)\nd\n");
    EXPECT_EQ(vmtest::ReadFile(dir.File("t.log")), "a b c \nd \n");
}

TEST(Log, LevelsAppendAndFallback) {
    vmtest::TempDir dir;
    const std::string path = dir.File("trace.log");
    COsDepend os(path.c_str(), 0);
    EXPECT_EQ(os.Log(1, "silent\n"), 0);
    EXPECT_FALSE(vmtest::FileExists(path));

    EXPECT_EQ(os.SetLogLevel(1), 0u);
    vmtest::WriteFile(path, "old\n");
    EXPECT_EQ(os.Log(2, "too verbose\n"), 0);
    EXPECT_EQ(os.Log(1, "one %d\n", 1), 6);
    EXPECT_EQ(os.Log(0, "two\n"), 4);
    EXPECT_EQ(vmtest::ReadFile(path), "old\none 1\ntwo\n");

    // An unopenable file and an empty path both write to standard output.
    os.SetLogFile((dir.Path() + "/missing/dir.log").c_str());
    testing::internal::CaptureStdout();
    os.Log(1, "to stdout\n");
    os.SetLogFile(nullptr);
    os.Log(1, "again\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to stdout\nagain\n");
}

TEST(Log, ModeOneUsesTheProcessLogger) {
    vmtest::TempDir dir;
    COsDepend os(dir.File("own.log").c_str(), 5);
    EXPECT_EQ(os.SetLogMode(1), 0);
    EXPECT_EQ(os.Log(1, "dropped\n"), 0);  // the process logger is silent by default
    SetGlobalLogFile(dir.File("global.log").c_str());
    EXPECT_EQ(SetGlobalLogLevel(2), 0u);
    os.Log(2, "g%s\n", "lobal");
    os.Log(3, "too verbose\n");
    SetGlobalLogLevel(0);
    SetGlobalLogFile(nullptr);
    EXPECT_EQ(vmtest::ReadFile(dir.File("global.log")), "global\n");
    EXPECT_FALSE(vmtest::FileExists(dir.File("own.log")));
}

}  // namespace
