#include "state/sqlite.h"

#include <sqlite3.h>

namespace orv::sqlite {

namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  throw error(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

database::database(const std::filesystem::path& file) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(file.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw error("cannot open " + file.string() + ": " + message);
  }
  sqlite3_extended_result_codes(db_, 1);
}

database::~database() { sqlite3_close(db_); }

void database::exec(const std::string& sql) {
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail(db_, sql);
}

std::int64_t database::user_version() {
  statement version(*this, "PRAGMA user_version");
  return version.step() ? version.integer(0) : 0;
}

statement::statement(database& db, std::string_view sql) : db_(db) {
  if (sqlite3_prepare_v2(db.handle(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK)
    fail(db.handle(), std::string(sql));
}

statement::~statement() { sqlite3_finalize(stmt_); }

void statement::check(int code) const {
  if (code != SQLITE_OK) fail(db_.handle(), sqlite3_sql(stmt_));
}

statement& statement::bind(int index, std::int64_t value) {
  check(sqlite3_bind_int64(stmt_, index, value));
  return *this;
}

statement& statement::bind(int index, std::string_view bytes) {
  // A zero-length blob would bind as NULL with a null pointer.
  check(sqlite3_bind_blob64(stmt_, index, bytes.empty() ? "" : bytes.data(), bytes.size(), SQLITE_TRANSIENT));
  return *this;
}

bool statement::step() {
  const int code = sqlite3_step(stmt_);
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  fail(db_.handle(), sqlite3_sql(stmt_));
}

void statement::run() {
  while (step()) continue;
  reset();
}

void statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::int64_t statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string statement::bytes(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
}

transaction::transaction(database& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }

transaction::~transaction() {
  if (!done_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void transaction::commit() {
  db_.exec("COMMIT");
  done_ = true;
}

}  // namespace orv::sqlite
