#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "engine/ticker_state_listener.h"
#include "runtime/logger_base.h"
#include "state/state_store.h"

namespace orv {

class TickerControl;
class TickerGroup;
class ticker_tracker;

// Keeps every ticker's state in the state folder's database. Changes are noted as they
// happen (a flag and a list push); at most every write_delay, and only while something
// changed, the changed groups are copied to their stored form on the loop, in slices of at
// most turn_budget, and written in one transaction by a thread of its own. Lives on the
// loop's thread, like the tickers.
class state_keeper : public ticker_state_keeper, public std::enable_shared_from_this<state_keeper> {
 public:
  static constexpr auto write_delay = std::chrono::milliseconds(200);
  static constexpr auto turn_budget = std::chrono::microseconds(300);

  using ticker_factory = std::function<std::shared_ptr<TickerControl>(const std::string& name)>;

  // Opens (or starts) folder/tickers.db. Throws sqlite::error only when no database can be
  // made in the folder at all.
  static std::shared_ptr<state_keeper> open(const std::filesystem::path& folder, boost::asio::io_context& loop,
                                            std::shared_ptr<vorn::logger_base> log);
  ~state_keeper() override;

  // Creates every stored ticker through make_ticker (which must register it with this keeper)
  // and puts its groups back. Call once, before any client is served.
  void restore(const ticker_factory& make_ticker);
  // Writes what is still unwritten and stops the writer. The loop is no longer needed.
  void shutdown();

  std::shared_ptr<ticker_state_listener> ticker_added(const std::string& name,
                                                      const std::shared_ptr<TickerControl>& ticker) override;
  void ticker_deleted(const std::string& name) override;

  // Figures: the longest loop turn spent preparing a write (wall time, and the loop thread's
  // processor time, which leaves out time the system gave to other processes), the
  // transactions written and the group rows handed to the writer.
  std::chrono::microseconds worst_turn() const { return worst_turn_; }
  std::chrono::microseconds worst_turn_cpu() const { return worst_turn_cpu_; }
  std::size_t batches_written() const { return batches_written_; }
  std::size_t group_rows() const { return group_rows_; }
  void reset_worst_turn() { worst_turn_ = worst_turn_cpu_ = {}; }
  // Of the restore: the time spent reading the stored form back into groups.
  std::chrono::duration<double> restore_parse_time() const { return restore_parse_time_; }

 private:
  friend class ticker_tracker;
  struct ticker_job;

  state_keeper(std::unique_ptr<state_store> store, std::vector<stored_ticker> contents,
               boost::asio::io_context& loop, std::shared_ptr<vorn::logger_base> log);
  bool restoring() const { return restoring_; }
  void note_dirty(const std::shared_ptr<ticker_tracker>& tracker);
  void arm_timer();
  void start_batch();
  // Adds to the batch under way; with a budget it stops when the turn's time is spent and
  // returns false.
  bool build(bool bounded);
  // One step of a ticker's part of the batch: a slice of its lists, of its old rows, its own
  // row or one group. False once the ticker is done.
  bool step(ticker_job& job);
  bool walk_step(ticker_job& job);
  bool sweep_step(ticker_job& job);
  void ticker_row_of(ticker_job& job);
  void group_step(ticker_job& job);
  void continue_flush();
  void send_batch();
  void on_written(const std::string& failure);
  void restore_ticker(const stored_ticker& stored, const ticker_factory& make_ticker, std::size_t& groups,
                      std::size_t& elements);

  std::unique_ptr<state_store> store_;
  std::vector<stored_ticker> contents_;  // what the file held, until restored
  boost::asio::io_context& loop_;
  std::shared_ptr<vorn::logger_base> log_;
  boost::asio::steady_timer timer_;
  boost::asio::io_context writer_io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> writer_work_;
  std::thread writer_;

  std::map<std::string, std::shared_ptr<ticker_tracker>> trackers_;
  std::vector<std::shared_ptr<ticker_tracker>> dirty_;
  std::vector<std::int64_t> deleted_tickers_;
  std::vector<std::int64_t> deleted_groups_;
  std::int64_t next_ticker_id_ = 1;
  std::int64_t next_group_id_ = 1;
  std::int64_t restoring_id_ = 0;
  bool restoring_ = false;
  bool timer_armed_ = false;
  bool flushing_ = false;  // from the timer until the writer is done
  bool shut_ = false;

  // The batch under way and how far it got.
  std::shared_ptr<state_batch> batch_;
  std::vector<std::shared_ptr<ticker_tracker>> taking_;
  std::size_t tickers_taken_ = 0;
  std::unique_ptr<ticker_job> job_;  // the ticker being taken

  std::chrono::microseconds worst_turn_{0};
  std::chrono::microseconds worst_turn_cpu_{0};
  std::size_t batches_written_ = 0;
  std::size_t group_rows_ = 0;
  std::chrono::duration<double> restore_parse_time_{0};
};

}  // namespace orv
