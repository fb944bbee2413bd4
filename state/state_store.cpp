#include "state/state_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <unordered_map>

namespace orv {

namespace {

// Schema changes, one step per version: migrations[v] takes a file of version v to v + 1.
const char* const migrations[] = {
    "CREATE TABLE tickers(id INTEGER PRIMARY KEY, name BLOB NOT NULL UNIQUE, current INTEGER NOT NULL,"
    " independent_current INTEGER NOT NULL, superseded INTEGER NOT NULL, next_group BLOB NOT NULL,"
    " priority BLOB NOT NULL, loop_mode TEXT NOT NULL, paused INTEGER NOT NULL, designs BLOB NOT NULL,"
    " icon_designs BLOB NOT NULL, icon_commands BLOB NOT NULL);"
    "CREATE TABLE placements(group_id INTEGER PRIMARY KEY, ticker_id INTEGER NOT NULL, list INTEGER NOT NULL,"
    " previous INTEGER NOT NULL);"
    "CREATE INDEX placements_by_ticker ON placements(ticker_id);"
    "CREATE TABLE groups(id INTEGER PRIMARY KEY, body BLOB NOT NULL);",
};
static_assert(std::size(migrations) == state_store::schema_version);

// Strings packed as a 4-byte little-endian length and the bytes, one after the other.
void pack(std::string& out, const std::string& text) {
  const auto size = static_cast<std::uint32_t>(text.size());
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((size >> shift) & 0xFF);
  out += text;
}

std::vector<std::string> unpack(const std::string& packed) {
  std::vector<std::string> texts;
  for (std::size_t at = 0; at + 4 <= packed.size();) {
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= std::uint32_t{static_cast<unsigned char>(packed[at + i])} << (8 * i);
    at += 4;
    if (size > packed.size() - at) throw sqlite::error("a packed list runs past its end");
    texts.push_back(packed.substr(at, size));
    at += size;
  }
  return texts;
}

template <typename Texts>
std::string pack_all(const Texts& texts) {
  std::string out;
  for (const std::string& text : texts) pack(out, text);
  return out;
}

std::string pack_table(const std::map<std::string, std::string>& table) {
  std::string out;
  for (const auto& [key, value] : table) {
    pack(out, key);
    pack(out, value);
  }
  return out;
}

std::map<std::string, std::string> unpack_table(const std::string& packed) {
  const std::vector<std::string> texts = unpack(packed);
  std::map<std::string, std::string> table;
  for (std::size_t i = 0; i + 1 < texts.size(); i += 2) table[texts[i]] = texts[i + 1];
  return table;
}

// Puts each list in the order its links give. Groups the links do not reach (a broken
// chain) follow in id order, so nothing stored is lost.
void order_by_links(std::vector<stored_group>& groups) {
  std::vector<stored_group> ordered;
  ordered.reserve(groups.size());
  std::vector<bool> taken(groups.size(), false);
  for (const group_list list : {group_list::carousel, group_list::independent, group_list::run_once}) {
    std::unordered_map<std::int64_t, std::size_t> after;  // previous id -> index
    for (std::size_t i = 0; i < groups.size(); ++i)
      if (groups[i].placement.list == list) after.emplace(groups[i].placement.previous, i);
    for (std::int64_t previous = 0;;) {
      const auto next = after.find(previous);
      if (next == after.end() || taken[next->second]) break;
      taken[next->second] = true;
      ordered.push_back(std::move(groups[next->second]));
      previous = ordered.back().placement.group_id;
    }
    for (std::size_t i = 0; i < groups.size(); ++i)  // rows come sorted by id
      if (!taken[i] && groups[i].placement.list == list) {
        taken[i] = true;
        ordered.push_back(std::move(groups[i]));
      }
  }
  groups = std::move(ordered);
}

// A file of another user is not ours to change.
void check_owner(const std::filesystem::path& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) == 0 && status.st_uid != ::geteuid())
    throw sqlite::error("the file belongs to user " + std::to_string(status.st_uid));
}

