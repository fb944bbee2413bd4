// String conversions between automation strings and the engine's byte strings.

#include <gtest/gtest.h>

#include "automation/automation_types.h"

namespace orv {
namespace {

const bstr null_text;
bstr text(std::u16string s) { return s; }

TEST(NameConversion, LatinOneBytesUnlessAWideUnitOrAMarkAsksForUtf8) {
  EXPECT_EQ(name_conversion(null_text), "");
  EXPECT_EQ(name_conversion(text(u"")), "");
  EXPECT_EQ(name_conversion(text(u"caf\u00e9")), "caf\xe9");
  // Up to the first NUL when every unit fits in a byte; by length once one does not.
  EXPECT_EQ(name_conversion(text(std::u16string(u"ab\0c\u00e9", 5))), "ab");
  EXPECT_EQ(name_conversion(text(std::u16string(u"\u20ac\0x", 3))), std::string("\xe2\x82\xac\0x", 5));
  EXPECT_EQ(name_conversion(text(u"\ufeffcaf\u00e9")), "caf\xc3\xa9");
  EXPECT_EQ(name_conversion(text(u"\U0001F600\u0100")), "\xf0\x9f\x98\x80\xc4\x80");
  // A lone surrogate cannot be UTF-8; it becomes the replacement character.
  EXPECT_EQ(name_conversion(text(u"\u0100\xd800")), "\xc4\x80\xef\xbf\xbd");
}

TEST(NameConversion, Utf8VariantAlwaysEncodesUpToTheFirstNul) {
  EXPECT_EQ(utf8_name_conversion(null_text), "");
  EXPECT_EQ(utf8_name_conversion(text(std::u16string(u"\u00e9t\u00e9\0x", 5))), "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(utf8_name_conversion(text(u"News")), name_conversion(text(u"News")));
}

TEST(XmlConversion, KeepsWhatTellsTheParserItsEncoding) {
  EXPECT_EQ(xml_conversion(null_text), "");
  EXPECT_EQ(xml_conversion(text(u"\ufeff<a/>")), std::string("\xfe\xff\0<\0a\0/\0>", 10));
  // UTF-8 bytes one per unit, mark included, pass through as bytes ...
  EXPECT_EQ(xml_conversion(text(u"\u00ef\u00bb\u00bf<a>\u00c3\u00a9</a>")), "\xef\xbb\xbf<a>\xc3\xa9</a>");
  // ... unless a unit does not fit in a byte: then big-endian UTF-16 of the whole text.
  EXPECT_EQ(xml_conversion(text(u"\u00ef\u00bb\u00bf\u20ac")), std::string("\0\xef\0\xbb\0\xbf\x20\xac", 8));
  // The mark alone is too short to count as one.
  EXPECT_EQ(xml_conversion(text(u"\u00ef\u00bb\u00bf")), "\xef\xbb\xbf");
  EXPECT_EQ(xml_conversion(text(u"<a>\u00e9</a>")), "<a>\xe9</a>");
  EXPECT_EQ(xml_conversion(text(u"<a>\u20ac</a>")), "<a>\xe2\x82\xac</a>");
}

TEST(OutputConversion, Utf8DecodingReplacesEachInvalidSequenceOnce) {
  EXPECT_EQ(utf8_output_conversion("caf\xc3\xa9 \xf0\x9f\x98\x80"), text(u"caf\u00e9 \U0001F600"));
  // Latin-1 bytes, a cut sequence, an encoded surrogate and an overlong form.
  EXPECT_EQ(utf8_output_conversion("caf\xe9"), text(u"caf\ufffd"));
  EXPECT_EQ(utf8_output_conversion("\xe2\x82x"), text(u"\ufffdx"));
  EXPECT_EQ(utf8_output_conversion("\xed\xa0\x80"), text(u"\ufffd\ufffd\ufffd"));
  EXPECT_EQ(utf8_output_conversion("\xc0\xaf"), text(u"\ufffd\ufffd"));
  EXPECT_EQ(utf8_output_conversion("\xf0\x9f\x98"), text(u"\ufffd"));
  EXPECT_EQ(byte_output_conversion("caf\xe9"), text(u"caf\u00e9"));
  EXPECT_EQ(to_utf8(u"\u00e9\xdc00"), "\xc3\xa9\xef\xbf\xbd");
}

TEST(Hresult, TextIsHexWithEightUpperCaseDigits) {
  EXPECT_EQ(hresult_text(hresult::E_FAIL), "0x80004005");
  EXPECT_EQ(hresult_text(hresult::DISP_E_TYPEMISMATCH), "0x80020005");
  EXPECT_EQ(hresult_text(hresult::S_OK), "0x00000000");
}

}  // namespace
}  // namespace orv
