#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expat_document.h"
#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_element.h"
#include "engine/ticker_state_listener.h"
#include "runtime/logger_base.h"

namespace orv {

// Elements of a group by key; std::string orders byte-wise (as unsigned bytes).
using element_map = std::map<std::string, std::shared_ptr<TickerElement>>;

// What the feed side needs of a group.
class ticker_group_base {
 public:
  virtual ~ticker_group_base() = default;
  // Takes incoming as the feed elements, keeping own non-feed elements and the cursor's key.
  virtual void ReplaceElements(element_map& incoming) = 0;
  virtual void SetControlName(const std::string& control_name) = 0;
  virtual std::u16string GetContentXml() = 0;
  virtual bool GetElement(const std::string& key, TickerElement& out) = 0;
  // One of its elements was changed where it stands, through the ticker's key index.
  virtual void ElementChangedInPlace() = 0;
};

// A named set of elements handed out one by one in key order, in rounds. Always held by
// shared pointer. Used only from its ticker's thread.
class TickerGroup : public ticker_group_base, public std::enable_shared_from_this<TickerGroup> {
  struct parse_state;

 public:
  // feed_manager may be null: elements are then not registered and Subscribe does nothing.
  TickerGroup(std::shared_ptr<QuillmereTickerManager> feed_manager, const std::string& name,
              std::shared_ptr<vorn::logger_base> log, bool ignore_inactive);
  TickerGroup(const TickerGroup&) = delete;
  TickerGroup& operator=(const TickerGroup&) = delete;
  ~TickerGroup() override;

  // Adds or updates elements from group XML. Malformed XML empties the group and gives false.
  // The stored form (StoredXml) is read back to the same group, counts and cursor included.
  bool ParseXML(const std::string& xml);
  // The same parse in parts, for a document too big to read at once: read_some reads on up
  // to about max_bytes at a time, and finish then reports what ParseXML would. The group and
  // the text must outlive the reader.
  class xml_reader {
   public:
    xml_reader(TickerGroup& group, std::string_view xml);
    ~xml_reader();
    xml_reader(const xml_reader&) = delete;
    xml_reader& operator=(const xml_reader&) = delete;
    // True once the whole text is read or it proved malformed.
    bool read_some(std::size_t max_bytes);
    bool finish();
    std::size_t size() const { return xml_.size(); }

   private:
    std::unique_ptr<parse_state> state_;
    expat_parser parser_;
    std::string_view xml_;
    std::size_t read_ = 0;
    bool failed_ = false;
    bool done_ = false;
  };
  // The whole state of the group as group XML of the stored form: every string in base64,
  // every flag, count and the cursor written out. Times are not kept.
  std::string StoredXml() const;
  // Told of the group's changes from now on: of the first change after each time the
  // listener clears the group's mark, so a busy group costs the listener one call per write.
  void SetStateListener(std::weak_ptr<ticker_state_listener> listener) { state_listener_ = std::move(listener); }
  bool state_marked() const { return state_marked_; }
  void SetStateMarked(bool marked) { state_marked_ = marked; }

  // Rounds. The scheduler asks HasNextElement before NextElement (except for a due
  // independent group); NextElement copies the element out and counts one showing.
  bool HasNextElement();
  bool NextElement(TickerElement& out);
  bool StartRound();
  // Interval tick of an independent group; advances its interval clock when due.
  bool IsDue();
  // Nothing eligible to show. For subscribed groups this runs the eligibility test,
  // which consumes pending priority skips.
  bool IsEmpty();
  void MarkForDeletion();
  void MakeMain(TickerElement& element);
  // Ends the current round, whatever kind it is: the group has nothing more until the
  // next StartRound.
  void Flush();

  // Element access by key.
  bool GetElement(const std::string& key, TickerElement& out) override;
  bool UpdateElement(const TickerElement& element);
  bool DeleteElement(const std::string& key);
  void Clear();
  // Inserts, or replaces the content of the element with the same key in place.
  void StoreElement(const TickerElement& element) { StoreElement(TickerElement(element)); }
  void StoreElement(TickerElement&& element);
  void SetAllTtl(std::int32_t ttl);
  void SetAllSkipArmed(bool armed);
  const element_map& elements() const { return elements_; }

