#include "engine/ticker_group.h"

#include <boost/lexical_cast.hpp>
#include <algorithm>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <string_view>

#include "engine/expat_document.h"
#include "engine/ticker_clock.h"
#include "engine/value_encoding.h"
#include "engine/xml_tags.h"

namespace orv {

namespace {

bool logs(const std::shared_ptr<vorn::logger_base>& log, int level) { return log && log->should_log(level); }

// Whole text as a 32-bit integer, trailing whitespace allowed.
bool strict_int(std::string text, std::int32_t& value) {
  while (!text.empty() && std::strchr(" \t\n\v\f\r", text.back())) text.pop_back();
  std::int32_t parsed;  // a failed conversion may leave a partial result behind
  if (!boost::conversion::try_lexical_convert(text, parsed)) return false;
  value = parsed;
  return true;
}

}  // namespace

struct TickerGroup::parse_state {
  explicit parse_state(TickerGroup& target) : group(target) {}
  TickerGroup& group;
  std::optional<TickerElement> element;  // the element being read, if any
  // Its values, gathered here and handed over at its end in a list of their exact size.
  std::vector<TickerValue> values;
  std::string label;
  std::string attribute;
  std::string buffer;
  bool base64 = false;
  bool single_byte = false;
  // The stored form: every string is base64 and the group's counts and cursor are given.
  bool stored = false;
  std::optional<std::string> cursor_key;  // stored form: where the cursor stands; none: at end
  bool has_main = false;

  std::string text(const char* raw) const { return stored ? decode_base64(raw) : std::string(raw); }
  std::string content() const { return stored ? decode_base64(buffer) : buffer; }
  void start_stored_group(const char** attributes);

  void start(const char* name, const char** attributes);
  void end(const char* name);

  static void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** attributes) {
    static_cast<parse_state*>(data)->start(name, attributes);
  }
  static void XMLCALL on_end(void* data, const XML_Char* name) { static_cast<parse_state*>(data)->end(name); }
  static void XMLCALL on_text(void* data, const XML_Char* text, int length) {
    static_cast<parse_state*>(data)->buffer.append(text, static_cast<std::size_t>(length));
  }
};

void TickerGroup::parse_state::start(const char* name, const char** attributes) {
  buffer.clear();
  base64 = single_byte = false;
  auto& g = group;
  const tag started = tag_of(name);
  if (started == tag::group) {
    if (logs(g.log_, 95)) g.log_->stream(95) << "startElement: Found group\n";
    for (auto a = attributes; *a; a += 2)
      if (std::strcmp(a[0], "form") == 0 && std::strcmp(a[1], "stored") == 0) stored = true;
    if (stored) return start_stored_group(attributes);
    for (auto a = attributes; *a; a += 2) {
      const std::string value = a[1];
      if (std::strcmp(a[0], "name") == 0) {
        g.name_ = value;
      } else if (std::strcmp(a[0], "chunking") == 0) {
        g.chunking_ = loose_int(value);
      } else if (std::strcmp(a[0], "immortal") == 0) {
        g.mortal_ = value == "no";
      } else if (std::strcmp(a[0], "interval") == 0) {
        g.SetInterval(loose_int(value));
      } else if (std::strcmp(a[0], "duration") == 0) {
        g.duration_ = loose_int(value);
      } else if (std::strcmp(a[0], "ttl") == 0) {
        if (!strict_int(value, g.ttl_) && logs(g.log_, 20)) g.log_->stream(20) << "Failed lexical cast of ttl from xml";
      }
    }
  } else if (started == tag::element) {
    element.emplace();
    values.clear();
    label.clear();
    attribute.clear();
    element->SetDesign(g.default_design_);
    element->SetTtl(g.ttl_);
    for (auto a = attributes; *a; a += 2) {
      if (std::strcmp(a[0], "key") == 0) {
        element->SetKey(text(a[1]));
      } else if (std::strcmp(a[0], "role") == 0) {
        if (std::strcmp(a[1], "main") == 0) g.MakeMain(*element);
      } else if (std::strcmp(a[0], "priority_skip") == 0) {
        element->SetPrioritySkip(a[1]);
      } else if (stored && std::strcmp(a[0], "main") == 0) {
        element->SetIsMain(true);
      } else if (stored && std::strcmp(a[0], "skip_armed") == 0) {
        element->SetSkipArmed(true);
      } else if (stored && std::strcmp(a[0], "from_feed") == 0) {
        element->SetFromFeed(true);
      }
    }
  } else if (started == tag::value && element) {
    // Label and attribute carry over to the next value of the same element when absent.
    for (auto a = attributes; *a; a += 2) {
      if (std::strcmp(a[0], "label") == 0) {
        label = text(a[1]);
      } else if (std::strcmp(a[0], "attribute") == 0) {
        attribute = text(a[1]);
      } else if (std::strcmp(a[0], "encoding") == 0) {
        base64 = std::strcmp(a[1], "base64") == 0;
        single_byte = std::strcmp(a[1], "uft8single") == 0;
      }
    }
  }
}