// Moves the file and its companions to a name no earlier move took (restarts can come
// several to the second); returns the suffix used.
std::string move_aside(const std::filesystem::path& file) {
  const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  const std::string base = ".unusable-" + std::to_string(stamp);
  std::string suffix = base;
  const auto taken = [&] {
    for (const char* part : {"", "-wal", "-shm"})
      if (std::filesystem::exists(file.string() + suffix + part)) return true;
    return false;
  };
  for (int n = 2; taken(); ++n) suffix = base + "-" + std::to_string(n);
  std::error_code ignored;
  for (const char* part : {"", "-wal", "-shm"})
    std::filesystem::rename(file.string() + part, file.string() + suffix + part, ignored);
  return suffix;
}

}  // namespace

state_store::state_store(const std::filesystem::path& file) : file_(file), db_(file) {
  // Pages that hold a group of a hundred elements whole (only a new file takes it); the
  // start-up read goes through a mapping instead of a copy per page.
  db_.exec("PRAGMA page_size=16384");
  db_.exec("PRAGMA mmap_size=1073741824");
  db_.exec("PRAGMA journal_mode=WAL");
  db_.exec("PRAGMA synchronous=NORMAL");
  migrate();
}

std::unique_ptr<state_store> state_store::open(const std::filesystem::path& folder, vorn::logger_base& log,
                                               std::vector<stored_ticker>& contents) {
  const std::filesystem::path file = folder / file_name;
  try {
    check_owner(file);
    std::unique_ptr<state_store> store(new state_store(file));
    contents = store->read_all();
    return store;
  } catch (const std::exception& e) {
    const std::string suffix = move_aside(file);
    if (log.should_log(20))
      log.stream(20) << "State database " << file.string() << " cannot be used (" << e.what() << "); moved aside to "
                     << file.filename().string() << suffix << ", starting empty" << std::endl;
  }
  contents.clear();
  return std::unique_ptr<state_store>(new state_store(file));
}

void state_store::migrate() {
  std::int64_t version = db_.user_version();
  if (version > schema_version)
    throw sqlite::error("schema version " + std::to_string(version) + " is newer than this service's " +
                        std::to_string(schema_version));
  for (; version < schema_version; ++version) {
    sqlite::transaction step(db_);
    db_.exec(migrations[version]);
    db_.exec("PRAGMA user_version = " + std::to_string(version + 1));
    step.commit();
  }
}

std::vector<stored_ticker> state_store::read_all() {
  std::vector<stored_ticker> tickers;
  std::unordered_map<std::int64_t, std::size_t> by_id;
  sqlite::statement read_tickers(db_,
                                 "SELECT id, name, current, independent_current, superseded, next_group, priority,"
                                 " loop_mode, paused, designs, icon_designs, icon_commands FROM tickers ORDER BY id");
  while (read_tickers.step()) {
    ticker_row row;
    row.id = read_tickers.integer(0);
    row.name = read_tickers.bytes(1);
    row.current = read_tickers.integer(2);
    row.independent_current = read_tickers.integer(3);
    row.superseded = read_tickers.integer(4);
    row.next_group_name = read_tickers.bytes(5);
    for (std::string& name : unpack(read_tickers.bytes(6))) row.priority_names.push_back(std::move(name));
    row.loop_mode = read_tickers.bytes(7);
    row.paused = read_tickers.integer(8) != 0;
    row.tables = stored_tables{unpack_table(read_tickers.bytes(9)), unpack_table(read_tickers.bytes(10)),
                               unpack_table(read_tickers.bytes(11))};
    by_id[row.id] = tickers.size();
    tickers.push_back({std::move(row), {}});
  }
  sqlite::statement read_groups(db_,
                                "SELECT p.group_id, p.ticker_id, p.list, p.previous, g.body FROM placements p"
                                " JOIN groups g ON g.id = p.group_id ORDER BY p.group_id");
  while (read_groups.step()) {
    const auto owner = by_id.find(read_groups.integer(1));
    if (owner == by_id.end()) continue;
    const std::int64_t list = read_groups.integer(2);
    if (list < 0 || list > 2) continue;
    tickers[owner->second].groups.push_back(
        {{read_groups.integer(0), owner->first, static_cast<group_list>(list), read_groups.integer(3)},
         read_groups.bytes(4)});
  }
  for (stored_ticker& ticker : tickers) order_by_links(ticker.groups);
  return tickers;
}

