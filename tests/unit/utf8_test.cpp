#include "app/intake/utf8.h"

#include <gtest/gtest.h>

#include "platform/control_characters.h"

TEST(Utf8, InvalidSequencesAreReplacedValidOnesKept) {
    EXPECT_EQ(vsc::utf8Lossy("a\xffz"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(vsc::utf8Lossy("caf\xC3\xA9 \xE2\x80\x94"), "caf\xC3\xA9 \xE2\x80\x94");
    EXPECT_EQ(vsc::utf8Lossy("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
    EXPECT_EQ(vsc::utf8Lossy("\xE2\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut short
    EXPECT_EQ(vsc::utf8Lossy(std::string("a\0b", 3)),
              "a\xEF\xBF\xBD"
              "b");  // a NUL ends C strings
    EXPECT_EQ(vsc::utf8Lossy(""), "");
}

TEST(Utf8, LinesSplitAtEveryBreakAndEmptyPiecesGo) {
    EXPECT_EQ(vsc::splitLines("video\r\naudio\n"), (std::vector<std::string>{"video", "audio"}));
    EXPECT_EQ(vsc::splitLines("a\vb\fc\xC2\x85"
                              "d\xE2\x80\xA8"
                              "e\xE2\x80\xA9"
                              "f\n\n"),
              (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
    EXPECT_TRUE(vsc::splitLines("\n\r\n").empty());
}

// ffmpeg's diagnostics come in chunks: lines cross chunk boundaries, carriage
// returns stay, empty lines and an unfinished last line never come out, and a
// line that never ends is handed out in bounded pieces.
TEST(Utf8, DiagnosticLinesAreAssembledAcrossChunksAndBounded) {
    vsc::LineAssembler assembler;
    std::vector<std::string> lines;
    auto take = [&](const std::string& line) { lines.push_back(line); };
    assembler.append("first\r\nsec", take);
    assembler.append("ond\n\n\xff\n", take);
    assembler.append("unfinished", take);
    EXPECT_EQ(lines, (std::vector<std::string>{"first\r", "second", "\xEF\xBF\xBD"}));
    lines.clear();
    vsc::LineAssembler endless;
    std::string chunk(40000, 'x');
    for (int i = 0; i < 4; ++i) endless.append(chunk, take);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), vsc::LineAssembler::kLongestLine);
}

TEST(ControlCharacters, EachOneBecomesAReplacementCharacterAndTheRestStays) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(vsc::replaceControlCharacters(std::string("\0\t\n\r\x1b\x1f\x7f", 7)),
              r + r + r + r + r + r + r);
    EXPECT_EQ(vsc::replaceControlCharacters("a\xC2\x80z\xC2\x9F"), "a" + r + "z" + r);  // C1
    const std::string printable = " ~\xC2\xA0\xC3\xA9\xE2\x80\xA8" + r;  // NBSP, é, LS, U+FFFD
    EXPECT_EQ(vsc::replaceControlCharacters(printable), printable);
}