void TickerGroup::parse_state::end(const char* name) {
  auto& g = group;
  const tag ended = tag_of(name);
  if (ended == tag::section) {
    g.section_ = stored ? content() : trim_blanks(buffer);
    if (logs(g.log_, 95)) g.log_->stream(95) << "Found section: " << g.section_;
  } else if (ended == tag::subscribeurl) {
    g.subscribe_urls_.push_back(stored ? content() : trim_blanks(buffer));
  } else if (ended == tag::defaultdesign) {
    g.default_design_ = content();
  } else if (!element) {
    return;
  } else if (ended == tag::element) {
    element->SetValues({std::make_move_iterator(values.begin()), std::make_move_iterator(values.end())});
    g.StoreElement(std::move(*element));
    element.reset();
  } else if (ended == tag::log_msg) {
    element->SetLogMsg(content());
  } else if (ended == tag::ttl) {
    element->SetTtl(loose_int(trim_blanks(buffer)));
  } else if (ended == tag::value) {
    values.push_back({label, attribute, stored ? content() : decode_value(buffer, base64, single_byte)});
  } else if (ended == tag::design) {
    element->SetDesign(stored ? content() : trim_blanks(buffer));
  }
}

// The group's state as StoredXml writes it. Its interval counts from now: times are not kept.
void TickerGroup::parse_state::start_stored_group(const char** attributes) {
  auto& g = group;
  for (auto a = attributes; *a; a += 2) {
    const std::string_view attribute(a[0]);
    const char* value = a[1];
    if (attribute == "name") g.name_ = text(value);
    else if (attribute == "control_name") g.control_name_ = text(value);
    else if (attribute == "cursor") cursor_key = text(value);
    else if (attribute == "chunking") g.chunking_ = loose_int(value);
    else if (attribute == "interval") g.interval_ = loose_int(value);
    else if (attribute == "duration") g.duration_ = loose_int(value);
    else if (attribute == "ttl") g.ttl_ = loose_int(value);
    else if (attribute == "handed_out") g.handed_out_ = loose_int(value);
    else if (attribute == "immortal") g.mortal_ = std::strcmp(value, "no") == 0;
    else if (attribute == "has_main") has_main = true;
    else if (attribute == "marked") g.marked_ = true;
    else if (attribute == "inactive") g.active_ = false;
    else if (attribute == "no_restart") g.restart_ = false;
    else if (attribute == "uninterruptible") g.interruptible_ = false;
    else if (attribute == "supersedes") g.supersedes_ = true;
    else if (attribute == "round_over") g.round_over_ = true;
  }
}

TickerGroup::TickerGroup(std::shared_ptr<QuillmereTickerManager> feed_manager, const std::string& name,
                         std::shared_ptr<vorn::logger_base> log, bool ignore_inactive)
    : feed_manager_(std::move(feed_manager)),
      log_(std::move(log)),
      ignore_inactive_(ignore_inactive),
      last_due_(static_cast<std::int32_t>(ticker_now())),
      round_start_(last_due_),
      name_(name) {
  cursor_ = elements_.begin();
}