  void ReplaceElements(element_map& incoming) override;
  void SetControlName(const std::string& control_name) override { control_name_ = control_name; Touch(); }
  void ElementChangedInPlace() override { Touch(); }
  // Each element's XML in key order, quoted and followed by a blank, as UTF-16.
  std::u16string GetContentXml() override;

  // Feed hub subscription for the subscribeurl list (no-op when empty). Subscribing again
  // replaces the previous subscription. The group's subscriber refers back to the group,
  // so whoever drops a group must close its subscription.
  void Subscribe();
  void CloseSubscription();

  const std::string& name() const { return name_; }
  const std::string& section() const { return section_; }
  const std::string& default_design() const { return default_design_; }
  const std::string& control_name() const { return control_name_; }
  const std::vector<std::string>& subscribe_urls() const { return subscribe_urls_; }
  std::int32_t chunking() const { return chunking_; }
  std::int32_t duration() const { return duration_; }
  std::int32_t ttl() const { return ttl_; }
  std::int32_t interval() const { return interval_; }
  bool IsActive() const { return active_; }
  bool IsMortal() const { return mortal_; }
  bool IsMarked() const { return marked_; }
  bool IsInterruptible() const { return interruptible_; }
  bool IsSubscribed() const { return subscribed_; }
  bool HasMain() const { return has_main_; }
  bool supersedes() const { return supersedes_; }

  void SetName(const std::string& name) { name_ = name; Touch(); }
  void SetDefaultDesign(const std::string& design) { default_design_ = design; Touch(); }
  void SetSection(const std::string& section) { section_ = section; Touch(); }
  void SetChunking(std::int32_t chunking) { chunking_ = chunking; Touch(); }
  void SetDuration(std::int32_t duration) { duration_ = duration; Touch(); }
  void SetTtl(std::int32_t ttl) { ttl_ = ttl; Touch(); }
  void SetActive(bool active) { active_ = active; Touch(); }
  void SetInterruptible(bool interruptible) { interruptible_ = interruptible; Touch(); }
  void SetMortal(bool mortal) { mortal_ = mortal; Touch(); }
  void SetSupersedes(bool supersedes) { supersedes_ = supersedes; Touch(); }
  // Also moves the interval clock back by one interval, so the group is due at once.
  void SetInterval(std::int32_t interval);

 private:
  // Attaches the parser's handlers to state.
  static void Listen(XML_Parser parser, parse_state& state);
  // The end of a parse either way: the cursor and main element set, or the reports of a
  // malformed document and an empty group.
  bool EndParse(XML_Parser parser, const parse_state& state, bool parsed, std::string_view xml);

  bool IsEligible(TickerElement& element);
  element_map::iterator SkipToEligible();
  element_map::iterator ChooseNext();
  bool RoundExpired() const;
  bool CursorAtEnd() const { return cursor_ == elements_.end(); }
  // A chunking of zero or less means no chunking: a round is all elements.
  bool Chunked() const { return chunking_ > 0; }
  // Tells the state listener, if any, that this group changed.
  void Touch();

  std::shared_ptr<QuillmereTickerManager> feed_manager_;
  bool has_main_ = false;
  quillmere_subscription subscription_;
  std::string control_name_;
  std::shared_ptr<vorn::logger_base> log_;
  bool ignore_inactive_;
  std::int32_t handed_out_ = 0;
  bool restart_ = true;
  bool round_over_ = false;  // flushed: nothing more until the next round starts
  bool marked_ = false;
  std::int32_t interval_ = 1;
  std::int32_t last_due_;
  std::int32_t round_start_;
  bool interruptible_ = true;
  std::string section_;
  std::int32_t ttl_ = -1;
  bool active_ = true;
  bool subscribed_ = false;
  std::vector<std::string> subscribe_urls_;
  bool mortal_ = false;
  std::int32_t chunking_ = 0;
  std::int32_t duration_ = -1;
  element_map::iterator cursor_;
  element_map elements_;
  std::string name_;
  std::string default_design_;
  bool supersedes_ = false;
  std::weak_ptr<ticker_state_listener> state_listener_;
  bool state_marked_ = false;
};

}  // namespace orv
