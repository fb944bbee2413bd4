#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/element_stream.h"
#include "engine/name_queue.h"
#include "engine/named_group_list.h"
#include "engine/quillmere_ticker_manager.h"
#include "engine/ticker_control_interface.h"
#include "engine/ticker_group.h"
#include "engine/ticker_state_listener.h"
#include "runtime/logger_base.h"

namespace orv {

struct text_input;

// The groups of a ticker in its three lists, in order.
struct ticker_lists {
  std::vector<std::shared_ptr<TickerGroup>> carousel;
  std::vector<std::shared_ptr<TickerGroup>> independent;
  std::vector<std::shared_ptr<TickerGroup>> run_once;
};

// What a ticker keeps besides its lists and its groups' own state. Groups are named by
// handle; a null handle means none.
struct ticker_settings {
  std::shared_ptr<TickerGroup> current;
  std::shared_ptr<TickerGroup> independent_current;
  std::shared_ptr<TickerGroup> superseded;
  std::string next_group_name;
  std::deque<std::string> priority_names;
  text_table designs;
  text_table icon_designs;
  text_table icon_commands;
  std::string loop_mode = "yes";
  bool paused = false;
};

// The scheduler of one ticker: keeps its groups and decides, request by request, which
// element the renderer gets next. Not thread-safe; one thread drives the stream and the
// operations alike.
class TickerControl : public element_stream, public ticker_control_interface {
 public:
  using name_callback = std::function<void(const std::string& ticker)>;
  using text_callback = std::function<void(const std::string& first, const std::string& second)>;
  using release_callback = std::function<void(std::vector<std::shared_ptr<void>> dropped)>;

  // feed_manager may be null (no feed subscriptions).
  TickerControl(const std::string& ticker_name, std::shared_ptr<QuillmereTickerManager> feed_manager,
                std::shared_ptr<vorn::logger_base> log, bool ignore_inactive);
  ~TickerControl() override;
  TickerControl(const TickerControl&) = delete;
  TickerControl& operator=(const TickerControl&) = delete;

  // The carousel wrapped to its first group, or the listener ran dry (with the ticker name).
  void set_on_loop(name_callback callback) { on_loop_ = std::move(callback); }
  // The listener ran dry (with the ticker name).
  void set_on_empty(name_callback callback) { on_empty_ = std::move(callback); }
  // Held for the owner; the scheduler itself never fires it.
  void set_on_run(text_callback callback) { on_run_ = std::move(callback); }
  // A run-once group finished (ticker name, remaining queue size as decimal text).
  void set_on_run_once_done(text_callback callback) { on_run_once_done_ = std::move(callback); }
  // Takes the groups of ClearAll and of the ticker's end: thousands of them freed at once
  // would hold the caller for milliseconds. Without it they are freed there and then.
  void set_release(release_callback release) { release_ = std::move(release); }

  // element_stream
  bool GetNextElement(TickerElement& out) override;
  void OnStreamEmpty() override;
  std::vector<std::string> GetUpcomingSections() override;
  bool HasCurrentSection() override;

  // ticker_control_interface
  std::string GetTickerName() override;
  void SetDesigns(const text_table& designs) override;
  void SetIcons(const text_table& icon_designs, const text_table& icon_commands) override;
  void Flush() override;
  bool MarkGroupForDeletion(const std::string& group_name) override;
  void ClearAll() override;
  bool AddGroupAfterGroup(const std::string& follow_name, const std::string& group_xml) override;
  bool AddGroupToRunOncePriorityQueue(const std::string& group_xml) override;
  bool SetNextGroup(const std::string& group_name) override;
  bool AddTTLGroupFromText(const std::string& follow_name, const std::string& group_name, const std::string& text,
                           const std::string& textdesign, const std::string& startdesign,
                           const std::string& enddesign, const std::string& textpart, std::int32_t padding,
                           const std::string& logmsg, const std::string& on_enter, std::int32_t ttl) override;
  bool AddIndependentGroup(const std::string& group_xml) override;
  bool AddGroupAfterCurrent(const std::string& group_xml) override;
  bool GetGroup(const std::string& group_name, std::shared_ptr<TickerGroup>& group) override;
  std::string GetCurrentGroupName() override;
  bool DeleteElement(const std::string& group_name, const std::string& key) override;
  bool AddPriorityGroup(const std::string& group_name) override;
  std::int32_t GetPriorityQueueSize() override;
  bool DeleteGroup(const std::string& group_name) override;
  std::vector<std::string> GetGroupNames() override;
  bool ClearGroup(const std::string& group_name) override;
  bool GetElement(const std::string& group_name, const std::string& key, TickerElement& out) override;
  bool UpdateElement(const std::string& group_name, const std::string& element_xml) override;
  bool PutElement(const std::string& group_name, const std::string& element_xml) override;
  bool AddGroupSuperseedCurrent(const std::string& group_xml) override;
  bool AddGroupBeforeCurrent(const std::string& group_xml) override;
  bool RunOnce(const std::string& text, const std::string& textdesign, const std::string& startdesign,
               const std::string& enddesign, const std::string& textpart, std::int32_t padding,
               const std::string& logmsg, const std::string& on_enter) override;
  bool MoveGroup(const std::string& move_name, const std::string& follow_name) override;
  bool AddGroupFromText(const std::string& follow_name, const std::string& group_name, const std::string& text,
                        const std::string& textdesign, const std::string& startdesign, const std::string& enddesign,
                        const std::string& textpart, std::int32_t padding, const std::string& logmsg,
                        const std::string& on_enter) override;
  bool AddIndGroupFromText(std::int32_t interval, const std::string& group_name, const std::string& text,
                           const std::string& textdesign, const std::string& startdesign,
                           const std::string& enddesign, const std::string& textpart, std::int32_t padding,
                           const std::string& logmsg, const std::string& on_enter) override;
  bool AddFlipGroupFromText(const std::string& follow_name, const std::string& group_name, const std::string& text,
                            const std::string& design, const std::string& textpart, const std::string& logmsg,
                            std::int32_t duration, const std::string& on_enter, const std::string& on_exit) override;
  bool AddIndFlipGroupFromText(std::int32_t interval, const std::string& group_name, const std::string& text,
                               const std::string& design, const std::string& textpart, const std::string& logmsg,
                               std::int32_t duration, const std::string& on_enter,
                               const std::string& on_exit) override;
  void set_loop(std::string mode) override;
  void continue_ticker() override;
  void pause_ticker() override;
  std::string GetGroups() override;
  std::string GetGroupsWithContent() override;
  std::unique_ptr<group_operation> StartGroupOperation(group_placement placement, const std::string& follow_name,
                                                       std::string_view group_xml) override;
  // The groups are those of the call, in their order; each lists its elements as they are
  // when the listing reaches them, a large group over several steps.
  listing_step ListGroupsWithContent() override;

