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
  // A feed subscriber holds its group, so the groups would outlive the ticker otherwise.
  for (const group_ptr& group : groups_) group->CloseSubscription();
  for (const group_ptr& group : independent_) group->CloseSubscription();
  for (const group_ptr& group : run_once_) group->CloseSubscription();
}

bool TickerControl::HasActiveGroup(const std::string& group_name) {
  if (groups_.find(group_name) != groups_.end()) return true;
  if (independent_.find(group_name) != independent_.end()) return true;
  vorn::debug_output("TickerControl::HasActiveGroup - group not present anywhere\n");
  return false;
}

// Asked on every request, so it stops at the first group with content, starting with the
// current one, which is the one that has content in the common case.
bool TickerControl::AllGroupsEmpty() {
  if (cursor_ != groups_.end() && !(*cursor_)->IsEmpty()) return false;
  for (auto it = groups_.begin(); it != groups_.end(); ++it)
    if (it != cursor_ && !(*it)->IsEmpty()) return false;
  return true;
}

bool TickerControl::GetNextElement(TickerElement& out) {
  // "No current group." is said once per request, also when an advance has just emptied
  // the carousel and the request is looked at again.
  bool said_no_current = false;
  NoteTickerChanged();  // a request moves the current groups
  for (;;) {
    if (paused_) {
      if (LogAt(95)) log_->stream(95) << "Ticker service is paused...\n";
      return false;
    }

    if (std::optional<bool> taken = RunOnceStep(out)) return *taken;

    const bool has_current = cursor_ != groups_.end() && !AllGroupsEmpty();
    if (has_current) {
      // A superseding or text group finishes its round before independent groups get a turn.
      TickerGroup& current = **cursor_;
      if ((current.supersedes() || !current.IsInterruptible()) && current.HasNextElement())
        return current.NextElement(out);
    }

    if (std::optional<bool> taken = IndependentStep(out)) return *taken;

    if (!has_current) {
      if (cursor_ == groups_.end() && !said_no_current && LogAt(40)) log_->stream(40) << "No current group.\n";
      return false;
    }
    if ((*cursor_)->HasNextElement()) return (*cursor_)->NextElement(out);
    AdvanceCurrentGroup();
    if (cursor_ == groups_.end()) {
      if (LogAt(40)) log_->stream(40) << "No current group.\n";
      said_no_current = true;
    }
  }
}

std::optional<bool> TickerControl::RunOnceStep(TickerElement& out) {
  if (run_once_.empty()) return std::nullopt;
  group_ptr group = run_once_.front();
  if (group->HasNextElement()) return group->NextElement(out);

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

std::optional<bool> TickerControl::IndependentStep(TickerElement& out) {
  if (independent_cursor_ != independent_.end()) {
    TickerGroup& shown = **independent_cursor_;
    if (shown.HasNextElement()) return shown.NextElement(out);
    if ((shown.IsEmpty() && shown.IsMortal()) || shown.IsMarked()) {
      shown.CloseSubscription();
      independent_.erase(independent_cursor_);
    } else {
      shown.StartRound();
    }
    independent_cursor_ = independent_.end();
  }
  for (auto it = independent_.begin(); it != independent_.end(); ++it) {
    if (!(*it)->IsDue()) continue;
    independent_cursor_ = it;
    return (*it)->NextElement(out);
  }
  return std::nullopt;
}

TickerControl::group_ptr TickerControl::AdvanceCurrentGroup() {
  for (;;) {
    position to_delete = groups_.end();
    if (cursor_ != groups_.end()) {
      TickerGroup& current = **cursor_;
      if ((current.IsEmpty() && current.IsMortal()) || current.IsMarked()) {
        to_delete = cursor_;
        if (groups_.size() == 1) cursor_ = groups_.end();
      }
    }

    if (cursor_ != groups_.end() && !TakePriorityGroup()) {
      position next = std::next(cursor_);
      if (next == groups_.end()) {
        next = groups_.begin();
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
    }

    if (to_delete == groups_.end()) return nullptr;
    if (to_delete == cursor_) {
      // An override brought the cursor straight back; move on once more to get past it.
      if (LogAt(95))
        log_->stream(95) << "TickerControl::delete_group_if_flagged - "
                         << " current group is flagged. Moving cursor.\n";
      continue;
    }
    group_ptr erased = *to_delete;
    if (LogAt(40)) log_->stream(40) << "TickerControl::AdvanceCurrentGroup - erasing " << erased->name() << "\n";
    erased->CloseSubscription();
    if (superseded_ == to_delete) superseded_ = groups_.end();
    groups_.erase(to_delete);
    return erased;
  }
}

bool TickerControl::TakePriorityGroup() {
  if (priority_names_.empty()) return false;
  position found = groups_.end();
  std::string group_name;
  while (found == groups_.end() && !priority_names_.empty()) {
    group_name = priority_names_.front();
    priority_names_.pop_front();
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
    if (cursor_ == at) cursor_ = groups_.end();
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
  while (sections.size() < max_upcoming_sections) {
    if (!(*s)->section().empty()) sections.push_back((*s)->section());
    s = next(s);
  }
  return sections;
}

bool TickerControl::HasCurrentSection() { return cursor_ != groups_.end() && !(*cursor_)->section().empty(); }

}  // namespace orv
