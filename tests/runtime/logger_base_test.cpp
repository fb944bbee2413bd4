#include <gtest/gtest.h>

#include "tests/support/memory_logger.h"

namespace {

TEST(LoggerBase, OneStatementIsOneMessageAndSubloggersInheritTheLevel) {
  auto root = std::make_shared<orv::testing::memory_logger>(50);
  root->stream(50) << "a" << 1 << std::endl;
  auto sub = root->create_sublogger("child", -1);
  EXPECT_TRUE(sub->should_log(50));
  EXPECT_FALSE(sub->should_log(51));
  sub->stream(40) << "b";
  ASSERT_EQ(root->entries().size(), 2u);
  EXPECT_EQ(root->entries()[0].text, "a1\n");
  EXPECT_EQ(root->entries()[1].source, "child");
  EXPECT_FALSE(root->create_sublogger("x", 90)->should_log(91));
}

}  // namespace
