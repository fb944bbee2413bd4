#include "engine/ticker_element.h"

#include <gtest/gtest.h>

#include "engine/value_encoding.h"

namespace orv {
namespace {

TEST(TickerElement, WritesElementXmlUnescaped) {
  TickerElement e;
  e.SetKey("A1");
  e.SetDesign("D");
  e.SetLogMsg("not written");
  e.AddValue("L", "", "T");
  EXPECT_EQ(e.ToXml(),
            "<element key=\"A1\">\n  <design>D</design>\n  <ttl>-1</ttl>\n"
            "  <value label=\"L\" attribute=\"\">T</value>\n</element>\n");
  // Markup in the content goes out as it is, so the result no longer parses.
  e.SetValue("L", "a&b", "x < \"y\"");
  EXPECT_NE(e.ToXml().find("attribute=\"a&b\">x < \"y\"</value>"), std::string::npos);
  EXPECT_EQ(TickerElement(e.ToXml()).key(), "");
}

TEST(TickerElement, ParsesElementXml) {
  TickerElement e(
      "<element key=\"k1\"><design>\r\n\t Scroll \n</design><log_msg>  said </log_msg><ttl> 7 </ttl>"
      "<value label=\"a\" attribute=\"text\">one </value><value label=\"a\" attribute=\"text\">two</value>"
      "<value attribute=\"x\">unlabelled</value><unknown>ignored</unknown></element>");
  EXPECT_EQ(e.key(), "k1");
  EXPECT_EQ(e.design(), "Scroll");
  EXPECT_EQ(e.log_msg(), "  said ");
  EXPECT_EQ(e.ttl(), 7);
  // Same label twice gives two records; in element XML a value without label has label "".
  ASSERT_EQ(e.values().size(), 3u);
  EXPECT_EQ(e.values()[0].label + e.values()[0].text + e.values()[1].label + e.values()[1].text, "aone atwo");
  EXPECT_EQ(e.values()[2].label + "|" + e.values()[2].attribute, "|x");

  EXPECT_EQ(TickerElement("<element key=\"k\"><ttl>abc</ttl></element>").ttl(), 0);
  EXPECT_EQ(TickerElement("<element key=\"k\"/>").ttl(), -1);
  // The outer tag may be anything; only an element tag carries the key.
  EXPECT_EQ(TickerElement("<doc><element key=\"w\"/><value>t</value></doc>").values().size(), 1u);
  for (const char* bad : {"<element key=\"k\"><value>x</element>", "", "<element key=\"k\"/>trailing"})
    EXPECT_EQ(TickerElement(bad).key(), "") << bad;
}

TEST(TickerElement, DecodesValueEncodings) {
  TickerElement e(
      "<element key=\"k\">"
      "<value encoding=\"base64\">SGVsbG8gV29ybGQ=</value>"
      "<value encoding=\"base64\">SGVs\n bG8g\r\n\tV29y bGQ=</value>"
      "<value encoding=\"base64\">QUIAQ0Q=</value>"
      "<value encoding=\"uft8single\">caf\xC3\xA9 \xE2\x82\xAC 5 \xE4\xB8\xAD</value>"
      "<value encoding=\"utf8\">caf\xC3\xA9</value></element>");
  ASSERT_EQ(e.values().size(), 5u);
  EXPECT_EQ(e.values()[0].text, "Hello World");
  EXPECT_EQ(e.values()[1].text, "Hello World");
  EXPECT_EQ(e.values()[2].text, "AB");  // cut at the decoded zero byte
  EXPECT_EQ(e.values()[3].text, "caf\xE9 \x80 5 ?");
  EXPECT_EQ(e.values()[4].text, "caf\xC3\xA9");

  EXPECT_EQ(decode_base64("QQ"), "A");  // a partial group yields what its bits hold
  EXPECT_EQ(decode_base64("QUI"), "AB");
  EXPECT_EQ(decode_base64(std::string_view("QUJD\0REVG", 9)), "ABC");
  EXPECT_EQ(decode_base64("=+/=+/"), "\xFB\xFF\xBF");
}

TEST(TickerElement, SingleByteConversion) {
  EXPECT_EQ(utf8_to_single_byte("\xC2\xA0\xC3\xBF\xC5\xA0\xE2\x84\xA2\xC2\x81\xF0\x9F\x98\x80"), "\xA0\xFF\x8A\x99??");
  // Malformed input fails as a whole: stray continuation, truncation, overlong, surrogate, too high.
  for (const char* bad : {"ok\x80", "ok\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"})
    EXPECT_EQ(utf8_to_single_byte(bad), "") << bad;
  EXPECT_EQ(utf8_to_single_byte(std::string(70000, 'x')).size(), 65535u);
  EXPECT_EQ(utf8_to_utf16("a\xC3\xA9\xF0\x9F\x98\x80\xFF"), (std::u16string{u'a', 0xE9, 0xD83D, 0xDE00, 0xFFFD}));
}

TEST(TickerElement, SetValueConsumeShowingAndSummary) {
  TickerElement e;
  e.SetDesign("D");
  e.AddValue("L", "x", "1");
  e.AddValue("L", "y", "2");
  EXPECT_EQ(element_summary(e), "");
  e.SetKey("K");
  e.SetValue("L", "A", "T");
  EXPECT_EQ(element_summary(e), "D: L.A=T L.y=2  (K: )");
  e.SetValue("M", "", "");
  e.SetLogMsg("log");
  EXPECT_EQ(element_summary(e), "D: L.A=T L.y=2 M.=  (K: log)");

  e.SetTtl(2);
  EXPECT_EQ(std::vector<bool>({e.ConsumeShowing(), e.ConsumeShowing(), e.ConsumeShowing()}),
            std::vector<bool>({false, true, true}));
  EXPECT_EQ(e.ttl(), 0);
  e.SetTtl(-1);
  EXPECT_TRUE(e.ConsumeShowing() && e.ttl() == -1);
}

TEST(KeyIndex, ElementsRegisterUnderTheirKeyAndLeaveOnRekeyOrDestruction) {
  auto index = std::make_shared<element_key_index>();
  auto e = std::make_shared<sharedTickerElement>(index);
  e->SetKey("a");
  EXPECT_EQ(index->find("a"), e);
  e->SetKey("b");
  EXPECT_EQ(index->find("a"), nullptr);
  EXPECT_EQ(index->find("b"), e);
  EXPECT_EQ(index->size(), 1u);

  // A copy of a plain element registers under its key; the newest registration wins and
  // the older element going away does not remove it.
  TickerElement plain;
  plain.SetKey("b");
  auto newer = std::make_shared<sharedTickerElement>(plain, index);
  EXPECT_EQ(index->find("b"), newer);
  e.reset();
  EXPECT_EQ(index->find("b"), newer);

  std::weak_ptr<sharedTickerElement> watch = newer;
  newer.reset();
  EXPECT_TRUE(watch.expired());  // the index does not keep elements alive
  EXPECT_EQ(index->size(), 0u);
}

}  // namespace
}  // namespace orv