void state_store::write(const state_batch& batch) {
  sqlite::transaction writing(db_);
  if (!batch.deleted_tickers.empty()) {
    sqlite::statement groups(db_, "DELETE FROM groups WHERE id IN (SELECT group_id FROM placements WHERE ticker_id = ?1)");
    sqlite::statement placements(db_, "DELETE FROM placements WHERE ticker_id = ?1");
    sqlite::statement ticker(db_, "DELETE FROM tickers WHERE id = ?1");
    for (const std::int64_t id : batch.deleted_tickers) {
      groups.bind(1, id).run();
      placements.bind(1, id).run();
      ticker.bind(1, id).run();
    }
  }
  if (!batch.deleted_groups.empty()) {
    sqlite::statement group(db_, "DELETE FROM groups WHERE id = ?1");
    sqlite::statement placement(db_, "DELETE FROM placements WHERE group_id = ?1");
    for (const std::int64_t id : batch.deleted_groups) {
      group.bind(1, id).run();
      placement.bind(1, id).run();
    }
  }
  if (!batch.tickers.empty()) {
    sqlite::statement upsert(db_,
                             "INSERT INTO tickers(id, name, current, independent_current, superseded, next_group,"
                             " priority, loop_mode, paused, designs, icon_designs, icon_commands)"
                             " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, x'', x'', x'') ON CONFLICT(id) DO UPDATE SET"
                             " current = excluded.current, independent_current = excluded.independent_current,"
                             " superseded = excluded.superseded, next_group = excluded.next_group,"
                             " priority = excluded.priority, loop_mode = excluded.loop_mode, paused = excluded.paused");
    sqlite::statement tables(db_, "UPDATE tickers SET designs = ?2, icon_designs = ?3, icon_commands = ?4 WHERE id = ?1");
    for (const ticker_row& row : batch.tickers) {
      upsert.bind(1, row.id)
          .bind(2, row.name)
          .bind(3, row.current)
          .bind(4, row.independent_current)
          .bind(5, row.superseded)
          .bind(6, row.next_group_name)
          .bind(7, pack_all(row.priority_names))
          .bind(8, row.loop_mode)
          .bind(9, std::int64_t{row.paused})
          .run();
      if (row.tables)
        tables.bind(1, row.id)
            .bind(2, pack_table((*row.tables)[0]))
            .bind(3, pack_table((*row.tables)[1]))
            .bind(4, pack_table((*row.tables)[2]))
            .run();
    }
  }
  if (!batch.placements.empty()) {
    sqlite::statement upsert(db_, "INSERT OR REPLACE INTO placements(group_id, ticker_id, list, previous) VALUES(?1, ?2, ?3, ?4)");
    for (const placement_row& row : batch.placements)
      upsert.bind(1, row.group_id).bind(2, row.ticker_id).bind(3, static_cast<std::int64_t>(row.list)).bind(4, row.previous).run();
  }
  if (!batch.groups.empty()) {
    sqlite::statement upsert(db_, "INSERT OR REPLACE INTO groups(id, body) VALUES(?1, ?2)");
    for (const group_row& row : batch.groups) upsert.bind(1, row.id).bind(2, row.body).run();
  }
  writing.commit();
}

}  // namespace orv
