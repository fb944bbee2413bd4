#include "state/state_keeper.h"

#include <time.h>

#include <boost/asio/post.hpp>
#include <cstdint>
#include <unordered_map>

#include "engine/ticker_control.h"

namespace orv {

namespace {

using clock_type = std::chrono::steady_clock;

std::chrono::microseconds thread_time() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::nanoseconds(now.tv_nsec));
}

struct placed_group {
  std::shared_ptr<TickerGroup> group;  // held until its row is gone, so its address stays its own
  std::int64_t id = 0;
  group_list list = group_list::carousel;
  std::int64_t previous = 0;
  std::uint64_t seen = 0;
  bool written = false;  // its body is in the database (or in the batch under way)
};

bool same_state(const ticker_row& a, const ticker_row& b) {
  return a.current == b.current && a.independent_current == b.independent_current && a.superseded == b.superseded &&
         a.next_group_name == b.next_group_name && a.priority_names == b.priority_names &&
         a.loop_mode == b.loop_mode && a.paused == b.paused;
}

}  // namespace

// What the keeper knows of one ticker: what changed since the last write, and what the
// database holds of its lists.
class ticker_tracker : public ticker_state_listener, public std::enable_shared_from_this<ticker_tracker> {
 public:
  ticker_tracker(state_keeper* keeper, std::int64_t id, const std::string& name, std::weak_ptr<TickerControl> ticker)
      : keeper(keeper), id(id), name(name), ticker(std::move(ticker)) {}

  // Weak: a group deleted before the write goes when the ticker drops it, as without state.
  void group_changed(const std::shared_ptr<TickerGroup>& group) override {
    if (!listening()) return;
    dirty_groups.push_back(group);
    mark(false);
  }
  void ticker_changed() override {
    if (listening()) mark(false);
  }
  void lists_changed() override {
    if (listening()) mark(true);
  }

  bool listening() const { return keeper && !keeper->restoring(); }
  void mark(bool lists) {
    dirty_ticker = true;
    dirty_lists = dirty_lists || lists;
    if (!queued) keeper->note_dirty(shared_from_this());
  }
  placed_group* place_of(const TickerGroup* group) {
    const auto found = group ? placed.find(group) : placed.end();
    return found == placed.end() ? nullptr : &found->second;
  }
  std::int64_t id_of(const std::shared_ptr<TickerGroup>& group) {
    const placed_group* place = place_of(group.get());
    return place ? place->id : 0;
  }

  state_keeper* keeper;  // null once the ticker is deleted or the keeper gone
  const std::int64_t id;
  const std::string name;
  const std::weak_ptr<TickerControl> ticker;
  bool queued = false;
  bool dirty_ticker = false;
  bool dirty_lists = false;
  std::vector<std::weak_ptr<TickerGroup>> dirty_groups;
  std::unordered_map<const TickerGroup*, placed_group> placed;
  std::uint64_t generation = 0;
  std::optional<ticker_row> written_row;
  std::optional<stored_tables> written_tables;
};

std::shared_ptr<state_keeper> state_keeper::open(const std::filesystem::path& folder, boost::asio::io_context& loop,
                                                 std::shared_ptr<vorn::logger_base> log) {
  std::vector<stored_ticker> contents;
  auto store = state_store::open(folder, *log, contents);
  return std::shared_ptr<state_keeper>(new state_keeper(std::move(store), std::move(contents), loop, std::move(log)));
}

state_keeper::state_keeper(std::unique_ptr<state_store> store, std::vector<stored_ticker> contents,
                           boost::asio::io_context& loop, std::shared_ptr<vorn::logger_base> log)
    : store_(std::move(store)),
      contents_(std::move(contents)),
      loop_(loop),
      log_(std::move(log)),
      timer_(loop),
      writer_work_(writer_io_.get_executor()),
      writer_([this] { writer_io_.run(); }) {
  for (const stored_ticker& ticker : contents_) {
    next_ticker_id_ = std::max(next_ticker_id_, ticker.row.id + 1);
    for (const stored_group& group : ticker.groups)
      next_group_id_ = std::max(next_group_id_, group.placement.group_id + 1);
  }
}

state_keeper::~state_keeper() {
  writer_work_.reset();
  if (writer_.joinable()) writer_.join();
  for (auto& [name, tracker] : trackers_) tracker->keeper = nullptr;
}

std::shared_ptr<ticker_state_listener> state_keeper::ticker_added(const std::string& name,
                                                                  const std::shared_ptr<TickerControl>& ticker) {
  const std::int64_t id = restoring_ ? restoring_id_ : next_ticker_id_++;
  auto tracker = std::make_shared<ticker_tracker>(this, id, name, ticker);
  trackers_[name] = tracker;
  if (!restoring_) tracker->mark(true);
  return tracker;
}

