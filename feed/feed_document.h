#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/ticker_element.h"
#include "engine/ticker_group.h"

namespace orv {

using xml_attributes = std::map<std::string, std::string>;

// One level of the handler stack that reads a feed document. start_element returns the
// handler for the new element: a new one, this one, or null to skip the whole subtree.
class xml_handler : public std::enable_shared_from_this<xml_handler> {
 public:
  virtual ~xml_handler() = default;
  virtual std::shared_ptr<xml_handler> start_element(const std::string& tag, const xml_attributes& attributes) = 0;
  virtual void end_element() {}
  // Inside a change that must not be seen half done; a parse is not paused here.
  virtual bool mid_change() const { return false; }

  std::string text;  // character data of the current element
};

// The elements each GROUP replaced, when the reader lets go of them a part at a time:
// dropping tens of thousands at once would hold the loop. Null drops them at once.
using replaced_elements = std::vector<element_map>;

// The document as a whole: tags other than GROUP and SECURITY are transparent wrappers.
class quillmere_xml_handler : public xml_handler {
 public:
  quillmere_xml_handler(std::shared_ptr<ticker_group_base> target, std::shared_ptr<element_key_index> key_index,
                        std::shared_ptr<replaced_elements> replaced = nullptr);
  std::shared_ptr<xml_handler> start_element(const std::string& tag, const xml_attributes& attributes) override;

 private:
  std::shared_ptr<ticker_group_base> target_;
  std::shared_ptr<element_key_index> key_index_;
  std::shared_ptr<replaced_elements> replaced_;
};

// A GROUP: collects its SECURITY elements and, at its end tag, makes them the target's
// feed elements.
class group_parser : public xml_handler {
 public:
  group_parser(std::shared_ptr<ticker_group_base> target, std::shared_ptr<element_key_index> key_index,
               std::shared_ptr<replaced_elements> replaced);
  std::shared_ptr<xml_handler> start_element(const std::string& tag, const xml_attributes& attributes) override;
  void end_element() override;

  // The element for a SECURITY id, reused through the key index when one exists.
  std::shared_ptr<xml_handler> element_for(std::string id);

 private:
  std::shared_ptr<ticker_group_base> target_;
  std::int32_t counter_ = 0;
  element_map incoming_;
  std::shared_ptr<element_key_index> key_index_;
  std::shared_ptr<replaced_elements> replaced_;
};

// A container inside a GROUP (SECURITIES, which may nest, or any other tag).
class group_child_parser : public xml_handler {
 public:
  explicit group_child_parser(std::shared_ptr<group_parser> group);
  std::shared_ptr<xml_handler> start_element(const std::string& tag, const xml_attributes& attributes) override;

 private:
  std::shared_ptr<group_parser> group_;
};

// The fields of one SECURITY: each leaf child becomes a value labelled with its tag.
class element_parser : public xml_handler {
 public:
  explicit element_parser(std::shared_ptr<sharedTickerElement> element);
  std::shared_ptr<xml_handler> start_element(const std::string& tag, const xml_attributes& attributes) override;
  void end_element() override;
  bool mid_change() const override { return true; }

 private:
  std::shared_ptr<sharedTickerElement> element_;
  std::string current_name_;
};

}  // namespace orv
