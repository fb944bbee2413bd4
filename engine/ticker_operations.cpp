// The control operations of a ticker; the scheduling they rely on is in ticker_control.cpp.
#include <algorithm>
#include <iostream>
#include <iterator>
#include <optional>

#include "engine/text_group_builder.h"
#include "engine/ticker_control.h"

namespace orv {

std::string TickerControl::GetTickerName() { return ticker_name_; }

void TickerControl::SetDesigns(const text_table& designs) {
  designs_ = designs;
  NoteTickerChanged();
}

void TickerControl::SetIcons(const text_table& icon_designs, const text_table& icon_commands) {
  icon_designs_ = icon_designs;
  icon_commands_ = icon_commands;
  NoteTickerChanged();
}

void TickerControl::Flush() {
  if (LogAt(50)) log_->stream(50) << "Flush" << std::endl;
  if (cursor_ != groups_.end()) (*cursor_)->Flush();
  if (listener_) listener_->clear();
}

bool TickerControl::MarkGroupForDeletion(const std::string& group_name) {
  if (LogAt(50)) log_->stream(50) << "MarkGroupForDeletion: " << group_name << std::endl;

  if (position found = groups_.find(group_name); found != groups_.end() && found != cursor_) {
    if (LogAt(50))
      log_->stream(50) << "TickerControl::MarkGroupForDeletion, deleting immediately: " << group_name << "\n";
    return DeleteGroupAt(found);
  }
  if (position found = independent_.find(group_name);
      found != independent_.end() && found != independent_cursor_) {
    (*found)->CloseSubscription();
    independent_.erase(found);
    return true;
  }
  // What is left is on screen now: it finishes its round and goes at the next advance.
  group_ptr group;
  if (!GetGroup(group_name, group)) {
    if (LogAt(20))
      log_->stream(20) << "MarkGroupForDeletion failed: group_name: " << group_name << " is not found" << std::endl;
    return false;
  }
  group->MarkForDeletion();
  if (LogAt(50)) log_->stream(50) << "TickerControl::MarkGroupForDeletion, marking for deletion: " << group_name << "\n";
  return true;
}

void TickerControl::ClearAll() {
  if (LogAt(50)) log_->stream(50) << "ClearAll" << std::endl;
  DropAllGroups();
  cursor_ = groups_.end();
  superseded_ = groups_.end();
  independent_cursor_ = independent_.end();
  if (listener_) listener_->clear();
}

TickerControl::group_ptr TickerControl::NewGroup(const std::string& group_name) {
  auto group = std::make_shared<TickerGroup>(feed_manager_, group_name, log_, ignore_inactive_);
  group->SetStateListener(state_listener_);
  return group;
}

namespace {

const char* parse_failure_line(group_placement placement) {
  const bool indented = placement != group_placement::after_current && placement != group_placement::supersede_current;
  return indented ? "  ParseXML problem.\n" : "ParseXML problem.\n";
}

}  // namespace

void TickerControl::LogGroupOperation(group_placement placement, const std::string& follow_name) {
  if (!LogAt(50)) return;
  switch (placement) {
    case group_placement::after_group: log_->stream(50) << "AddGroupAfterGroup: " << follow_name; break;
    case group_placement::run_once_queue: break;
    case group_placement::independent: log_->stream(50) << "AddIndependentGroup"; break;
    case group_placement::after_current: log_->stream(50) << "AddGroupAfterCurrent"; break;
    case group_placement::supersede_current: log_->stream(50) << "AddGroupSuperseedCurrent:"; break;
    case group_placement::before_current: log_->stream(50) << "AddGroupBeforeCurrent"; break;
  }
}

bool TickerControl::RunGroupOperation(group_placement placement, const std::string& follow_name,
                                      const std::string& group_xml) {
  LogGroupOperation(placement, follow_name);
  // The document names the group; until then it goes by the ticker's name.
  group_ptr group = NewGroup(ticker_name_);
  return PlaceParsed(placement, follow_name, group, group->ParseXML(group_xml));
}

bool TickerControl::PlaceParsed(group_placement placement, const std::string& follow_name, const group_ptr& group,
                                bool parsed) {
  if (!parsed) {
    if (LogAt(20)) log_->stream(20) << parse_failure_line(placement);
    return false;
  }
  switch (placement) {
    case group_placement::after_group: return PlaceAfterGroup(follow_name, group);
    case group_placement::run_once_queue: return PlaceRunOnce(group);
    case group_placement::independent: return PlaceIndependent(group);
    case group_placement::after_current: return PlaceAfterCurrent(group);
    case group_placement::supersede_current: return PlaceSupersedingCurrent(group);
    case group_placement::before_current: return PlaceBeforeCurrent(group);
  }
  return false;
}

// The group is read outside the ticker and told to the state listener only once placed, so
// neither the lists nor the kept state ever hold it half read.
class TickerControl::staged_group final : public group_operation {
 public:
  staged_group(TickerControl& ticker, group_placement placement, const std::string& follow_name,
               std::string_view group_xml)
      : ticker_(ticker),
        placement_(placement),
        follow_name_(follow_name),
        group_(std::make_shared<TickerGroup>(ticker.feed_manager_, ticker.ticker_name_, ticker.log_,
                                             ticker.ignore_inactive_)),
        reader_(*group_, group_xml) {}