void state_keeper::ticker_deleted(const std::string& name) {
  const auto found = trackers_.find(name);
  if (found == trackers_.end()) return;
  found->second->keeper = nullptr;
  deleted_tickers_.push_back(found->second->id);
  trackers_.erase(found);
  arm_timer();
}

void state_keeper::note_dirty(const std::shared_ptr<ticker_tracker>& tracker) {
  tracker->queued = true;
  dirty_.push_back(tracker);
  arm_timer();
}

void state_keeper::arm_timer() {
  if (timer_armed_ || flushing_ || shut_) return;
  timer_armed_ = true;
  timer_.expires_after(write_delay);
  timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
    auto self = weak.lock();
    if (error || !self || self->shut_) return;
    self->timer_armed_ = false;
    self->flushing_ = true;
    self->start_batch();
    self->continue_flush();
  });
}

void state_keeper::start_batch() {
  batch_ = std::make_shared<state_batch>();
  batch_->deleted_tickers = std::move(deleted_tickers_);
  batch_->deleted_groups = std::move(deleted_groups_);
  deleted_tickers_.clear();
  deleted_groups_.clear();
  taking_ = std::move(dirty_);
  dirty_.clear();
  tickers_taken_ = 0;
  job_.reset();
}

// A ticker's part of the batch. What changed is taken when it starts, so that changes made
// while it spans turns count for the next write.
struct state_keeper::ticker_job {
  enum class stage { walk, sweep, row, groups };
  explicit ticker_job(ticker_tracker& tracker)
      : tracker(tracker), row(tracker.dirty_ticker), groups(std::move(tracker.dirty_groups)) {
    tracker.queued = false;
    tracker.dirty_groups.clear();
    if (!tracker.dirty_lists || tracker.ticker.expired()) at_stage = stage::row;
    tracker.dirty_ticker = tracker.dirty_lists = false;
  }

  ticker_tracker& tracker;
  bool row;
  std::vector<std::weak_ptr<TickerGroup>> groups;  // marked ones, then those newly placed
  std::size_t next_group = 0;
  stage at_stage = stage::walk;
  // The walk: where it stands in the ticker's lists; it starts again when they change.
  std::shared_ptr<TickerControl> ticker;
  std::array<TickerControl::listed_range, 3> ranges;
  std::uint64_t generation = 0;
  int list = 3;  // none yet
  int restarts = 0;
  std::int64_t previous = 0;
  std::unordered_map<const TickerGroup*, placed_group>::iterator swept;
};

constexpr std::size_t slice = 64;  // list entries compared, or old rows looked at, per step

bool state_keeper::build(bool bounded) {
  const auto start = clock_type::now();
  const auto start_cpu = thread_time();
  bool done = true;
  while (tickers_taken_ < taking_.size()) {
    if (!job_) job_ = std::make_unique<ticker_job>(*taking_[tickers_taken_]);
    if (!step(*job_)) {
      job_.reset();
      ++tickers_taken_;
    }
    if (bounded && clock_type::now() - start >= turn_budget) {
      done = tickers_taken_ == taking_.size();
      break;
    }
  }
  worst_turn_ = std::max(worst_turn_, std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start));
  worst_turn_cpu_ = std::max(worst_turn_cpu_, thread_time() - start_cpu);
  return done;
}

bool state_keeper::step(ticker_job& job) {
  if (!job.tracker.keeper) return false;  // deleted meanwhile: its rows go with the ticker
  switch (job.at_stage) {
    case ticker_job::stage::walk:
      if (!walk_step(job)) {
        job.at_stage = job.generation ? ticker_job::stage::sweep : ticker_job::stage::row;
        job.swept = job.tracker.placed.begin();
      }
      return true;
    case ticker_job::stage::sweep:
      if (!sweep_step(job)) job.at_stage = ticker_job::stage::row;
      return true;
    case ticker_job::stage::row:
      ticker_row_of(job);
      job.at_stage = ticker_job::stage::groups;
      return true;
    case ticker_job::stage::groups:
      if (job.next_group == job.groups.size()) return false;
      group_step(job);
      return true;
  }
  return false;
}

