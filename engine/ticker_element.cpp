#include "engine/ticker_element.h"

#include <cstring>

#include "engine/expat_document.h"
#include "engine/value_encoding.h"
#include "engine/xml_tags.h"

namespace orv {

namespace {

struct element_parse {
  explicit element_parse(TickerElement& target) : element(target) {}
  TickerElement& element;
  std::string label;
  std::string attribute;
  std::string buffer;
  bool base64 = false;
  bool single_byte = false;
};

void XMLCALL element_start(void* data, const XML_Char* name, const XML_Char** attributes) {
  auto& state = *static_cast<element_parse*>(data);
  state.label.clear();
  state.attribute.clear();
  state.buffer.clear();
  state.base64 = state.single_byte = false;
  const tag started = tag_of(name);
  if (started == tag::element) {
    for (auto a = attributes; *a; a += 2)
      if (std::strcmp(a[0], "key") == 0) state.element.SetKey(a[1]);
  } else if (started == tag::value) {
    for (auto a = attributes; *a; a += 2) {
      if (std::strcmp(a[0], "label") == 0) {
        state.label = a[1];
      } else if (std::strcmp(a[0], "attribute") == 0) {
        state.attribute = a[1];
      } else if (std::strcmp(a[0], "encoding") == 0) {
        state.base64 = std::strcmp(a[1], "base64") == 0;
        state.single_byte = std::strcmp(a[1], "uft8single") == 0;
      }
    }
  }
}

void XMLCALL element_text(void* data, const XML_Char* text, int length) {
  static_cast<element_parse*>(data)->buffer.append(text, static_cast<std::size_t>(length));
}

void XMLCALL element_end(void* data, const XML_Char* name) {
  auto& state = *static_cast<element_parse*>(data);
  const tag ended = tag_of(name);
  if (ended == tag::log_msg) {
    state.element.SetLogMsg(state.buffer);
  } else if (ended == tag::ttl) {
    state.element.SetTtl(loose_int(trim_blanks(state.buffer)));
  } else if (ended == tag::value) {
    state.element.AddValue(state.label, state.attribute,
                           decode_value(state.buffer, state.base64, state.single_byte));
  } else if (ended == tag::design) {
    state.element.SetDesign(trim_blanks(state.buffer));
  }
}

}  // namespace

TickerElement::TickerElement(const std::string& xml) { ParseXml(xml); }

void TickerElement::ParseXml(const std::string& xml) {
  element_parse state(*this);
  values_.reserve(4);  // the usual few values without regrowing
  auto parser = make_expat_parser();
  if (!parser) {
    key_.clear();
    return;
  }
  XML_SetUserData(parser.get(), &state);
  XML_SetElementHandler(parser.get(), element_start, element_end);
  XML_SetCharacterDataHandler(parser.get(), element_text);
  if (!parse_document(parser.get(), xml)) key_.clear();
}

void TickerElement::SetKey(const std::string& key) { key_ = key; }

void TickerElement::AddValue(std::string label, std::string attribute, std::string text) {
  values_.push_back({std::move(label), std::move(attribute), std::move(text)});
}

void TickerElement::SetValue(const std::string& label, const std::string& attribute, const std::string& text) {
  for (auto& value : values_) {
    if (value.label == label) {
      value.text = text;
      value.attribute = attribute;
      return;
    }
  }
  AddValue(label, attribute, text);
}

std::string TickerElement::ToXml() const {
  std::string xml = "<element key=\"" + key_ + "\">\n";
  xml += "  <design>" + design_ + "</design>\n";
  xml += "  <ttl>" + std::to_string(ttl_) + "</ttl>\n";
  for (const auto& value : values_)
    xml += "  <value label=\"" + value.label + "\" attribute=\"" + value.attribute + "\">" + value.text + "</value>\n";
  xml += "</element>\n";
  return xml;
}

bool TickerElement::ConsumeShowing() {
  if (ttl_ > 0) --ttl_;
  return ttl_ < 1;
}

std::shared_ptr<sharedTickerElement> element_key_index::find(const std::string& key) const {
  if (key.empty()) return nullptr;
  const auto it = elements_.find(key);
  if (it == elements_.end()) return nullptr;
  return it->second->weak_from_this().lock();
}

void element_key_index::insert(const std::string& key, sharedTickerElement& element) {
  if (!key.empty()) elements_[key] = &element;
}

void element_key_index::remove(const std::string& key, const sharedTickerElement& element) {
  const auto it = elements_.find(key);
  if (it != elements_.end() && it->second == &element) elements_.erase(it);
}

sharedTickerElement::sharedTickerElement(std::shared_ptr<element_key_index> index) : index_(std::move(index)) {}

sharedTickerElement::sharedTickerElement(const TickerElement& element, std::shared_ptr<element_key_index> index)
    : TickerElement(element), index_(std::move(index)) {
  if (index_) index_->insert(key(), *this);
}

sharedTickerElement::sharedTickerElement(TickerElement&& element, std::shared_ptr<element_key_index> index)
    : TickerElement(std::move(element)), index_(std::move(index)) {
  if (index_) index_->insert(key(), *this);
}

sharedTickerElement::~sharedTickerElement() {
  if (index_) index_->remove(key(), *this);
}

void sharedTickerElement::SetKey(const std::string& key) {
  if (index_) index_->remove(this->key(), *this);
  TickerElement::SetKey(key);
  if (index_) index_->insert(key, *this);
}

void append_element_summary(std::string& out, const TickerElement& element) {
  if (element.key().empty()) return;
  out.append(element.design()).append(": ");
  for (const auto& value : element.values())
    out.append(value.label).append(".").append(value.attribute).append("=").append(value.text).append(" ");
  out.append(" (").append(element.key()).append(": ").append(element.log_msg()).append(")");
}

std::string element_summary(const TickerElement& element) {
  std::string summary;
  append_element_summary(summary, element);
  return summary;
}

}  // namespace orv
