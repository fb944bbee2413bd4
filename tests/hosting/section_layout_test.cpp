#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ticker_element.h"
#include "hosting/object_name.h"
#include "hosting/section_channel.h"

namespace orv {
namespace {

using namespace std::string_literals;

// The area is followed by guard bytes, and all of it starts as 'Z': stale bytes after a write
// and writes past the end both show.
struct guarded_area {
  std::vector<char> bytes = std::vector<char>(section_area_size + 64, 'Z');
  std::span<char> area() { return {bytes.data(), section_area_size}; }
  std::string at(std::size_t from, std::size_t n) const { return {bytes.data() + from, n}; }
  bool guard_intact() const { return at(section_area_size, 64) == std::string(64, 'Z'); }
};

TickerElement element(const std::string& design, std::vector<TickerValue> values) {
  TickerElement e;
  e.SetKey("k");
  e.SetDesign(design);
  e.SetValues(std::move(values));
  return e;
}

TEST(SectionLayout, ElementsAndTitlesAsTheRendererReadsThem) {
  guarded_area a;
  EXPECT_FALSE(write_element_area(a.area(), element("D", {{"L1", "", "T1"}, {"L2", "A2", "T2"}})).cut);
  EXPECT_EQ(a.at(0, 20), "D\0L1\0\0T1\0L2\0A2\0T2\0\0Z"s);

  write_element_area(a.area(), element("Design", {}));
  EXPECT_EQ(a.at(0, 9), "Design\0\0\0"s);
  write_empty_element(a.area());  // only its two bytes change
  EXPECT_EQ(a.at(0, 9), "\0\0sign\0\0\0"s);

  guarded_area t;
  write_title_area(t.area(), {"A", "B"});
  EXPECT_EQ(t.at(0, 6), "A\0B\0\0Z"s);
}

TEST(SectionLayout, WhatDoesNotFitIsLeftOffWholeAndNothingPassesTheEnd) {
  guarded_area a;
  // "D" takes 2 bytes and each value 2 + 1 + 5001: three end at 15014, a fourth does not fit.
  const TickerValue big{"L", "", std::string(5000, 'x')};
  auto written = write_element_area(a.area(), element("D", {big, big, big, big}));
  EXPECT_TRUE(written.cut);
  EXPECT_EQ(written.written, 3u);
  EXPECT_EQ(a.at(15014, 2), "\0Z"s);  // terminated, and no part of the fourth value written

  // A value that ends exactly at the last byte fits; one byte more does not.
  const std::string exact(section_area_size - 7, 'y');
  EXPECT_FALSE(write_element_area(a.area(), element("D", {{"L", "", exact}})).cut);
  EXPECT_EQ(a.bytes[section_area_size - 1], '\0');
  written = write_element_area(a.area(), element("D", {{"L", "", exact + "y"}}));
  EXPECT_TRUE(written.cut);
  EXPECT_EQ(a.at(0, 3), "D\0\0"s);

  // A design that does not fit leaves the empty element.
  EXPECT_TRUE(write_element_area(a.area(), element(std::string(section_area_size - 1, 'd'), {})).cut);
  EXPECT_EQ(a.at(0, 2), "\0\0"s);

  const std::string title(6000, 't');
  written = write_title_area(a.area(), {title, title, title});
  EXPECT_EQ(written.written, 2u);
  EXPECT_EQ(a.bytes[12002], '\0');
  EXPECT_TRUE(a.guard_intact());
}

TEST(SectionLayout, ObjectNamesEncodeOnlySlashAndPercent) {
  EXPECT_EQ(encode_object_name("a/b%c d\\e"), "a%2Fb%25c d\\e");
  EXPECT_EQ(encode_object_name("%2F"), "%252F");  // so that no two names meet
}

}  // namespace
}  // namespace orv