// Only groups whose list or predecessor moved get a new row. False when the lists are done.
// A change to the lists between two steps starts the walk again, from fresh ranges; after a
// few such starts the walk finishes in one step, so a busy ticker is still written.
bool state_keeper::walk_step(ticker_job& job) {
  ticker_tracker& tracker = job.tracker;
  if (job.list == 3 || tracker.dirty_lists) {
    if (job.list != 3) ++job.restarts;
    job.ticker = tracker.ticker.lock();
    if (!job.ticker) {
      job.generation = 0;  // nothing seen: nothing to sweep
      return false;
    }
    tracker.dirty_lists = false;
    job.ranges = job.ticker->ListRanges();
    job.generation = ++tracker.generation;
    job.list = 0;
    job.previous = 0;
  }
  const std::size_t count = job.restarts > 2 ? SIZE_MAX : slice;
  for (std::size_t taken = 0; taken < count && job.list < 3;) {
    auto& [at, end] = job.ranges[job.list];
    if (at == end) {
      ++job.list;
      job.previous = 0;
      continue;
    }
    const std::shared_ptr<TickerGroup>& group = *at++;
    ++taken;
    const auto list = static_cast<group_list>(job.list);
    auto [entry, added] = tracker.placed.try_emplace(group.get());
    placed_group& place = entry->second;
    if (added) {
      place = {group, next_group_id_++, list, job.previous, 0, false};
      job.groups.push_back(group);
    }
    if (added || place.list != list || place.previous != job.previous) {
      place.list = list;
      place.previous = job.previous;
      batch_->placements.push_back({place.id, tracker.id, list, job.previous});
    }
    place.seen = job.generation;
    job.previous = place.id;
  }
  if (job.list < 3) return true;
  job.ticker.reset();
  return false;
}

// Groups no longer in any list lose their rows. False when all have been looked at.
bool state_keeper::sweep_step(ticker_job& job) {
  auto& placed = job.tracker.placed;
  for (std::size_t looked = 0; job.swept != placed.end() && looked < slice; ++looked) {
    if (job.swept->second.seen == job.generation) {
      ++job.swept;
      continue;
    }
    batch_->deleted_groups.push_back(job.swept->second.id);
    job.swept = placed.erase(job.swept);
  }
  return job.swept != placed.end();
}

// The ticker's own row when it differs from what the database holds.
void state_keeper::ticker_row_of(ticker_job& job) {
  ticker_tracker& tracker = job.tracker;
  auto ticker = tracker.ticker.lock();
  if (!ticker || !job.row) return;
  const ticker_settings settings = ticker->GetSettings();
  ticker_row row;
  row.id = tracker.id;
  row.name = tracker.name;
  row.current = tracker.id_of(settings.current);
  row.independent_current = tracker.id_of(settings.independent_current);
  row.superseded = tracker.id_of(settings.superseded);
  row.next_group_name = settings.next_group_name;
  row.priority_names = settings.priority_names;
  row.loop_mode = settings.loop_mode;
  row.paused = settings.paused;
  stored_tables tables{settings.designs, settings.icon_designs, settings.icon_commands};
  if (tracker.written_tables != tables) {
    tracker.written_tables = tables;
    row.tables = std::move(tables);
  }
  if (row.tables || !tracker.written_row || !same_state(row, *tracker.written_row)) {
    batch_->tickers.push_back(row);
    row.tables.reset();
    tracker.written_row = std::move(row);
  }
}

// A group is copied when it is marked or newly placed, once per batch; its mark is cleared
// then, so its next change is heard again. A group not (yet) in a list keeps its mark and is
// copied when a walk places it.
void state_keeper::group_step(ticker_job& job) {
  const std::shared_ptr<TickerGroup> group = job.groups[job.next_group].lock();
  job.groups[job.next_group++].reset();  // let go now: a job's end costs nothing per group
  placed_group* place = group ? job.tracker.place_of(group.get()) : nullptr;
  if (!place || (place->written && !group->state_marked())) return;
  group->SetStateMarked(false);
  place->written = true;
  batch_->groups.push_back({place->id, group->StoredXml()});
}

void state_keeper::continue_flush() {
  if (shut_) return;
  if (!build(true)) {
    boost::asio::post(loop_, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->continue_flush();
    });
    return;
  }
  send_batch();
}

