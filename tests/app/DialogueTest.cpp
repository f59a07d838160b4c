#include <gtest/gtest.h>

#include <sstream>

#include "app/Dialogue.h"
#include "tests/app/ExpectedDialogue.h"

namespace {

TEST(Dialogue, BannerAndBoxAreByteExact) {
    std::ostringstream out;
    WriteBanner(out);
    EXPECT_EQ(out.str(), kExpectedBanner);
}

TEST(Dialogue, BoxLinesHaveTheirWidths) {
    std::ostringstream out;
    WriteBanner(out);
    std::istringstream lines(out.str());
    std::vector<std::string> all;
    for (std::string line; std::getline(lines, line);) all.push_back(line);
    ASSERT_EQ(all.size(), 11u);
    EXPECT_EQ(all[0].size(), 24u);
    EXPECT_EQ(all[1].size(), 31u);
    EXPECT_EQ(all[3].size(), 63u);
    for (int i = 4; i <= 9; ++i) EXPECT_EQ(all[i].size(), 64u) << "line " << i + 1;
}

TEST(Dialogue, PlugInRequest) {
    std::ostringstream out;
    WritePlugInRequest(out);
    EXPECT_EQ(out.str(), kExpectedPlugIn);
}

TEST(Dialogue, WaitingEndsAtEnterOrAtEndOfInput) {
    std::istringstream typed("anything\nrest");
    WaitForEnter(typed);
    EXPECT_TRUE(typed.good());
    std::istringstream empty("");
    WaitForEnter(empty);  // must return, not block
    EXPECT_TRUE(empty.eof());
}

}  // namespace
