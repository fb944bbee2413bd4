#include "bench/line_reference.h"

#include <gtest/gtest.h>

#include "bench/child_process.h"

namespace orv::bench {
namespace {

TEST(LineFigures, AllThreeFiguresOrNothing) {
  const auto figures = parse_line_figures("replies_per_s 508166\nbatch_p50_us 422.5\nbatch_p99_us 5207.1\n");
  ASSERT_TRUE(figures);
  EXPECT_EQ(figures->replies_per_s, 508166);
  EXPECT_EQ(figures->batch_p50_us, 422.5);
  EXPECT_EQ(figures->batch_p99_us, 5207.1);

  // Order and unrelated lines do not matter; a figure that is not a number does not count.
  const auto shuffled = parse_line_figures("batch_p99_us 9\nnote x y\nreplies_per_s 7\nbatch_p50_us 3");
  ASSERT_TRUE(shuffled);
  EXPECT_EQ(shuffled->replies_per_s, 7);
  EXPECT_EQ(shuffled->batch_p50_us, 3);
  EXPECT_FALSE(parse_line_figures("replies_per_s 7\nbatch_p50_us 3\n"));
  EXPECT_FALSE(parse_line_figures("replies_per_s 7\nbatch_p50_us 3\nbatch_p99_us 9us\n"));
  EXPECT_FALSE(parse_line_figures("replies_per_s_total 7\nbatch_p50_us 3\nbatch_p99_us 9\n"));
  EXPECT_FALSE(parse_line_figures(""));
}

TEST(LineFigures, AClientThatFailsGivesNoFigures) {
  // Its output is complete, but a failed run must not be read as a measurement.
  const std::string figures = "printf 'replies_per_s 1\\nbatch_p50_us 2\\nbatch_p99_us 3\\n'";
  EXPECT_TRUE(output_of("/bin/sh", {"-c", figures}));
  EXPECT_FALSE(output_of("/bin/sh", {"-c", figures + "; exit 1"}));
  EXPECT_FALSE(output_of("/nonexistent/linebench", {}));
  EXPECT_EQ(output_of("/bin/sh", {"-c", "echo \"$0 $1\"", "a b", "c"}), "a b c\n");
}

}  // namespace
}  // namespace orv::bench
