// The progress line fits every terminal width and gives up its parts in a fixed order.
#include <gtest/gtest.h>

#include "cli/ProgressLine.h"

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
