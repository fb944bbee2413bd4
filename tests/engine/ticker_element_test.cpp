#include "engine/ticker_element.h"

#include "engine/value_encoding.h"
#include "tests/engine/ticker_fixture.h"

namespace orv::testing {
namespace {

TEST(TickerElement, WritesElementXmlUnescaped) {
  TickerElement e;
  e.SetKey("A1");
  e.SetDesign("D");
  e.SetLogMsg("not written");
  e.AddValue("L", "a&b", "x < \"y\"");
  // Markup in the content goes out as it is, so the result no longer parses.
  EXPECT_EQ(e.ToXml(),
            "<element key=\"A1\">\n  <design>D</design>\n  <ttl>-1</ttl>\n"
            "  <value label=\"L\" attribute=\"a&b\">x < \"y\"</value>\n</element>\n");
  EXPECT_EQ(TickerElement(e.ToXml()).key(), "");
}

TEST(TickerElement, ParsesElementXml) {
  TickerElement e(
      "<element key=\"k1\"><design>\r\n\t Scroll \n</design><log_msg>  said </log_msg><ttl> 7 </ttl>"
      "<value label=\"a\" attribute=\"text\">one </value><value label=\"a\" attribute=\"text\">two</value>"
      "<value attribute=\"x\">unlabelled</value><unknown>ignored</unknown></element>");
  // Same label twice gives two records; in element XML a value without label has label "".
  EXPECT_EQ(e.key() + ":" + describe(e), "k1:Scroll|  said |7|a/text/one |a/text/two|/x/unlabelled");

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
      "<value encoding=\"base64\">QUIAQ0Q=</value>"  // cut at the decoded zero byte
      "<value encoding=\"uft8single\">caf\xC3\xA9 \xE2\x82\xAC 5 \xE4\xB8\xAD</value>"
      "<value encoding=\"utf8\">caf\xC3\xA9</value></element>");
  EXPECT_EQ(describe(e), "||-1|//Hello World|//Hello World|//AB|//caf\xE9 \x80 5 ?|//caf\xC3\xA9");

  // A partial group yields what its bits hold.
  const std::vector<std::pair<std::string_view, std::string>> base64 = {
      {"QQ", "A"}, {"QUI", "AB"}, {std::string_view("QUJD\0REVG", 9), "ABC"}, {"=+/=+/", "\xFB\xFF\xBF"}};
  for (const auto& [text, decoded] : base64) EXPECT_EQ(decode_base64(text), decoded) << text;
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
  e.SetValue("M", "", "");
  e.SetLogMsg("log");
  EXPECT_EQ(element_summary(e), "D: L.A=T L.y=2 M.=  (K: log)");

  e.SetTtl(2);
  EXPECT_EQ(std::vector<bool>({e.ConsumeShowing(), e.ConsumeShowing(), e.ConsumeShowing()}),
            std::vector<bool>({false, true, true}));
  EXPECT_EQ(e.ttl(), 0) << "never below zero, which would mean unlimited";
  e.SetTtl(-1);
  EXPECT_TRUE(e.ConsumeShowing() && e.ttl() == -1);
}

TEST(KeyIndex, ElementsRegisterUnderTheirKeyAndLeaveOnRekeyOrDestruction) {
  auto index = std::make_shared<element_key_index>();
  auto e = std::make_shared<sharedTickerElement>(index);
  e->SetKey("a");
  e->SetKey("b");
  EXPECT_EQ(index->find("a"), nullptr);
  EXPECT_EQ(index->find("b"), e);

  // A copy of a plain element registers under its key; the newest registration wins and
  // the older element going away does not remove it.
  TickerElement plain;
  plain.SetKey("b");
  auto newer = std::make_shared<sharedTickerElement>(plain, index);
  EXPECT_EQ(index->find("b"), newer);
  e.reset();
  EXPECT_EQ(index->find("b"), newer);
  newer.reset();
  EXPECT_EQ(index->size(), 0u);
}

}  // namespace
}  // namespace orv::testing
