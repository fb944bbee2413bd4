// The stored form of a group: group XML that ParseXML reads back to the same group. Every
// string goes out in base64, so any byte a name, key or value can hold survives.
#include <iterator>

#include "engine/ticker_group.h"
#include "engine/value_encoding.h"

namespace orv {

namespace {

void attribute(std::string& xml, const char* name, const std::string& bytes) {
  xml += ' ';
  xml += name;
  xml += "=\"";
  xml += encode_base64(bytes);
  xml += '"';
}

void number(std::string& xml, const char* name, std::int32_t value) {
  xml += ' ';
  xml += name;
  xml += "=\"" + std::to_string(value) + '"';
}

void flag(std::string& xml, const char* name, bool set) {
  if (set) xml += std::string(" ") + name + "=\"yes\"";
}

void child(std::string& xml, const char* tag, const std::string& bytes) {
  xml += '<';
  xml += tag;
  xml += '>';
  xml += encode_base64(bytes);
  xml += "</";
  xml += tag;
  xml += '>';
}

// Only what the parser would not have anyway: an element starts with an empty design (the
// default design comes last) and the group's ttl, and a value takes the label and attribute
// of the value before it in its element.
void element_xml(std::string& xml, const TickerElement& element, std::int32_t group_ttl) {
  xml += "<element";
  attribute(xml, "key", element.key());
  flag(xml, "main", element.is_main());
  if (element.priority_skip()) xml += " priority_skip=\"yes\"";
  flag(xml, "skip_armed", element.skip_armed());
  flag(xml, "from_feed", element.from_feed());
  xml += '>';
  if (!element.design().empty()) child(xml, "design", element.design());
  if (element.ttl() != group_ttl) xml += "<ttl>" + std::to_string(element.ttl()) + "</ttl>";
  if (!element.log_msg().empty()) child(xml, "log_msg", element.log_msg());
  const std::string none;
  const std::string* label = &none;
  const std::string* value_attribute = &none;
  for (const TickerValue& value : element.values()) {
    xml += "<value";
    if (value.label != *label) attribute(xml, "label", value.label);
    if (value.attribute != *value_attribute) attribute(xml, "attribute", value.attribute);
    label = &value.label;
    value_attribute = &value.attribute;
    xml += '>';
    xml += encode_base64(value.text);
    xml += "</value>";
  }
  xml += "</element>";
}

}  // namespace

std::string TickerGroup::StoredXml() const {
  std::string xml = "<group form=\"stored\"";
  attribute(xml, "name", name_);
  if (!control_name_.empty()) attribute(xml, "control_name", control_name_);
  if (cursor_ != elements_.end()) attribute(xml, "cursor", cursor_->first);
  number(xml, "chunking", chunking_);
  number(xml, "interval", interval_);
  number(xml, "duration", duration_);
  number(xml, "ttl", ttl_);
  number(xml, "handed_out", handed_out_);
  if (mortal_) xml += " immortal=\"no\"";
  flag(xml, "has_main", has_main_);
  flag(xml, "marked", marked_);
  flag(xml, "inactive", !active_);
  flag(xml, "no_restart", !restart_);
  flag(xml, "uninterruptible", !interruptible_);
  flag(xml, "supersedes", supersedes_);
  flag(xml, "round_over", round_over_);
  xml += '>';
  child(xml, "section", section_);
  for (const std::string& url : subscribe_urls_) child(xml, "subscribeurl", url);
  for (const auto& [key, element] : elements_) element_xml(xml, *element, ttl_);
  // Last: an element stored before the default design was set keeps its empty design.
  child(xml, "defaultdesign", default_design_);
  xml += "</group>";
  return xml;
}

}  // namespace orv