TickerGroup::~TickerGroup() { CloseSubscription(); }

void TickerGroup::Listen(XML_Parser parser, parse_state& state) {
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(parser, parse_state::on_start, parse_state::on_end);
  XML_SetCharacterDataHandler(parser, parse_state::on_text);
}

bool TickerGroup::ParseXML(const std::string& xml) {
  parse_state state(*this);
  auto parser = make_expat_parser();
  if (!parser) return false;
  Listen(parser.get(), state);
  return EndParse(parser.get(), state, parse_document(parser.get(), xml), xml);
}

bool TickerGroup::EndParse(XML_Parser parser, const parse_state& state, bool parsed, std::string_view xml) {
  if (!parsed) {
    std::cerr << "Parse error in TickerGroup::ParseXML :" << XML_ErrorString(XML_GetErrorCode(parser)) << std::endl;
    std::cerr << "Line number: " << XML_GetCurrentLineNumber(parser) << std::endl;
    // Any client can send a document of many megabytes; the log gets its start and size.
    constexpr std::size_t echoed = 4096;
    if (xml.size() <= echoed)
      std::cerr << "XML with error: " << std::endl << xml << std::endl;
    else
      std::cerr << "XML with error (the first " << echoed << " of " << xml.size() << " bytes): " << std::endl
                << xml.substr(0, echoed) << std::endl;
    Clear();
    Touch();
    return false;
  }
  if (state.stored) {
    has_main_ = state.has_main;
    cursor_ = state.cursor_key ? elements_.find(*state.cursor_key) : elements_.end();
  } else if (!elements_.empty()) {
    cursor_ = elements_.begin();
    if (!has_main_) MakeMain(*elements_.begin()->second);
  }
  Touch();
  return true;
}

TickerGroup::xml_reader::xml_reader(TickerGroup& group, std::string_view xml)
    : state_(std::make_unique<parse_state>(group)), parser_(make_expat_parser()), xml_(xml) {
  if (parser_) Listen(parser_.get(), *state_);
}

TickerGroup::xml_reader::~xml_reader() = default;

bool TickerGroup::xml_reader::read_some(std::size_t max_bytes) {
  if (!parser_ || done_) return true;
  const std::size_t length = next_slice(parser_.get(), read_, xml_.size() - read_, max_bytes);
  const bool last = read_ + length == xml_.size();
  failed_ = XML_Parse(parser_.get(), xml_.data() + read_, static_cast<int>(length), last) != XML_STATUS_OK;
  read_ += length;
  done_ = failed_ || last;
  return done_;
}

bool TickerGroup::xml_reader::finish() {
  if (!parser_) return false;
  return state_->group.EndParse(parser_.get(), *state_, !failed_, xml_);
}

bool TickerGroup::IsEligible(TickerElement& element) {
  if (subscribed_ && ignore_inactive_) {
    for (const auto& value : element.values())
      if (value.label == "active" && value.text == "0") return false;
    return true;
  }
  if (!element.skip_armed()) return true;
  // A priority skip is spent on the first look.
  element.SetSkipArmed(false);
  Touch();
  return !element.priority_skip();
}

element_map::iterator TickerGroup::SkipToEligible() {
  while (cursor_ != elements_.end() && !IsEligible(*cursor_->second)) ++cursor_;
  if (cursor_ == elements_.end()) return cursor_;
  return cursor_++;
}

bool TickerGroup::RoundExpired() const { return ticker_now() - round_start_ > duration_; }

bool TickerGroup::HasNextElement() {
  if (round_over_ || IsEmpty()) return false;
  if (duration_ >= 0) {
    if (!RoundExpired() && !marked_) return true;
    if (!CursorAtEnd()) return true;  // finish the round first
    if (logs(log_, 95)) log_->stream(95) << "HasNextElement: is expired... returning false\n";
    MarkForDeletion();
    return false;
  }
  if (!Chunked()) return !CursorAtEnd();
  return handed_out_ < chunking_;
}