  // A malformed document leaves an empty group: what was read of it goes in parts first,
  // not all in the turn that replies.
  bool read_some(std::size_t max_bytes) override {
    return reader_.read_some(max_bytes) && !(reader_.failed() && release_some());
  }
  bool finish() override {
    group_->SetStateListener(ticker_.state_listener_);
    return ticker_.PlaceParsed(placement_, follow_name_, group_, reader_.finish());
  }
  bool release_some() override { return group_->DropSome(elements_per_release); }

 private:
  TickerControl& ticker_;
  group_placement placement_;
  std::string follow_name_;
  group_ptr group_;
  TickerGroup::xml_reader reader_;
  static constexpr std::size_t elements_per_release = 256;
};

std::unique_ptr<group_operation> TickerControl::StartGroupOperation(group_placement placement,
                                                                    const std::string& follow_name,
                                                                    std::string_view group_xml) {
  LogGroupOperation(placement, follow_name);
  return std::make_unique<staged_group>(*this, placement, follow_name, group_xml);
}

TickerControl::position TickerControl::InsertIntoCarousel(position before, const group_ptr& group) {
  position inserted = groups_.insert(before, group);
  group->Subscribe();
  if (groups_.size() == 1) {
    cursor_ = inserted;
    group->StartRound();
  }
  return inserted;
}

bool TickerControl::PlaceAfterGroup(const std::string& follow_name, const group_ptr& group) {
  if (HasActiveGroup(group->name())) {
    std::cerr << "  Already has group named " << group->name() << "\n";
    return false;
  }
  position before = groups_.begin();
  if (!follow_name.empty()) {
    position follow = groups_.find(follow_name);
    if (follow == groups_.end()) {
      if (LogAt(20))
        log_->stream(20) << "AddGroupAfterGroup: Group '" << follow_name << "' to follow " << group->name()
                         << " not in ticker.\n";
      return false;
    }
    before = std::next(follow);
  }
  InsertIntoCarousel(before, group);
  return true;
}

bool TickerControl::PlaceIndependent(const group_ptr& group) {
  if (HasActiveGroup(group->name())) return false;
  independent_.insert(independent_.begin(), group);
  group->Subscribe();
  group->StartRound();
  return true;
}

bool TickerControl::AddGroupAfterGroup(const std::string& follow_name, const std::string& group_xml) {
  return RunGroupOperation(group_placement::after_group, follow_name, group_xml);
}

bool TickerControl::AddGroupToRunOncePriorityQueue(const std::string& group_xml) {
  return RunGroupOperation(group_placement::run_once_queue, {}, group_xml);
}

bool TickerControl::PlaceRunOnce(const group_ptr& group) {
  if (HasActiveGroup(group->name())) {
    std::cerr << "  Already has group named " << group->name() << "\n";
    return false;
  }
  run_once_.push_back(group);
  NoteListsChanged();
  group->Subscribe();
  return true;
}

bool TickerControl::SetNextGroup(const std::string& group_name) {
  if (LogAt(50)) log_->stream(50) << "SetNextGroup: " << group_name << std::endl;
  if (!HasActiveGroup(group_name)) {
    if (LogAt(20))
      log_->stream(20) << "SetNextGroup: No group named '" << group_name << "' among the " << groups_.size()
                       << " is currently active in the ticker.\n";
    return false;
  }
  Flush();
  next_group_name_ = group_name;
  NoteTickerChanged();
  if (LogAt(80)) log_->stream(80) << "SetNextGroup: Overridden next group is now '" << group_name << "'\n";
  if (listener_) listener_->refresh_titles();
  return true;
}

bool TickerControl::AddIndependentGroup(const std::string& group_xml) {
  return RunGroupOperation(group_placement::independent, {}, group_xml);
}

bool TickerControl::AddGroupAfterCurrent(const std::string& group_xml) {
  return RunGroupOperation(group_placement::after_current, {}, group_xml);
}

bool TickerControl::PlaceAfterCurrent(const group_ptr& group) {
  if (HasActiveGroup(group->name())) return false;
  InsertIntoCarousel(cursor_ == groups_.end() ? groups_.begin() : std::next(cursor_), group);
  return true;
}

bool TickerControl::GetGroup(const std::string& group_name, std::shared_ptr<TickerGroup>& group) {
  position found = groups_.find(group_name);
  if (found == groups_.end()) {
    found = independent_.find(group_name);
    if (found == independent_.end()) return false;
  }
  group = *found;
  return true;
}

std::string TickerControl::GetCurrentGroupName() { return cursor_ == groups_.end() ? "" : (*cursor_)->name(); }

bool TickerControl::DeleteElement(const std::string& group_name, const std::string& key) {
  group_ptr group;
  if (!GetGroup(group_name, group)) {
    if (LogAt(20)) log_->stream(20) << "DeleteElement failed: group_name: " << group_name << " is not found" << std::endl;
    return false;
  }
  if (LogAt(50)) log_->stream(50) << "DeleteElement: " << group_name << "," << key;
  if (group->DeleteElement(key)) return true;
  LogMissingElement("DeleteElement", group_name, key);
  return false;
}

void TickerControl::LogMissingElement(const char* operation, const std::string& group_name, const std::string& key) {
  if (LogAt(20))
    log_->stream(20) << operation << " failed: key: " << key << " is not found in group_name: " << group_name
                     << std::endl;
}

bool TickerControl::ParseElement(const char* operation, const std::string& group_name, const std::string& element_xml,
                                 TickerElement& element) {
  element = TickerElement(element_xml);
  // Malformed XML leaves the key empty.
  if (!element.key().empty()) return true;
  if (LogAt(20))
    log_->stream(20) << operation << " failed: element XML is not well-formed, group_name: " << group_name
                     << std::endl;
  return false;
}

bool TickerControl::AddPriorityGroup(const std::string& group_name) {
  if (LogAt(50)) log_->stream(50) << "AddPriorityGroup: " << group_name << std::endl;
  if (!HasActiveGroup(group_name)) {
    if (LogAt(20))
      log_->stream(20) << "AddPriorityGroup: No group named '" << group_name << "' among the " << groups_.size()
                       << " is currently active in the ticker.\n";
    return false;
  }
  if (priority_names_.contains(group_name)) {
    if (LogAt(40))
      log_->stream(40) << "AddPriorityGroup: Group exist in priority queue and is ignored: " << group_name
                       << " queue size = " << priority_names_.size();
    return true;
  }
  priority_names_.push_back(group_name);
  NoteTickerChanged();
  if (LogAt(50))
    log_->stream(50) << "AddPriorityGroup: Added group to priority queue: " << group_name
                     << " queue size = " << priority_names_.size();
  return true;
}

std::int32_t TickerControl::GetPriorityQueueSize() { return static_cast<std::int32_t>(priority_names_.size()); }

bool TickerControl::DeleteGroup(const std::string& group_name) {
  if (LogAt(50)) log_->stream(50) << "DeleteGroup: " << group_name << std::endl;
  if (group_name.empty()) {
    if (LogAt(20)) log_->stream(20) << "DeleteGroup failed, group_name =''  " << std::endl;
    return false;
  }
  priority_names_.erase(group_name);
  NoteTickerChanged();

  // A live group of that name goes first; a marked one is only moved past.
  position in_carousel = groups_.find(group_name);
  if (in_carousel == groups_.end()) in_carousel = groups_.find(group_name, true);
  if (in_carousel != groups_.end()) return DeleteGroupAt(in_carousel);

  position independent = independent_.find(group_name);
  if (independent == independent_.end()) return false;
  if (independent == independent_cursor_) independent_cursor_ = independent_.end();
  (*independent)->CloseSubscription();
  independent_.erase(independent);
  return true;
}

std::vector<std::string> TickerControl::GetGroupNames() {
  std::vector<std::string> names;
  names.reserve(groups_.size() + independent_.size());
  for (const group_ptr& group : groups_) names.push_back(group->name());
  for (const group_ptr& group : independent_) names.push_back(group->name());
  return names;
}

bool TickerControl::ClearGroup(const std::string& group_name) {
  group_ptr group;
  if (!GetGroup(group_name, group)) {
    if (LogAt(20)) log_->stream(20) << "ClearGroup failed: group_name: " << group_name << " is not found" << std::endl;
    return false;
  }
  if (LogAt(50)) log_->stream(50) << "ClearGroup: " << group_name << std::endl;
  group->Clear();
  return true;
}

bool TickerControl::GetElement(const std::string& group_name, const std::string& key, TickerElement& out) {
  group_ptr group;
  if (!GetGroup(group_name, group)) {
    if (LogAt(20)) log_->stream(20) << "GetElement failed: group_name: " << group_name << " is not found" << std::endl;
    return false;
  }
  if (group->GetElement(key, out)) return true;
  LogMissingElement("GetElement", group_name, key);
  return false;
}

bool TickerControl::UpdateElement(const std::string& group_name, const std::string& element_xml) {
  group_ptr group;
  if (!GetGroup(group_name, group)) {
    if (LogAt(20))
      log_->stream(20) << "UpdateElement failed: group_name: " << group_name << " is not found" << std::endl;
    return false;
  }
  if (LogAt(50)) log_->stream(50) << "UpdateElement: " << group_name << std::endl;
  TickerElement element;
  if (!ParseElement("UpdateElement", group_name, element_xml, element)) return false;
  if (group->UpdateElement(element)) return true;
  LogMissingElement("UpdateElement", group_name, element.key());
  return false;
}

bool TickerControl::PutElement(const std::string& group_name, const std::string& element_xml) {
  group_ptr group;
  if (!GetGroup(group_name, group)) {
    if (LogAt(20)) log_->stream(20) << "PutElement failed: group_name: " << group_name << " is not found" << std::endl;
    return false;
  }
  if (LogAt(50)) log_->stream(50) << "PutElement: " << group_name << std::endl;
  TickerElement element;
  if (!ParseElement("PutElement", group_name, element_xml, element)) return false;
  group->StoreElement(element);
  return true;
}

bool TickerControl::AddGroupSuperseedCurrent(const std::string& group_xml) {
  return RunGroupOperation(group_placement::supersede_current, {}, group_xml);
}

bool TickerControl::PlaceSupersedingCurrent(const group_ptr& group) {
  if (HasActiveGroup(group->name())) return false;
  const position current = cursor_;
  position inserted = InsertIntoCarousel(current == groups_.end() ? groups_.begin() : std::next(current), group);
  // Superseding a superseding group just queues behind it; the group to resume stays the same.
  if (current != groups_.end() && !(*current)->supersedes()) {
    superseded_ = current;
    cursor_ = inserted;
    group->StartRound();
  }
  group->SetSupersedes(true);
  return true;
}

bool TickerControl::AddGroupBeforeCurrent(const std::string& group_xml) {
  return RunGroupOperation(group_placement::before_current, {}, group_xml);
}

bool TickerControl::PlaceBeforeCurrent(const group_ptr& group) {
  // Refuses a name already active, like every other placement.
  if (HasActiveGroup(group->name())) return false;
  InsertIntoCarousel(cursor_, group);
  return true;
}

bool TickerControl::MoveGroup(const std::string& move_name, const std::string& follow_name) {
  if (LogAt(50)) log_->stream(50) << "MoveGroup: " << move_name << ", " << follow_name << std::endl;
  position moved = groups_.find(move_name);
  position before = groups_.end();
  if (moved != groups_.end() && !follow_name.empty()) before = groups_.find(follow_name);
  if (moved == groups_.end() || (!follow_name.empty() && before == groups_.end())) {
    if (LogAt(20))
      log_->stream(20) << "MoveGroup failed: group_name: " << (moved == groups_.end() ? move_name : follow_name)
                       << " is not found" << std::endl;
    return false;
  }
  if (!follow_name.empty()) ++before;
  // A move keeps every position valid, so the cursor stays on the moved group.
  groups_.move(before, moved);
  return true;
}

void TickerControl::set_loop(std::string mode) {
  if (mode != "yes" && mode != "no") {
    if (LogAt(50)) log_->stream(50) << "Invalid loop mode: '" << mode << "'\n";
    return;
  }
  if (LogAt(50)) log_->stream(50) << "Setting loop mode to: '" << mode << "'\n";
  loop_mode_ = std::move(mode);
  NoteTickerChanged();
}

void TickerControl::continue_ticker() {
  if (LogAt(50)) log_->stream(50) << "Continue ticker\n";
  paused_ = false;
  NoteTickerChanged();
}

void TickerControl::pause_ticker() {
  if (LogAt(50)) log_->stream(50) << "Pause ticker\n";
  paused_ = true;
  NoteTickerChanged();
}

std::string TickerControl::GetGroups() {
  std::string text;
  for (const group_ptr& group : groups_) text += group->name() + "\n";
  return text;
}

std::string TickerControl::GetGroupsWithContent() {
  std::string text;
  for (auto step = ListGroupsWithContent(); !step(text);) {
  }
  return text;
}

// About 256 element lines a step: a group of a hundred elements takes some 25 us when they
// come from memory. A step may stop inside a group; the next one goes on from the first key
// after the last one listed, so elements changed meanwhile are listed as they are then.
ticker_control_interface::listing_step TickerControl::ListGroupsWithContent() {
  return [groups = std::vector<group_ptr>(groups_.begin(), groups_.end()), next = std::size_t{0},
          after = std::optional<std::string>()](std::string& text) mutable {
    for (std::size_t lines = 0; next < groups.size() && lines < 256;) {
      const TickerGroup& group = *groups[next];
      auto element = group.elements().begin();
      if (after)
        element = group.elements().upper_bound(*after);
      else
        text.append(group.name()).append("\r\n-------------------------------------------\r\n");
      for (; element != group.elements().end() && lines < 256; ++element, ++lines) {
        text += '|';
        append_element_summary(text, *element->second);
        text += "\r\n";
      }
      if (element != group.elements().end()) {
        after = std::prev(element)->first;
        return false;
      }
      text += "\r\n";
      after.reset();
      ++next;
      ++lines;
    }
    return next == groups.size();
  };
}

// Groups built from text.

TickerControl::group_ptr TickerControl::MakeTextGroup(const std::string& group_name, const text_input& input) {
  group_ptr group = NewGroup(group_name);
  group->SetInterruptible(false);
  BuildTextGroup(*group, input, text_tables{designs_, icon_designs_, icon_commands_});
  return group;
}

TickerControl::group_ptr TickerControl::MakeFlipGroup(const std::string& group_name, const std::string& text,
                                                       const std::string& design, const std::string& textpart,
                                                       const std::string& logmsg, std::int32_t duration,
                                                       const std::string& on_enter, const std::string& on_exit) {
  group_ptr group = NewGroup(group_name);
  group->SetInterruptible(false);
  BuildFlipGroup(*group, text, design, textpart, logmsg, duration, on_enter, on_exit);
  return group;
}

bool TickerControl::AddGroupFromText(const std::string& follow_name, const std::string& group_name,
                                     const std::string& text, const std::string& textdesign,
                                     const std::string& startdesign, const std::string& enddesign,
                                     const std::string& textpart, std::int32_t padding, const std::string& logmsg,
                                     const std::string& on_enter) {
  if (LogAt(50)) log_->stream(50) << "AddGroupFromText: " << follow_name << ", " << group_name;
  const text_input input{text, textdesign, startdesign, enddesign, textpart, padding, logmsg, on_enter};
  return PlaceAfterGroup(follow_name, MakeTextGroup(group_name, input));
}

bool TickerControl::AddTTLGroupFromText(const std::string& follow_name, const std::string& group_name,
                                        const std::string& text, const std::string& textdesign,
                                        const std::string& startdesign, const std::string& enddesign,
                                        const std::string& textpart, std::int32_t padding,
                                        const std::string& logmsg, const std::string& on_enter, std::int32_t ttl) {
  if (LogAt(50)) log_->stream(50) << "AddTTLGroupFromText: " << follow_name << " ," << group_name;
  const text_input input{text, textdesign, startdesign, enddesign, textpart, padding, logmsg, on_enter};
  group_ptr group = MakeTextGroup(group_name, input);
  group->SetAllTtl(ttl);
  return PlaceAfterGroup(follow_name, group);
}

bool TickerControl::AddIndGroupFromText(std::int32_t interval, const std::string& group_name,
                                        const std::string& text, const std::string& textdesign,
                                        const std::string& startdesign, const std::string& enddesign,
                                        const std::string& textpart, std::int32_t padding,
                                        const std::string& logmsg, const std::string& on_enter) {
  if (LogAt(50)) log_->stream(50) << "AddIndGroupFromText: " << group_name;
  const text_input input{text, textdesign, startdesign, enddesign, textpart, padding, logmsg, on_enter};
  group_ptr group = MakeTextGroup(group_name, input);
  group->SetInterval(interval);
  return PlaceIndependent(group);
}

bool TickerControl::RunOnce(const std::string& text, const std::string& textdesign, const std::string& startdesign,
                            const std::string& enddesign, const std::string& textpart, std::int32_t padding,
                            const std::string& logmsg, const std::string& on_enter) {
  if (LogAt(50)) log_->stream(50) << "RunOnce: " << textdesign;
  const text_input input{text, textdesign, startdesign, enddesign, textpart, padding, logmsg, on_enter};
  group_ptr group = MakeTextGroup(NextRunOnceName(), input);
  // One showing of each element, then the group runs out and is dropped.
  group->SetAllTtl(1);
  group->SetMortal(true);
  return PlaceIndependent(group);
}

bool TickerControl::AddFlipGroupFromText(const std::string& follow_name, const std::string& group_name,
                                         const std::string& text, const std::string& design,
                                         const std::string& textpart, const std::string& logmsg,
                                         std::int32_t duration, const std::string& on_enter,
                                         const std::string& on_exit) {
  if (LogAt(50)) log_->stream(50) << "AddFlipGroupFromText: " << follow_name << ", " << group_name;
  return PlaceAfterGroup(follow_name,
                         MakeFlipGroup(group_name, text, design, textpart, logmsg, duration, on_enter, on_exit));
}

bool TickerControl::AddIndFlipGroupFromText(std::int32_t interval, const std::string& group_name,
                                            const std::string& text, const std::string& design,
                                            const std::string& textpart, const std::string& logmsg,
                                            std::int32_t duration, const std::string& on_enter,
                                            const std::string& on_exit) {
  if (LogAt(50)) log_->stream(50) << "AddIndFlipGroupFromText: " << group_name;
  group_ptr group = MakeFlipGroup(group_name, text, design, textpart, logmsg, duration, on_enter, on_exit);
  group->SetInterval(interval);
  return PlaceIndependent(group);
}

}  // namespace orv
