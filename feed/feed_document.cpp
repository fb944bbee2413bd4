#include "feed/feed_document.h"

namespace orv {
namespace {

// The attribute's value, or fallback when it is missing or empty.
std::string attribute_or(const xml_attributes& attributes, const char* name, const char* fallback) {
  const auto found = attributes.find(name);
  return found == attributes.end() || found->second.empty() ? fallback : found->second;
}

}  // namespace

quillmere_xml_handler::quillmere_xml_handler(std::shared_ptr<ticker_group_base> target,
                                             std::shared_ptr<element_key_index> key_index,
                                             std::shared_ptr<replaced_elements> replaced)
    : target_(std::move(target)), key_index_(std::move(key_index)), replaced_(std::move(replaced)) {}

std::shared_ptr<xml_handler> quillmere_xml_handler::start_element(const std::string& tag,
                                                                  const xml_attributes& attributes) {
  if (tag == "GROUP") {
    target_->SetControlName(attribute_or(attributes, "id", "GROUP"));
    return std::make_shared<group_parser>(target_, key_index_, replaced_);
  }
  if (tag == "SECURITY") {
    // An update in place of an element the ticker already has; unknown keys are ignored.
    auto element = key_index_->find(attribute_or(attributes, "id", "SECURITY"));
    if (!element) return nullptr;
    target_->ElementChangedInPlace();
    return std::make_shared<element_parser>(std::move(element));
  }
  return shared_from_this();
}

group_parser::group_parser(std::shared_ptr<ticker_group_base> target, std::shared_ptr<element_key_index> key_index,
                           std::shared_ptr<replaced_elements> replaced)
    : target_(std::move(target)), key_index_(std::move(key_index)), replaced_(std::move(replaced)) {}

std::shared_ptr<xml_handler> group_parser::start_element(const std::string&, const xml_attributes&) {
  return std::make_shared<group_child_parser>(std::static_pointer_cast<group_parser>(shared_from_this()));
}

void group_parser::end_element() {
  target_->ReplaceElements(incoming_);  // leaves the old elements in incoming_
  if (replaced_ && !incoming_.empty()) replaced_->push_back(std::move(incoming_));
  incoming_.clear();
}

std::shared_ptr<xml_handler> group_parser::element_for(std::string id) {
  if (id.empty()) id = "SECURITY";
  auto element = key_index_->find(id);
  ++counter_;
  if (!element) {
    element = std::make_shared<sharedTickerElement>(key_index_);
    element->SetKey(id);  // registers it in the key index
    element->SetFromFeed(true);
  }
  // The numbered prefix keeps document order in the group's key-ordered map.
  incoming_["[" + std::to_string(std::int64_t{counter_} + 1000000) + "]" + id] = element;
  return std::make_shared<element_parser>(std::move(element));
}

group_child_parser::group_child_parser(std::shared_ptr<group_parser> group) : group_(std::move(group)) {}

std::shared_ptr<xml_handler> group_child_parser::start_element(const std::string& tag,
                                                               const xml_attributes& attributes) {
  if (tag == "SECURITIES") return shared_from_this();
  if (tag == "SECURITY") {
    const auto id = attributes.find("id");
    return group_->element_for(id == attributes.end() ? std::string() : id->second);
  }
  return nullptr;
}

element_parser::element_parser(std::shared_ptr<sharedTickerElement> element) : element_(std::move(element)) {}

std::shared_ptr<xml_handler> element_parser::start_element(const std::string& tag, const xml_attributes&) {
  current_name_ = tag;
  text.clear();
  return shared_from_this();
}

void element_parser::end_element() {
  if (current_name_.empty()) return;
  element_->SetValue(current_name_, "control", text);
  current_name_.clear();
}

}  // namespace orv
