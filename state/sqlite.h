#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace orv::sqlite {

// A failed SQLite call; the text is SQLite's message.
class error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One open database file, closed on destruction.
class database {
 public:
  explicit database(const std::filesystem::path& file);
  ~database();
  database(const database&) = delete;
  database& operator=(const database&) = delete;

  // Runs statements that return no rows.
  void exec(const std::string& sql);
  std::int64_t user_version();
  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// A prepared statement. Parameters count from 1, columns from 0; blobs are byte strings.
class statement {
 public:
  statement(database& db, std::string_view sql);
  ~statement();
  statement(const statement&) = delete;
  statement& operator=(const statement&) = delete;

  statement& bind(int index, std::int64_t value);
  statement& bind(int index, std::string_view bytes);
  // True while there is a row to read; false when done.
  bool step();
  // Steps a statement that returns no rows, then makes it ready for new parameters.
  void run();
  void reset();
  std::int64_t integer(int column) const;
  std::string bytes(int column) const;

 private:
  void check(int code) const;

  database& db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE; rolled back on destruction unless committed.
class transaction {
 public:
  explicit transaction(database& db);
  ~transaction();
  transaction(const transaction&) = delete;
  transaction& operator=(const transaction&) = delete;
  void commit();

 private:
  database& db_;
  bool done_ = false;
};

}  // namespace orv::sqlite