element_map::iterator TickerGroup::ChooseNext() {
  const auto none = elements_.end();
  if (duration_ < 0) {
    if (!Chunked()) return SkipToEligible();
    if (elements_.empty() || handed_out_ >= chunking_) return none;
    if (CursorAtEnd()) cursor_ = elements_.begin();  // after a flush or a deletion at the end
    const auto chosen = cursor_++;
    if (CursorAtEnd()) {
      cursor_ = elements_.begin();
      while (cursor_ != elements_.end() && !IsEligible(*cursor_->second)) ++cursor_;
    }
    ++handed_out_;
    return chosen;
  }
  if (marked_ && CursorAtEnd()) {
    if (logs(log_, 95)) log_->stream(95) << "was marked for deletion - no more rounds\n";
    return none;
  }
  if (RoundExpired() && CursorAtEnd()) {
    if (logs(log_, 95)) log_->stream(95) << "expired now";
    MarkForDeletion();
    return none;
  }
  auto chosen = SkipToEligible();
  // A timed group repeats its elements until its time is up. When the tail of the round
  // had nothing eligible, the rerun starts at once rather than answering nothing.
  if (!RoundExpired() && CursorAtEnd() && !marked_) {
    if (logs(log_, 95)) log_->stream(95) << "rerunning " << name_;
    cursor_ = elements_.begin();
    if (chosen == none) chosen = SkipToEligible();
  }
  return chosen;
}

bool TickerGroup::NextElement(TickerElement& out) {
  const auto chosen = ChooseNext();
  if (chosen == elements_.end()) return false;
  TickerElement& own = *chosen->second;
  out = own;
  if (out.design().empty()) out.SetDesign(default_design_);
  if (!has_main_ && chosen == elements_.begin() && out.log_msg().empty()) out.SetLogMsg(name_);
  if (!control_name_.empty()) out.AddValue("group_name", "control", control_name_);
  if (logs(log_, 95)) log_->stream(95) << "Element TTL= " << out.ttl();
  // The group has run out once its last element has used up its showings.
  if (own.ttl() >= 0 && own.ConsumeShowing() && chosen == std::prev(elements_.end())) active_ = false;
  Touch();
  return true;
}

bool TickerGroup::StartRound() {
  Touch();
  handed_out_ = 0;
  round_over_ = false;
  round_start_ = static_cast<std::int32_t>(ticker_now());
  if (elements_.empty()) return false;
  if (!Chunked()) {
    cursor_ = elements_.begin();
  } else if (restart_) {
    cursor_ = elements_.begin();
    restart_ = false;
  }
  return true;
}

bool TickerGroup::IsDue() {
  if (elements_.empty()) return false;
  const std::int64_t now = ticker_now();
  const std::int64_t last_due = last_due_;
  if (last_due + interval_ > now) return false;
  if (interval_ < 1) return true;
  // Move to the latest tick not after now, by whole intervals so the ticks keep their
  // phase. Stopping one tick short would leave the group due again at once: shown twice.
  const std::int64_t behind = now - last_due;
  last_due_ = static_cast<std::int32_t>(last_due + behind / interval_ * interval_);
  return true;
}

bool TickerGroup::IsEmpty() {
  if (!active_) return true;
  if (!subscribed_ || elements_.empty()) return elements_.empty();
  for (auto& [key, element] : elements_)
    if (element->from_feed() && IsEligible(*element)) return false;
  return true;
}

void TickerGroup::MarkForDeletion() {
  if (logs(log_, 50)) log_->stream(50) << "  Marking '" << name_ << "' for deletion.\n";
  marked_ = true;
  Touch();
}

void TickerGroup::MakeMain(TickerElement& element) {
  if (logs(log_, 40)) log_->stream(40) << name_ << "/" << element.key() << ": Main Element\n";
  element.SetLogMsg(name_);
  element.SetIsMain(true);
  has_main_ = true;
}

void TickerGroup::Flush() {
  cursor_ = elements_.end();
  // The cursor alone does not end every round: a chunking group counts elements handed out
  // and a timed group reruns until its time is up.
  round_over_ = true;
  Touch();
}