  // True when a non-marked group of that name is in the carousel or among the independent groups.
  bool HasActiveGroup(const std::string& group_name);

  // The most times one GetNextElement moves the carousel on, for a carousel of that size.
  static std::size_t MaxAdvancesPerRequest(std::size_t carousel_groups);
  // State keeping: the listener hears of every change from now on; the state can be read
  // and put back whole. Restore fills a new ticker, placing the groups without starting a
  // round; groups for it come from MakeGroup.
  void SetStateListener(std::shared_ptr<ticker_state_listener> listener);
  ticker_lists GetLists() const;
  // The carousel, the independent groups and the run-once queue as ranges, for a walk that
  // spans loop turns without copying them. An iterator kept across a lists change (which
  // the listener hears of) must not be used again.
  using listed_range = std::pair<std::list<std::shared_ptr<TickerGroup>>::const_iterator,
                                 std::list<std::shared_ptr<TickerGroup>>::const_iterator>;
  std::array<listed_range, 3> ListRanges() const;
  ticker_settings GetSettings() const;
  void Restore(const ticker_lists& lists, const ticker_settings& settings);
  std::shared_ptr<TickerGroup> MakeGroup(const std::string& group_name) { return NewGroup(group_name); }

 private:
  using group_ptr = std::shared_ptr<TickerGroup>;
  using position = named_group_list::position;

  bool LogAt(int level) const { return log_ && log_->should_log(level); }
  void NoteTickerChanged() {
    if (state_listener_) state_listener_->ticker_changed();
  }
  void NoteListsChanged() {
    if (state_listener_) state_listener_->lists_changed();
  }
  bool AllGroupsEmpty();

  // Each gives no value when it has nothing to do, else the request's answer.
  std::optional<bool> RunOnceStep(TickerElement& out);
  std::optional<bool> IndependentStep(TickerElement& out);
  // Ends an independent group's turn: it starts a new round, or goes when it is done for good.
  void FinishIndependent(position at);
  // Returns the group erased on the way, if any.
  group_ptr AdvanceCurrentGroup();
  bool TakePriorityGroup();
  bool DeleteGroupAt(position at);
  // Element XML from a client; false with a log line when it is not well-formed.
  bool ParseElement(const char* operation, const std::string& group_name, const std::string& element_xml,
                    TickerElement& element);
  void LogMissingElement(const char* operation, const std::string& group_name, const std::string& key);

  group_ptr NewGroup(const std::string& group_name);
  class staged_group;
  // The six group XML operations: the first log line, the parse, then the placement.
  void LogGroupOperation(group_placement placement, const std::string& follow_name);
  bool RunGroupOperation(group_placement placement, const std::string& follow_name, const std::string& group_xml);
  bool PlaceParsed(group_placement placement, const std::string& follow_name, const group_ptr& group, bool parsed);
  position InsertIntoCarousel(position before, const group_ptr& group);
  bool PlaceAfterGroup(const std::string& follow_name, const group_ptr& group);
  bool PlaceRunOnce(const group_ptr& group);
  bool PlaceIndependent(const group_ptr& group);
  bool PlaceAfterCurrent(const group_ptr& group);
  bool PlaceSupersedingCurrent(const group_ptr& group);
  bool PlaceBeforeCurrent(const group_ptr& group);
  group_ptr MakeTextGroup(const std::string& group_name, const text_input& input);
  group_ptr MakeFlipGroup(const std::string& group_name, const std::string& text, const std::string& design,
                           const std::string& textpart, const std::string& logmsg, std::int32_t duration,
                           const std::string& on_enter, const std::string& on_exit);
  // Closes every group's subscription and empties the three lists, handing the groups to
  // release_ where there is one.
  void DropAllGroups();

  name_callback on_empty_;
  name_callback on_loop_;
  text_callback on_run_;
  text_callback on_run_once_done_;
  release_callback release_;
  std::shared_ptr<QuillmereTickerManager> feed_manager_;
  std::string ticker_name_;
  bool ignore_inactive_;
  std::string next_group_name_;
  std::shared_ptr<vorn::logger_base> log_;
  named_group_list groups_;
  named_group_list independent_;
  std::list<group_ptr> run_once_;
  name_queue priority_names_;
  position cursor_;
  position independent_cursor_;
  position superseded_;
  text_table designs_;
  text_table icon_designs_;
  text_table icon_commands_;
  std::string loop_mode_ = "yes";
  bool paused_ = false;
  bool no_current_reported_ = false;  // "No current group." said since the carousel last had one
  std::shared_ptr<ticker_state_listener> state_listener_;
};

}  // namespace orv
