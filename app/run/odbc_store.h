// The records in a database, through ODBC (unixODBC on Linux, the system's
// odbc32 on Windows): one table, fwdl_runs, one row per run, its columns
// the record's fields with the nested ones joined by "_" (adapter_driver,
// firmware_sha256, ...). The table, its indexes on serial and start, and
// fwdl_schema with the version of this layout are created where missing,
// with DDL that PostgreSQL, SQL Server and SQLite all take.
//
// - Every value goes in through SQLBindParameter, never into the SQL text:
//   the serial number and the instrument's text are anyone's input.
// - start is the record's UTC time, "2026-12-09T07:42:23.036Z": fixed
//   width, so it sorts as time and --since compares as text in any database.
// - instrument_text holds the instrument's bytes each as its Latin-1
//   character, as the record line does, with a NUL written \0 and a
//   backslash \\: PostgreSQL's text cannot hold a NUL. Reading it back
//   undoes that, so the text comes back byte for byte.
// - Every failure is told in one line, "[SQLSTATE] message" from
//   SQLGetDiagRec; the password of the connection string is never in it.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fwdl::console {

using Record = nlohmann::ordered_json;  // one record, as its JSON line has it

// What `fwdl records` asks for; an empty field asks nothing.
struct RecordFilter {
  std::string serial;
  std::string since;     // a UTC time or its beginning: "2026-12-01", "2026-12-01T08"
  std::string outcome;
  std::string firmware;  // the beginning of the SHA-256, lower-case hex
  bool Matches(const Record& record) const;
};

// The connection string with the value of every PWD= and Password= (any
// case) replaced by "***": what is shown of it anywhere.
std::string HidePassword(std::string_view connection);

// The record as the table's row: each column's name and value, in the
// table's order, the instrument's text as the table holds it.
Record RowOf(const Record& record);

// The instrument's text as the database holds it, and back.
std::string EscapeNul(std::string_view text);
std::string UnescapeNul(std::string_view text);

class OdbcStore {
 public:
  OdbcStore();
  ~OdbcStore();
  OdbcStore(const OdbcStore&) = delete;
  OdbcStore& operator=(const OdbcStore&) = delete;

  // Connects (giving up after `timeout_s` seconds, and then after as long
  // for each statement) and creates the tables where missing. Nothing on
  // success, otherwise the failure in one line.
  std::optional<std::string> Open(const std::string& connection, int timeout_s = 5);
  // The SQLSTATE of the last failure: "08001" the server out of reach,
  // "28000"/"28P01" a wrong user or password, "IM002"... the driver manager.
  const std::string& state() const { return state_; }
  // True when the last failure comes from how the target is written (no
  // such driver or DSN, a wrong password), not from a server out of reach.
  bool ConfigurationFault() const;

  // Adds the run's row unless one with its run_id is there already (then
  // `added` is false): a resent record is taken once.
  std::optional<std::string> Add(const Record& record, bool* added = nullptr);
  // The rows that `filter` asks for, oldest first, each as its record.
  std::optional<std::string> Find(const RecordFilter& filter, std::vector<Record>& rows);

 private:
  struct Handles;
  std::optional<std::string> Fail(short type, void* handle, const char* what);
  std::optional<std::string> CreateTables();
  std::unique_ptr<Handles> h_;
  std::string password_;  // kept out of every message
  std::string state_, said_;  // the last failure's SQLSTATE and message
  int timeout_s_ = 5;
};

}  // namespace fwdl::console
