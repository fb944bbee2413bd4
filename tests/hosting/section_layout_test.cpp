#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ticker_element.h"
#include "hosting/object_name.h"
#include "hosting/section_channel.h"

namespace orv {
namespace {

using namespace std::string_literals;

// An area followed by guard bytes, all of them filled with a marker, so that both stale
// bytes past a write and writes past the area's end show up.
struct guarded_area {
  static constexpr char marker = '\x5A';
  std::vector<char> bytes = std::vector<char>(section_area_size + 64, marker);
  std::span<char> area() { return {bytes.data(), section_area_size}; }
  std::string prefix(std::size_t n) const { return {bytes.data(), n}; }
  bool guard_intact() const {
    for (std::size_t i = section_area_size; i < bytes.size(); ++i)
      if (bytes[i] != marker) return false;
    return true;
  }
};

TickerElement element(const std::string& design, std::vector<TickerValue> values) {
  TickerElement e;
  e.SetKey("k");
  e.SetDesign(design);
  e.SetValues(std::move(values));
  return e;
}

TEST(ElementArea, WritesDesignThenValuesThenAnEmptyLabel) {
  guarded_area a;
  const auto written = write_element_area(a.area(), element("D", {{"L1", "", "T1"}, {"L2", "A2", "T2"}}));
  EXPECT_EQ(a.prefix(20), "D\0L1\0\0T1\0L2\0A2\0T2\0\0"s + guarded_area::marker);
  EXPECT_EQ(written.written, 2u);
  EXPECT_FALSE(written.cut);
}

TEST(ElementArea, ElementsWithoutValuesAndTheEmptyElement) {
  guarded_area a;
  write_element_area(a.area(), element("Design", {}));
  EXPECT_EQ(a.prefix(9), "Design\0\0"s + guarded_area::marker);

  // Overwrites only its two bytes: the rest of the previous element stays.
  write_empty_element(a.area());
  EXPECT_EQ(a.prefix(9), "\0\0sign\0\0"s + guarded_area::marker);

  // Indistinguishable from the empty element, as the layout has it.
  write_element_area(a.area(), element("", {{"", "A", "T"}}));
  EXPECT_EQ(a.prefix(2), "\0\0"s);
}

TEST(ElementArea, ValuesThatDoNotFitAreLeftOffWhole) {
  guarded_area a;
  // Design "D" takes 2 bytes, each value 2 + 1 + 5001 = 5004: three end at 15014, a fourth
  // would need 20019 bytes with the terminator.
  const std::string big(5000, 'x');
  const auto written = write_element_area(a.area(), element("D", {{"L", "", big}, {"L", "", big}, {"L", "", big},
                                                                  {"L", "", big}}));
  EXPECT_TRUE(written.cut);
  EXPECT_EQ(written.written, 3u);
  EXPECT_EQ(written.total, 4u);
  EXPECT_EQ(a.bytes[2 + 3 * 5004], '\0');          // the ending empty label
  EXPECT_EQ(a.bytes[2 + 3 * 5004 + 1], guarded_area::marker);
  EXPECT_TRUE(a.guard_intact());
}

TEST(ElementArea, AValueEndingExactlyAtTheAreaEndStillFits) {
  guarded_area a;
  // 2 (design) + 2 (label) + 1 (attribute) + text + 1 + 1 (terminator) = 16384 exactly.
  const std::string exact(section_area_size - 7, 'y');
  auto written = write_element_area(a.area(), element("D", {{"L", "", exact}}));
  EXPECT_FALSE(written.cut);
  EXPECT_EQ(a.bytes[section_area_size - 1], '\0');
  EXPECT_TRUE(a.guard_intact());

  written = write_element_area(a.area(), element("D", {{"L", "", exact + "y"}}));
  EXPECT_TRUE(written.cut);
  EXPECT_EQ(written.written, 0u);
  EXPECT_EQ(a.prefix(3), "D\0\0"s);
  EXPECT_TRUE(a.guard_intact());
}

TEST(ElementArea, ADesignThatDoesNotFitLeavesTheEmptyElement) {
  guarded_area a;
  const auto written = write_element_area(a.area(), element(std::string(section_area_size - 1, 'd'), {}));
  EXPECT_TRUE(written.cut);
  EXPECT_EQ(a.prefix(3), "\0\0"s + guarded_area::marker);
  EXPECT_TRUE(a.guard_intact());
}

TEST(TitleArea, TitlesEndWithAnEmptyName) {
  guarded_area a;
  write_title_area(a.area(), {"A", "B"});
  EXPECT_EQ(a.prefix(6), "A\0B\0\0"s + guarded_area::marker);
}

TEST(TitleArea, TitlesThatDoNotFitAreLeftOff) {
  guarded_area a;
  const std::string title(6000, 't');
  const auto written = write_title_area(a.area(), {title, title, title});
  EXPECT_TRUE(written.cut);
  EXPECT_EQ(written.written, 2u);
  EXPECT_EQ(a.bytes[2 * 6001], '\0');
  EXPECT_EQ(a.bytes[2 * 6001 + 1], guarded_area::marker);
  EXPECT_TRUE(a.guard_intact());
}

TEST(ObjectName, EncodesOnlySlashAndPercent) {
  EXPECT_EQ(encode_object_name("a/b%c d\\e"), "a%2Fb%25c d\\e");
  EXPECT_EQ(encode_object_name("%2F"), "%252F");  // so decoding is unambiguous
  EXPECT_EQ(encode_object_name(""), "");
}

}  // namespace
}  // namespace orv
