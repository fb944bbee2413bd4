// Reading and putting back a ticker's whole state, for keeping it across restarts.
#include <algorithm>

#include "engine/ticker_control.h"

namespace orv {

namespace {

template <typename List>
std::vector<std::shared_ptr<TickerGroup>> listed(const List& list) {
  return {list.begin(), list.end()};
}

template <typename List, typename Position>
std::shared_ptr<TickerGroup> at(const List& list, Position position) {
  return position == list.end() ? nullptr : *position;
}

}  // namespace

void TickerControl::SetStateListener(std::shared_ptr<ticker_state_listener> listener) {
  state_listener_ = std::move(listener);
  groups_.set_on_change([this] { NoteListsChanged(); });
  independent_.set_on_change([this] { NoteListsChanged(); });
  for (const group_ptr& group : groups_) group->SetStateListener(state_listener_);
  for (const group_ptr& group : independent_) group->SetStateListener(state_listener_);
  for (const group_ptr& group : run_once_) group->SetStateListener(state_listener_);
}

ticker_lists TickerControl::GetLists() const { return {listed(groups_), listed(independent_), listed(run_once_)}; }

std::array<TickerControl::listed_range, 3> TickerControl::ListRanges() const {
  return {{{groups_.begin(), groups_.end()}, {independent_.begin(), independent_.end()}, {run_once_.begin(), run_once_.end()}}};
}

ticker_settings TickerControl::GetSettings() const {
  return {at(groups_, cursor_),
          at(independent_, independent_cursor_),
          at(groups_, superseded_),
          next_group_name_,
          priority_names_.names(),
          designs_,
          icon_designs_,
          icon_commands_,
          loop_mode_,
          paused_};
}

void TickerControl::Restore(const ticker_lists& lists, const ticker_settings& settings) {
  for (const group_ptr& group : lists.carousel) {
    const position added = groups_.insert(groups_.end(), group);
    if (group == settings.current) cursor_ = added;
    if (group == settings.superseded) superseded_ = added;
  }
  for (const group_ptr& group : lists.independent) {
    const position added = independent_.insert(independent_.end(), group);
    if (group == settings.independent_current) independent_cursor_ = added;
  }
  run_once_.assign(lists.run_once.begin(), lists.run_once.end());
  for (const group_ptr& group : groups_) group->Subscribe();
  for (const group_ptr& group : independent_) group->Subscribe();
  for (const group_ptr& group : run_once_) group->Subscribe();
  next_group_name_ = settings.next_group_name;
  priority_names_.assign(settings.priority_names);
  designs_ = settings.designs;
  icon_designs_ = settings.icon_designs;
  icon_commands_ = settings.icon_commands;
  loop_mode_ = settings.loop_mode == "no" ? "no" : "yes";
  paused_ = settings.paused;
}

}  // namespace orv
