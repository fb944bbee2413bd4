#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/logger_base.h"
#include "state/sqlite.h"

namespace orv {

using stored_tables = std::array<std::map<std::string, std::string>, 3>;  // designs, icon designs, icon commands

// The lists a group can stand in.
enum class group_list : std::int64_t { carousel = 0, independent = 1, run_once = 2 };

// A ticker's own state; groups by id, 0 for none.
struct ticker_row {
  std::int64_t id = 0;
  std::string name;
  std::int64_t current = 0;
  std::int64_t independent_current = 0;
  std::int64_t superseded = 0;
  std::string next_group_name;
  std::deque<std::string> priority_names;
  std::string loop_mode = "yes";
  bool paused = false;
  std::optional<stored_tables> tables;  // written only when present
};

// Where a group stands: its list and the group before it there (0 at the front).
struct placement_row {
  std::int64_t group_id = 0;
  std::int64_t ticker_id = 0;
  group_list list = group_list::carousel;
  std::int64_t previous = 0;
};

struct group_row {
  std::int64_t id = 0;
  std::string body;  // the group's stored XML
};

// One transaction's worth of changes; built on the loop, then only read.
struct state_batch {
  std::vector<std::int64_t> deleted_tickers;
  std::vector<std::int64_t> deleted_groups;
  std::vector<ticker_row> tickers;
  std::deque<placement_row> placements;  // deques: a large batch grows without moving what it holds
  std::deque<group_row> groups;

  bool empty() const {
    return deleted_tickers.empty() && deleted_groups.empty() && tickers.empty() && placements.empty() &&
           groups.empty();
  }
};

struct stored_group {
  placement_row placement;
  std::string body;
};

struct stored_ticker {
  ticker_row row;
  std::vector<stored_group> groups;  // each list in order, as the links give it
};

// The database file of the service's state, tickers.db in WAL mode. Used by one thread at a time.
class state_store {
 public:
  static constexpr const char* file_name = "tickers.db";
  static constexpr std::int64_t schema_version = 1;

  // Opens the file, creating or upgrading its schema, and reads everything in it. A file that
  // cannot be used (corrupt, another version, another owner) is moved aside with a level-20
  // line and a new one started, so the result is always a usable store.
  static std::unique_ptr<state_store> open(const std::filesystem::path& folder, vorn::logger_base& log,
                                           std::vector<stored_ticker>& contents);

  void write(const state_batch& batch);
  const std::filesystem::path& file() const { return file_; }

 private:
  explicit state_store(const std::filesystem::path& file);
  void migrate();
  std::vector<stored_ticker> read_all();

  std::filesystem::path file_;
  sqlite::database db_;
};

}  // namespace orv