bool TickerGroup::GetElement(const std::string& key, TickerElement& out) {
  const auto it = elements_.find(key);
  if (it == elements_.end()) return false;
  out = *it->second;
  if (out.design().empty()) out.SetDesign(default_design_);
  return true;
}

bool TickerGroup::UpdateElement(const TickerElement& element) {
  const auto it = elements_.find(element.key());
  if (it == elements_.end()) return false;
  TickerElement& own = *it->second;
  const bool main = own.is_main();
  own = element;
  own.SetIsMain(main);
  if (main) own.SetLogMsg(name_);
  Touch();
  return true;
}

bool TickerGroup::DeleteElement(const std::string& key) {
  const auto it = elements_.find(key);
  if (it == elements_.end()) return false;
  if (elements_.size() == 1) {
    cursor_ = elements_.end();
  } else if (cursor_ == it) {
    ++cursor_;
    if (Chunked() && CursorAtEnd()) cursor_ = elements_.begin();
  }
  if (it->second->is_main()) has_main_ = false;
  elements_.erase(it);
  Touch();
  return true;
}

bool TickerGroup::DropSome(std::size_t count) {
  auto last = elements_.begin();
  for (; count > 0 && last != elements_.end(); --count) ++last;
  elements_.erase(elements_.begin(), last);
  cursor_ = elements_.begin();
  return !elements_.empty();
}

void TickerGroup::Clear() {
  elements_.clear();
  cursor_ = elements_.begin();
  Touch();
}

void TickerGroup::StoreElement(TickerElement&& element) {
  // Documents list their elements in key order as a rule: a key after the last one needs
  // no search.
  auto it = elements_.end();
  if (!elements_.empty() && !(std::prev(it)->first < element.key())) it = elements_.lower_bound(element.key());
  if (it != elements_.end() && it->first == element.key()) {
    *it->second = std::move(element);  // keeps its place and its registration under the same key
  } else {
    const bool was_empty = elements_.empty();
    auto index = feed_manager_ ? feed_manager_->key_index() : nullptr;
    std::string key = element.key();
    it = elements_.emplace_hint(it, std::move(key),
                                std::make_shared<sharedTickerElement>(std::move(element), std::move(index)));
    if (was_empty) cursor_ = it;
  }
  if (it->second->design().empty()) it->second->SetDesign(default_design_);
  Touch();
}

void TickerGroup::SetAllTtl(std::int32_t ttl) {
  for (auto& [key, element] : elements_) element->SetTtl(ttl);
  Touch();
}

void TickerGroup::SetAllSkipArmed(bool armed) {
  for (auto& [key, element] : elements_) element->SetSkipArmed(armed);
  Touch();
}

void TickerGroup::ReplaceElements(element_map& incoming) {
  const bool had_cursor = !CursorAtEnd();
  const std::string cursor_key = had_cursor ? cursor_->first : std::string();
  for (auto& [key, element] : elements_)
    if (!element->from_feed()) incoming.emplace(key, element);
  elements_.swap(incoming);
  cursor_ = had_cursor ? elements_.find(cursor_key) : elements_.end();
  Touch();
}

std::u16string TickerGroup::GetContentXml() {
  std::string content;
  for (const auto& [key, element] : elements_) content += "\"" + element->ToXml() + "\" ";
  return utf8_to_utf16(content);
}

void TickerGroup::Subscribe() {
  if (subscribe_urls_.empty() || !feed_manager_) return;
  subscription_ = feed_manager_->AddManagedGroup(shared_from_this(), subscribe_urls_);
  subscribed_ = true;
}

void TickerGroup::CloseSubscription() {
  subscription_.reset();
  subscribed_ = false;
}

void TickerGroup::SetInterval(std::int32_t interval) {
  interval_ = interval;
  last_due_ = static_cast<std::int32_t>(std::int64_t{last_due_} - interval);
  Touch();
}

void TickerGroup::Touch() {
  if (state_marked_ || state_listener_.expired()) return;
  auto listener = state_listener_.lock();
  auto self = weak_from_this().lock();
  if (!listener || !self) return;
  state_marked_ = true;
  listener->group_changed(self);
}

}  // namespace orv
