#include "engine/ticker_control.h"

#include <iterator>
#include <optional>

#include "runtime/debug_output.h"

namespace orv {

namespace {
constexpr std::size_t max_upcoming_sections = 16;
}

TickerControl::TickerControl(const std::string& ticker_name, std::shared_ptr<QuillmereTickerManager> feed_manager,
                             std::shared_ptr<vorn::logger_base> log, bool ignore_inactive)
    : feed_manager_(std::move(feed_manager)),
      ticker_name_(ticker_name),
      ignore_inactive_(ignore_inactive),
      log_(std::move(log)),
      cursor_(groups_.end()),
      independent_cursor_(independent_.end()),
      superseded_(groups_.end()) {
  if (LogAt(50)) log_->stream(50) << "Creating ticker control " << ticker_name_ << std::endl;
}

TickerControl::~TickerControl() {
  if (LogAt(50)) log_->stream(50) << "Destructing ticker control " << ticker_name_ << std::endl;
  DropAllGroups();
}

void TickerControl::DropAllGroups() {
  std::vector<std::shared_ptr<void>> dropped;
  if (release_) dropped.reserve(groups_.size() + independent_.size() + run_once_.size());
  // A feed subscriber holds its group, so the groups would outlive the ticker otherwise.
  auto drop = [&](const group_ptr& group) {
    group->CloseSubscription();
    if (release_) dropped.push_back(group);
  };
  for (const group_ptr& group : groups_) drop(group);
  for (const group_ptr& group : independent_) drop(group);
  for (const group_ptr& group : run_once_) drop(group);
  groups_.clear();
  independent_.clear();
  run_once_.clear();
  if (release_) release_(std::move(dropped));
}

bool TickerControl::HasActiveGroup(const std::string& group_name) {
  if (groups_.find(group_name) != groups_.end()) return true;
  if (independent_.find(group_name) != independent_.end()) return true;
  vorn::debug_output("TickerControl::HasActiveGroup - group not present anywhere\n");
  return false;
}

// Asked on every pass of a request, so it stops at the first group with content, starting
// with the current one, which has content in the common case, and then the one found last
// time: a request that moves past many exhausted groups would otherwise walk the carousel
// once for each group it passes.
bool TickerControl::AllGroupsEmpty() {
  if (cursor_ != groups_.end() && !(*cursor_)->IsEmpty()) return false;
  position& found = groups_.remembered();
  if (found != groups_.end() && found != cursor_ && !(*found)->IsEmpty()) return false;
  for (auto it = groups_.begin(); it != groups_.end(); ++it) {
    if (it == cursor_ || it == found || (*it)->IsEmpty()) continue;
    found = it;
    return false;
  }
  return true;
}

std::size_t TickerControl::MaxAdvancesPerRequest(std::size_t carousel_groups) { return 2 * carousel_groups + 2; }

// Bounded by construction: each pass answers or advances the carousel once, and a request
// makes at most MaxAdvancesPerRequest(n) advances for n carousel groups (no pass adds a
// group). That is enough to start every group's round afresh: the priority queue holds
// distinct names, each used once (at most n jumps); the name override and the resumption of
// a superseded group apply once each; after them n plain steps visit every group. So each
// group is visited at most a few times, and a request answers nothing only when no group
// has an eligible element.
bool TickerControl::GetNextElement(TickerElement& out) {
  NoteTickerChanged();  // a request moves the current groups
  const std::size_t max_advances = MaxAdvancesPerRequest(groups_.size());
  for (std::size_t advances = 0;; ++advances) {
    if (paused_) {
      if (LogAt(95)) log_->stream(95) << "Ticker service is paused...\n";
      return false;
    }

    if (std::optional<bool> taken = RunOnceStep(out)) return *taken;

    const bool has_current = cursor_ != groups_.end() && !AllGroupsEmpty();
    if (has_current) {
      no_current_reported_ = false;
      // A superseding or text group finishes its round before independent groups get a turn.
      TickerGroup& current = **cursor_;
      if ((current.supersedes() || !current.IsInterruptible()) && current.HasNextElement() &&
          current.NextElement(out))
        return true;
    }

    if (std::optional<bool> taken = IndependentStep(out)) return *taken;

    if (!has_current) {
      // Said once when the carousel runs empty, not at the renderer's request rate.
      if (cursor_ == groups_.end() && !no_current_reported_) {
        if (LogAt(40)) log_->stream(40) << "No current group.\n";
        no_current_reported_ = true;
      }
      return false;
    }
    // A group that has nothing eligible left in its round ends it like one that is done.
    TickerGroup& current = **cursor_;
    if (current.HasNextElement() && current.NextElement(out)) return true;
    if (advances == max_advances) return false;
    AdvanceCurrentGroup();
  }
}

std::optional<bool> TickerControl::RunOnceStep(TickerElement& out) {
  if (run_once_.empty()) return std::nullopt;
  group_ptr group = run_once_.front();
  if (group->HasNextElement() && group->NextElement(out)) return true;

  group->StartRound();
  group->CloseSubscription();
  run_once_.pop_front();
  NoteListsChanged();
  const std::string remaining = std::to_string(run_once_.size());
  if (LogAt(40))
    log_->stream(40) << "Running run once priority group: " << group->name() << ", queue size=" << remaining
                     << std::endl;
  if (on_run_once_done_) on_run_once_done_(ticker_name_, remaining);
  // Taken without an element: the caller sees true with its element untouched.
  return true;
}

void TickerControl::FinishIndependent(position at) {
  if (at == independent_cursor_) independent_cursor_ = independent_.end();
  TickerGroup& group = **at;
  if ((group.IsEmpty() && group.IsMortal()) || group.IsMarked()) {
    group.CloseSubscription();
    independent_.erase(at);
  } else {
    group.StartRound();
  }
}

std::optional<bool> TickerControl::IndependentStep(TickerElement& out) {
  if (independent_cursor_ != independent_.end()) {
    TickerGroup& shown = **independent_cursor_;
    if (shown.HasNextElement() && shown.NextElement(out)) return true;
    FinishIndependent(independent_cursor_);
  }
  for (auto it = independent_.begin(); it != independent_.end();) {
    const position candidate = it++;
    if (!(*candidate)->IsDue()) continue;
    if ((*candidate)->NextElement(out)) {
      independent_cursor_ = candidate;
      return true;
    }
    // Due but with nothing to show: its turn is over until the next tick.
    FinishIndependent(candidate);
  }
  return std::nullopt;
}

TickerControl::group_ptr TickerControl::AdvanceCurrentGroup() {
  if (cursor_ == groups_.end()) return nullptr;
  position next = std::next(cursor_);
  const bool wraps = next == groups_.end();
  if (wraps) next = groups_.begin();

  // A group that must go is erased before the next one is chosen, so no override can bring
  // the cursor back to it.
  group_ptr erased;
  TickerGroup& current = **cursor_;
  if ((current.IsEmpty() && current.IsMortal()) || current.IsMarked()) {
    erased = *cursor_;
    if (LogAt(40)) log_->stream(40) << "TickerControl::AdvanceCurrentGroup - erasing " << erased->name() << "\n";
    erased->CloseSubscription();
    if (superseded_ == cursor_) superseded_ = groups_.end();
    groups_.erase(cursor_);
    cursor_ = groups_.end();
    if (groups_.empty()) return erased;
  }

  if (TakePriorityGroup()) return erased;
  if (wraps) {
    if (on_loop_) on_loop_(ticker_name_);
    if (loop_mode_ == "no") pause_ticker();
  }
  if (superseded_ != groups_.end() && (next == superseded_ || !(*next)->supersedes())) {
    // The interrupted group carries on with its round where it stopped.
    cursor_ = superseded_;
    superseded_ = groups_.end();
  } else {
    position named = next_group_name_.empty() ? groups_.end() : groups_.find(next_group_name_);
    cursor_ = named != groups_.end() ? named : next;
    next_group_name_.clear();
    (*cursor_)->StartRound();
  }
  return erased;
}

bool TickerControl::TakePriorityGroup() {
  if (priority_names_.empty()) return false;
  position found = groups_.end();
  std::string group_name;
  while (found == groups_.end() && !priority_names_.empty()) {
    group_name = priority_names_.pop_front();
    found = groups_.find(group_name);
    if (found == groups_.end() && LogAt(40))
      log_->stream(40) << "Deleting group which is marked for deletion from priority:" << group_name
                       << ", queue size=" << priority_names_.size() << std::endl;
  }
  if (found == groups_.end()) {
    if (LogAt(40))
      log_->stream(40) << "No valid groups in priority queue, all scheduled for deletion:"
                       << ", queue size=" << priority_names_.size() << std::endl;
    return false;
  }
  cursor_ = found;
  TickerGroup& group = **found;
  group.SetAllSkipArmed(true);
  group.StartRound();
  if (LogAt(40))
    log_->stream(40) << "Running priority group: " << group.name() << ", queue size=" << priority_names_.size()
                     << std::endl;
  return true;
}

bool TickerControl::DeleteGroupAt(position at) {
  if (at == groups_.end()) {
    if (LogAt(20)) log_->stream(20) << "UnlockedDeleteGroup failed: Group not found" << std::endl;
    return false;
  }
  if (at == superseded_) superseded_ = groups_.end();
  if ((*at)->IsMarked()) {
    AdvanceCurrentGroup();
    if (LogAt(20)) log_->stream(20) << "UnlockedDeleteGroup failed: Group marked for deletion" << std::endl;
    return false;
  }
  group_ptr group = *at;
  if (at == cursor_) {
    // The advance may drop the group itself when it has run out; then it is gone already.
    if (AdvanceCurrentGroup() == group) return true;
    // An override naming this group brought the cursor back: the neighbour takes over, so
    // the cursor is at the end only when no other group is left.
    if (cursor_ == at) {
      position next = std::next(at);
      if (next == groups_.end()) next = groups_.begin();
      cursor_ = next == at ? groups_.end() : next;
      if (cursor_ != groups_.end()) (*cursor_)->StartRound();
    }
  }
  group->CloseSubscription();
  groups_.erase(at);
  return true;
}

void TickerControl::OnStreamEmpty() {
  if (paused_) return;
  if (on_loop_) on_loop_(ticker_name_);
  if (on_empty_) on_empty_(ticker_name_);
}

std::vector<std::string> TickerControl::GetUpcomingSections() {
  std::vector<std::string> sections;
  if (groups_.empty()) return sections;
  position s = next_group_name_.empty() ? groups_.end() : groups_.find(next_group_name_);
  if (s == groups_.end()) s = cursor_;
  if (s == groups_.end()) return sections;

  auto previous = [this](position p) { return std::prev(p == groups_.begin() ? groups_.end() : p); };
  auto next = [this](position p) {
    ++p;
    return p == groups_.end() ? groups_.begin() : p;
  };

  if ((*s)->section().empty()) {
    const position start = s;
    do {
      s = previous(s);
    } while ((*s)->section().empty() && s != cursor_ && s != start);
    if ((*s)->section().empty()) return sections;
  }
  // The list opens with the named group before s, so the renderer keeps the one on screen.
  do {
    s = previous(s);
  } while ((*s)->section().empty());
  // One turn of the carousel gives every name the list can hold; the rest repeats them,
  // so a carousel with few named groups is walked once, not once per name.
  const position first = s;
  do {
    if (!(*s)->section().empty()) sections.push_back((*s)->section());
    s = next(s);
  } while (s != first && sections.size() < max_upcoming_sections);
  for (std::size_t i = 0; sections.size() < max_upcoming_sections; ++i) sections.push_back(sections[i]);
  return sections;
}

bool TickerControl::HasCurrentSection() { return cursor_ != groups_.end() && !(*cursor_)->section().empty(); }

}  // namespace orv