void state_keeper::send_batch() {
  std::shared_ptr<const state_batch> batch = std::move(batch_);
  taking_.clear();
  if (batch->empty()) return on_written("");
  group_rows_ += batch->groups.size();
  boost::asio::post(writer_io_, [this, batch, weak = weak_from_this()] {
    std::string failure;
    try {
      store_->write(*batch);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    boost::asio::post(loop_, [weak, failure] {
      if (auto self = weak.lock()) self->on_written(failure);
    });
  });
}

void state_keeper::on_written(const std::string& failure) {
  flushing_ = false;
  if (failure.empty()) {
    ++batches_written_;
  } else if (log_->should_log(20)) {
    log_->stream(20) << "Writing the state to " << store_->file().string() << " failed: " << failure << std::endl;
  }
  if (!dirty_.empty() || !deleted_tickers_.empty() || !deleted_groups_.empty()) arm_timer();
}

void state_keeper::shutdown() {
  if (shut_) return;
  shut_ = true;
  timer_.cancel();
  // The writer finishes what it was given; then this thread is the only user of the file.
  writer_work_.reset();
  if (writer_.joinable()) writer_.join();
  std::vector<std::shared_ptr<state_batch>> last;
  if (batch_) {
    build(false);
    last.push_back(std::move(batch_));
  }
  start_batch();
  build(false);
  last.push_back(std::move(batch_));
  try {
    for (const auto& batch : last)
      if (!batch->empty()) store_->write(*batch);
  } catch (const std::exception& e) {
    if (log_->should_log(20))
      log_->stream(20) << "Writing the state to " << store_->file().string() << " failed: " << e.what() << std::endl;
  }
}

void state_keeper::restore(const ticker_factory& make_ticker) {
  std::size_t groups = 0, elements = 0;
  for (const stored_ticker& stored : contents_) restore_ticker(stored, make_ticker, groups, elements);
  if (log_->should_log(40))
    log_->stream(40) << "Restored " << contents_.size() << " tickers: " << groups << " groups, " << elements
                     << " elements" << std::endl;
  contents_.clear();
  contents_.shrink_to_fit();
}

void state_keeper::restore_ticker(const stored_ticker& stored, const ticker_factory& make_ticker,
                                  std::size_t& total_groups, std::size_t& total_elements) {
  restoring_ = true;
  restoring_id_ = stored.row.id;
  std::shared_ptr<TickerControl> ticker;
  try {
    ticker = make_ticker(stored.row.name);
  } catch (const std::exception& e) {
    if (log_->should_log(20))
      log_->stream(20) << "Restoring ticker '" << stored.row.name << "' failed: " << e.what() << std::endl;
  }
  const auto found = trackers_.find(stored.row.name);
  if (!ticker || found == trackers_.end()) {
    restoring_ = false;
    deleted_tickers_.push_back(stored.row.id);
    return;
  }
  ticker_tracker& tracker = *found->second;

  ticker_lists lists;
  std::unordered_map<std::int64_t, std::shared_ptr<TickerGroup>> by_id;
  std::size_t elements = 0;
  bool relinked = false;
  std::int64_t previous[3] = {0, 0, 0};
  for (const stored_group& group : stored.groups) {
    auto restored = ticker->MakeGroup("");
    const auto parse_start = clock_type::now();
    const bool parsed = restored->ParseXML(group.body);
    restore_parse_time_ += clock_type::now() - parse_start;
    if (!parsed) {
      deleted_groups_.push_back(group.placement.group_id);
      relinked = true;
      continue;
    }
    const auto list = group.placement.list;
    (list == group_list::carousel ? lists.carousel : list == group_list::independent ? lists.independent
                                                                                      : lists.run_once)
        .push_back(restored);
    std::int64_t& before = previous[static_cast<int>(list)];
    relinked = relinked || group.placement.previous != before;
    before = group.placement.group_id;
    by_id[group.placement.group_id] = restored;
    tracker.placed[restored.get()] = {restored, group.placement.group_id, list, group.placement.previous, 0, true};
    elements += restored->elements().size();
  }
  const auto group_of = [&](std::int64_t id) {
    const auto at = by_id.find(id);
    return at == by_id.end() ? nullptr : at->second;
  };
  ticker_settings settings;
  settings.current = group_of(stored.row.current);
  settings.independent_current = group_of(stored.row.independent_current);
  settings.superseded = group_of(stored.row.superseded);
  settings.next_group_name = stored.row.next_group_name;
  settings.priority_names = stored.row.priority_names;
  if (stored.row.tables) {
    settings.designs = (*stored.row.tables)[0];
    settings.icon_designs = (*stored.row.tables)[1];
    settings.icon_commands = (*stored.row.tables)[2];
  }
  settings.loop_mode = stored.row.loop_mode;
  settings.paused = stored.row.paused;
  ticker->Restore(lists, settings);
  for (auto& [address, place] : tracker.placed) place.group->SetStateMarked(false);
  tracker.written_row = stored.row;
  tracker.written_row->tables.reset();
  tracker.written_tables = stored.row.tables;
  restoring_ = false;
  // A broken chain or a group that would not parse: the next write puts the links right.
  if (relinked) tracker.mark(true);

  const std::size_t groups = lists.carousel.size() + lists.independent.size() + lists.run_once.size();
  total_groups += groups;
  total_elements += elements;
  if (log_->should_log(40))
    log_->stream(40) << "Restored ticker '" << stored.row.name << "': " << groups << " groups, " << elements
                     << " elements" << std::endl;
}

}  // namespace orv
