#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orv {

struct TickerValue {
  std::string label;
  std::string attribute;
  std::string text;
};

// One item of a carousel: a keyed list of labelled values and the design that shows it.
class TickerElement {
 public:
  TickerElement() = default;
  // Parses element XML. On malformed XML the key is left empty; callers test for that.
  explicit TickerElement(const std::string& xml);
  TickerElement(const TickerElement&) = default;
  TickerElement& operator=(const TickerElement&) = default;
  TickerElement(TickerElement&&) = default;
  TickerElement& operator=(TickerElement&&) = default;
  virtual ~TickerElement() = default;

  virtual void SetKey(const std::string& key);

  // Appends, even when the label is already present.
  void AddValue(std::string label, std::string attribute, std::string text);
  // Replaces text and attribute of the first value with this label, or appends.
  void SetValue(const std::string& label, const std::string& attribute, const std::string& text);
  // Element XML, written without escaping.
  std::string ToXml() const;
  // One showing: a positive ttl counts down; true when no showing is left (ttl < 1).
  bool ConsumeShowing();
  void SetPrioritySkip(const std::string& yes_no) { priority_skip_ = yes_no == "yes"; }

  const std::vector<TickerValue>& values() const { return values_; }
  const std::string& log_msg() const { return log_msg_; }
  std::int32_t ttl() const { return ttl_; }
  const std::string& key() const { return key_; }
  const std::string& design() const { return design_; }
  bool priority_skip() const { return priority_skip_; }
  bool skip_armed() const { return skip_armed_; }
  bool from_feed() const { return from_feed_; }
  bool is_main() const { return is_main_; }

  void SetValues(std::vector<TickerValue> values) { values_ = std::move(values); }
  void SetLogMsg(const std::string& log_msg) { log_msg_ = log_msg; }
  void SetTtl(std::int32_t ttl) { ttl_ = ttl; }
  void SetDesign(const std::string& design) { design_ = design; }
  void SetSkipArmed(bool armed) { skip_armed_ = armed; }
  void SetFromFeed(bool from_feed) { from_feed_ = from_feed; }
  void SetIsMain(bool is_main) { is_main_ = is_main; }

 private:
  void ParseXml(const std::string& xml);

  std::vector<TickerValue> values_;
  std::string log_msg_;
  std::int32_t ttl_ = -1;  // -1: unlimited showings
  std::string key_;
  std::string design_;
  bool priority_skip_ = false;
  bool skip_armed_ = false;
  bool from_feed_ = false;
  bool is_main_ = false;
};

class sharedTickerElement;

// Finds the shared elements of one ticker by key. It never owns them: each element adds
// itself when it takes a key and removes itself when it changes key or dies.
class element_key_index {
 public:
  // Null for an empty or unknown key, or an element not held by a shared pointer.
  std::shared_ptr<sharedTickerElement> find(const std::string& key) const;
  // The newest element registered under a key is the one found.
  void insert(const std::string& key, sharedTickerElement& element);
  // Removes the entry only while it still refers to this element.
  void remove(const std::string& key, const sharedTickerElement& element);
  std::size_t size() const { return elements_.size(); }

 private:
  // A tree, not a hash table: a table grown past its load rehashes every key in one step,
  // milliseconds for a ticker of a hundred thousand elements, in the middle of some turn.
  std::map<std::string, sharedTickerElement*, std::less<>> elements_;
};

// An element shared between a group and the ticker's key index. Assigning to it through a
// TickerElement reference must keep its key, or the index entry goes stale.
class sharedTickerElement : public TickerElement, public std::enable_shared_from_this<sharedTickerElement> {
 public:
  explicit sharedTickerElement(std::shared_ptr<element_key_index> index);
  // Takes every field of element and registers under its key (when not empty).
  sharedTickerElement(const TickerElement& element, std::shared_ptr<element_key_index> index);
  sharedTickerElement(TickerElement&& element, std::shared_ptr<element_key_index> index);
  sharedTickerElement(const sharedTickerElement&) = delete;
  sharedTickerElement& operator=(const sharedTickerElement&) = delete;
  ~sharedTickerElement() override;

  void SetKey(const std::string& key) override;
  const std::shared_ptr<element_key_index>& key_index() const { return index_; }

 private:
  std::shared_ptr<element_key_index> index_;
};

// One-line form for logs and content listings; "" for an element without key.
std::string element_summary(const TickerElement& element);
void append_element_summary(std::string& out, const TickerElement& element);

}  // namespace orv
