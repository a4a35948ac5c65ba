// The terminal's lines: the progress line fits every width and gives up its parts in a fixed order;
// messages wrap in the terminal's columns, in every language.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/ProgressLine.h"
#include "cli/Usage.h"
#include "common/PrintableText.h"

TEST(ProgressLine, FitsEveryWidthAndDropsSpeedThenTimeThenBar) {
    const cli::ProgressFigures figures{32768, 65664, 1264.0 * 1024, 5};
    int lastParts = 0;
    for (int columns = 40; columns <= 200; ++columns) {
        const std::string line = cli::ProgressLine(figures, columns);
        ASSERT_EQ(static_cast<int>(line.size()), columns - 1) << columns;  // overwrites, never wraps
        EXPECT_NE(line.find(" 49% 32768/65664 bytes"), std::string::npos) << line;
        const bool bar = line.front() == '[', eta = line.find("0:05 left") != std::string::npos,
                   speed = line.find("1264.0 KiB/s") != std::string::npos;
        EXPECT_TRUE(bar || (!eta && !speed)) << line;  // the bar goes last
        EXPECT_TRUE(eta || !speed) << line;            // the speed goes first
        const int parts = bar + eta + speed;
        EXPECT_GE(parts, lastParts) << "a wider terminal shows less: " << line;
        lastParts = parts;
    }
    EXPECT_NE(cli::ProgressLine(figures, 80).find("1264.0 KiB/s"), std::string::npos);
    EXPECT_NE(cli::ProgressLine(figures, 60).find("0:05 left"), std::string::npos);
    EXPECT_EQ(cli::ProgressLine(figures, 40).front(), '[');
    // A huge image on a narrow terminal is cut, never wider than the terminal.
    EXPECT_EQ(cli::ProgressLine({1e15, 2e15, 0, 0}, 20).size(), 19u);
}

// Japanese and Chinese have no spaces: their lines break between characters (a wide character takes
// two columns), never before closing punctuation, the long-vowel mark or a small kana; nothing is
// lost.
TEST(WrapText, BreaksJapaneseAndChineseBetweenCharactersInTheirColumns) {
    for (const std::string text :
         {"\u30D5\u30A1\u30FC\u30E0\u30A6\u30A7\u30A2\u3092\u30A2\u30C3\u30D7\u30ED\u30FC\u30C9\u3057\u307E"
          "\u3057\u305F\u3002\u30AD\u30FC\u30DC\u30FC\u30C9\u306E\u518D\u8D77\u52D5\u3092\u5F85\u3063\u3066"
          "\u3044\u307E\u3059...",
          "\u56FA\u4EF6\u5DF2\u66F4\u65B0\uFF1A\u952E\u76D8\u62A5\u544A\u7248\u672C\u4E3A V2.0\u3002\u8BF7"
          "\u4FDD\u6301\u952E\u76D8\u8FDE\u63A5\uFF0C\u76F4\u5230\u66F4\u65B0\u7ED3\u675F\u3002"}) {
        const std::string wrapped = cli::WrapText(text, 20);
        std::istringstream lines(wrapped);
        std::string joined;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LE(kestrune::ColumnsOf(line), 20u) << line;
            for (const char* closing : {"\u3002", "\uFF0C", "\u30FC", "\u3063"}) EXPECT_FALSE(line.starts_with(closing)) << line;
            joined += line;
        }
        EXPECT_EQ(joined, text);
    }
}
