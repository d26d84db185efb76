#include "app/start_up.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/utf8_prefix.h"

namespace {

TEST(CentredOrigin, UsesTheRightAndBottomEdgesAndTruncatesTowardZero) {
    // A 1920 x 1080 desktop and a dialog of 400 x 461 pixels.
    EXPECT_EQ(CentredOrigin(1920, 1080, 400, 461).x, 760);
    EXPECT_EQ(CentredOrigin(1920, 1080, 400, 461).y, 309);  // 619 / 2
    // Odd remainders, negative too: toward zero, not toward minus infinity.
    EXPECT_EQ(CentredOrigin(801, 600, 400, 603).x, 200);
    EXPECT_EQ(CentredOrigin(801, 600, 400, 603).y, -1);  // -3 / 2
}

TEST(CentredOrigin, WindowLargerThanTheDesktopIsNotClipped) {
    const WindowOrigin origin = CentredOrigin(640, 480, 900, 480);
    EXPECT_EQ(origin.x, -130);
    EXPECT_EQ(origin.y, 0);
}

TEST(UnquotedTail, OneQuotedPathLosesItsQuotes) {
    EXPECT_EQ(UnquotedTail("\"C:\\Модули\\блок 1.vx4\""), "C:\\Модули\\блок 1.vx4");
    EXPECT_EQ(UnquotedTail("\"\""), "");
}

TEST(UnquotedTail, EverythingElseIsKeptAsItIs) {
    for (const char* tail :
         {"", "C:\\a.vx4", "C:\\my modules\\a.vx4", "\"", "\"C:\\a.vx4", "C:\\a.vx4\"",
          "\"a.vx4\" \"b.vx4\"", "\"a.vx4\" ", " \"a.vx4\"", "\"a\"b\""}) {
        EXPECT_EQ(UnquotedTail(tail), tail) << tail;
    }
}

TEST(Utf8PrefixLength, CutsOnlyBetweenCharacters) {
    const std::string text = "AБв€𝄞";  // characters of 1, 2, 2, 3 and 4 bytes
    ASSERT_EQ(text.size(), 12u);
    EXPECT_EQ(Utf8PrefixLength(text, 100), 12u);
    EXPECT_EQ(Utf8PrefixLength(text, 12), 12u);
    EXPECT_EQ(Utf8PrefixLength(text, 11), 8u);  // the 4-byte character goes whole
    EXPECT_EQ(Utf8PrefixLength(text, 8), 8u);
    EXPECT_EQ(Utf8PrefixLength(text, 7), 5u);
    EXPECT_EQ(Utf8PrefixLength(text, 2), 1u);
    EXPECT_EQ(Utf8PrefixLength(text, 1), 1u);
    EXPECT_EQ(Utf8PrefixLength(text, 0), 0u);
}

}  // namespace
