#include <gtest/gtest.h>

#include <set>

#include "platform/printer_port.h"

namespace kestrun {
namespace {

bool has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// Each of the sixteen combinations of the four status lines gets its own text, naming every
// condition that holds and no other, with what to do about it.
TEST(DescribePortStatus, EveryCombinationNamesExactlyItsConditions) {
    std::set<std::string> texts;
    for (int bits = 0; bits < 16; ++bits) {
        const PortStatus status{.paperOut = (bits & 1) != 0,
                                .offline = (bits & 2) != 0,
                                .error = (bits & 4) != 0,
                                .busy = (bits & 8) != 0};
        const std::string text = describePortStatus(status);
        SCOPED_TRACE(text);
        texts.insert(text);
        EXPECT_EQ(has(text, "缺纸"), status.paperOut);
        EXPECT_EQ(has(text, "装好打印纸"), status.paperOut);
        EXPECT_EQ(has(text, "脱机"), status.offline);
        EXPECT_EQ(has(text, "联机"), status.offline);
        EXPECT_EQ(has(text, "故障"), status.error);
        EXPECT_EQ(has(text, "忙"), status.busy);
        if (bits == 0) {
            EXPECT_TRUE(has(text, "没有接收数据"));
        } else {
            EXPECT_TRUE(has(text, "继续"));
        }
    }
    EXPECT_EQ(texts.size(), 16u);
}

TEST(DescribePortStatus, ConditionsAreListedMostSpecificFirst) {
    EXPECT_EQ(describePortStatus({.paperOut = true, .offline = true, .error = true}),
              "打印机缺纸、脱机、报告故障。请装好打印纸，按打印机的“联机”键，"
              "检查打印机面板上的故障灯（卡纸、机盖未合上等），测试页会从中断处继续打印。");
}

}  // namespace
}  // namespace kestrun
