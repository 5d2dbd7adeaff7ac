// The record table over ODBC; see odbc_store.h.
#ifdef _WIN32
#include <windows.h>  // sql.h needs its types
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

#include "app/run/odbc_store.h"

namespace fwdl::console {
namespace {

constexpr int kSchemaVersion = 1;

enum class Kind { kText, kInteger, kReal };

// The columns in the record's order: where each sits in the record (a
// field, or a field of an object) and its type in every database.
struct Column {
  const char* name;
  const char* object;  // nullptr: a field of the record itself
  const char* field;
  Kind kind;
  const char* type;
};

// Texts are NATIONAL CHARACTER VARYING: Unicode in SQL Server (nvarchar),
// plain varchar in PostgreSQL, TEXT to SQLite.
#define FWDL_TEXT(n) "NATIONAL CHARACTER VARYING(" #n ")"
constexpr Column kColumns[] = {
    {"run_id", nullptr, "run_id", Kind::kText, "VARCHAR(36) NOT NULL PRIMARY KEY"},
    {"start", nullptr, "start", Kind::kText, "VARCHAR(24) NOT NULL"},
    {"duration_s", nullptr, "duration_s", Kind::kReal, "DOUBLE PRECISION"},
    {"host", nullptr, "host", Kind::kText, FWDL_TEXT(255)},
    {"fwdl_version", nullptr, "fwdl_version", Kind::kText, FWDL_TEXT(32)},
    {"procedure", nullptr, "procedure", Kind::kText, FWDL_TEXT(8)},
    {"port", nullptr, "port", Kind::kText, FWDL_TEXT(255)},
    {"device", nullptr, "device", Kind::kText, FWDL_TEXT(255)},
    {"adapter_driver", "adapter", "driver", Kind::kText, FWDL_TEXT(64)},
    {"adapter_usb", "adapter", "usb", Kind::kText, FWDL_TEXT(9)},
    {"adapter_serial_number", "adapter", "serial_number", Kind::kText, FWDL_TEXT(255)},
    {"flow_control", nullptr, "flow_control", Kind::kText, FWDL_TEXT(8)},
    {"firmware_path", "firmware", "path", Kind::kText, FWDL_TEXT(1000)},
    {"firmware_size", "firmware", "size", Kind::kInteger, "BIGINT"},
    {"firmware_sha256", "firmware", "sha256", Kind::kText, "VARCHAR(64)"},
    {"firmware_signed_by", "firmware", "signed_by", Kind::kText, "VARCHAR(16)"},
    {"bytes_written", nullptr, "bytes_written", Kind::kInteger, "BIGINT"},
    {"outcome", nullptr, "outcome", Kind::kText, FWDL_TEXT(32)},
    {"exit_code", nullptr, "exit_code", Kind::kInteger, "INTEGER"},
    // 256 bytes of the instrument, each at most two characters escaped.
    {"instrument_text", nullptr, "instrument_text", Kind::kText, FWDL_TEXT(1024)},
    {"serial", nullptr, "serial", Kind::kText, FWDL_TEXT(64)},
};
#undef FWDL_TEXT

// Names in double quotes: "procedure" is a reserved word in SQL Server.
std::string ColumnList() {
  std::string list;
  for (const Column& c : kColumns) list += std::string(list.empty() ? "" : ", ") + '"' + c.name + '"';
  return list;
}

const Record* Field(const Record& record, const Column& c) {
  const Record* at = &record;
  if (c.object) {
    const auto object = record.find(c.object);
    if (object == record.end() || !object->is_object()) return nullptr;
    at = &*object;
  }
  const auto value = at->find(c.field);
  return value == at->end() || value->is_null() ? nullptr : &*value;
}

void SetField(Record& record, const Column& c, Record value) {
  if (c.object) {
    record[c.object][c.field] = std::move(value);
  } else {
    record[c.field] = std::move(value);
  }
}

// UTF-8 to UTF-16 and back: texts go through the driver as SQL_C_WCHAR,
// so that no code page of the client or the driver can change them.
std::basic_string<SQLWCHAR> Utf16(const std::string& text) {
  std::basic_string<SQLWCHAR> wide;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    std::uint32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < text.size(); ++k) {
      cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      wide += static_cast<SQLWCHAR>(0xD800 | cp >> 10);
      wide += static_cast<SQLWCHAR>(0xDC00 | (cp & 0x3FF));
    } else {
      wide += static_cast<SQLWCHAR>(cp);
    }
  }
  return wide;
}

std::string Utf8(const SQLWCHAR* wide, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    std::uint32_t cp = wide[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < length) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[++i] - 0xDC00);
    }
    if (cp < 0x80) {
      text += static_cast<char>(cp);
    } else if (cp < 0x800) {
      text += static_cast<char>(0xC0 | cp >> 6);
      text += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      text += static_cast<char>(0xE0 | cp >> 12);
      text += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | cp >> 18);
      text += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      text += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return text;
}

bool Ok(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

// The values of one statement's parameters, kept alive until it has run.
struct Parameter {
  std::basic_string<SQLWCHAR> text;
  SQLBIGINT integer = 0;
  double real = 0;
  SQLLEN length = 0;
};

}  // namespace

bool RecordFilter::Matches(const Record& r) const {
  auto text = [&](const char* object, const char* field) -> std::string {
    const Record* at = object ? (r.contains(object) ? &r[object] : nullptr) : &r;
    if (!at || !at->contains(field) || !(*at)[field].is_string()) return "";
    return (*at)[field].get<std::string>();
  };
  return (serial.empty() || text(nullptr, "serial") == serial) &&
         (since.empty() || text(nullptr, "start") >= since) &&
         (outcome.empty() || text(nullptr, "outcome") == outcome) &&
         (firmware.empty() || text("firmware", "sha256").rfind(firmware, 0) == 0);
}

namespace {

// The pairs KEY=VALUE of a connection string, each as where its value
// begins and ends; a value in braces may hold ";".
struct Pair {
  std::string key;  // lower case, no spaces
  std::size_t value, end;
};
std::vector<Pair> Pairs(std::string_view connection) {
  std::vector<Pair> pairs;
  for (std::size_t i = 0; i < connection.size();) {
    const std::size_t eq = connection.find('=', i);
    if (eq == std::string_view::npos) break;
    std::size_t end = eq + 1;
    if (end < connection.size() && connection[end] == '{') {
      end = connection.find('}', end);
      end = end == std::string_view::npos ? connection.size() : end + 1;
    }
    end = std::min(connection.find(';', end), connection.size());
    std::string key;
    for (const char c : connection.substr(i, eq - i)) {
      if (!std::isspace(static_cast<unsigned char>(c))) {
        key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
    }
    pairs.push_back({key, eq + 1, end});
    i = end + 1;
  }
  return pairs;
}

bool IsPassword(const std::string& key) { return key == "pwd" || key == "password"; }

}  // namespace

std::string HidePassword(std::string_view connection) {
  std::string shown(connection);
  const auto pairs = Pairs(connection);
  for (auto p = pairs.rbegin(); p != pairs.rend(); ++p) {
    if (IsPassword(p->key)) shown.replace(p->value, p->end - p->value, "***");
  }
  return shown;
}

Record RowOf(const Record& record) {
  Record row = Record::object();
  for (const Column& c : kColumns) {
    const Record* value = Field(record, c);
    row[c.name] = value ? *value : Record(nullptr);
  }
  if (row["instrument_text"].is_string()) {
    row["instrument_text"] = EscapeNul(row["instrument_text"].get<std::string>());
  }
  return row;
}

std::string EscapeNul(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\0') {
      escaped += "\\0";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string UnescapeNul(std::string_view text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      plain += text[++i] == '0' ? '\0' : text[i];
    } else {
      plain += text[i];
    }
  }
  return plain;
}

struct OdbcStore::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  ~Handles() {
    if (connected) SQLDisconnect(dbc);
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }
};

// One statement, freed on every path.
class Statement {
 public:
  Statement(SQLHDBC dbc, int timeout_s) {
    if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) stmt = SQL_NULL_HSTMT;
    if (stmt != SQL_NULL_HSTMT) {
      SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout_s)), 0);
    }
  }
  ~Statement() {
    if (stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  SQLRETURN Run(const std::string& sql) {
    return SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
  }
  SQLHSTMT stmt = SQL_NULL_HSTMT;
};

OdbcStore::OdbcStore() : h_(std::make_unique<Handles>()) {}
OdbcStore::~OdbcStore() = default;

std::optional<std::string> OdbcStore::Fail(short type, void* handle, const char* what) {
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLCHAR message[1024] = {};
  SQLSMALLINT length = 0;
  std::string said;
  if (handle && Ok(SQLGetDiagRec(type, handle, 1, state, &native, message, sizeof message, &length))) {
    state_ = reinterpret_cast<char*>(state);
    said = "[" + state_ + "] " + reinterpret_cast<char*>(message);
  } else {
    state_.clear();
    said = "no reason given by the driver";
  }
  // Some drivers echo the connection string; the password stays out.
  if (password_.size() >= 3) {
    for (std::size_t at; (at = said.find(password_)) != std::string::npos;) {
      said.replace(at, password_.size(), "***");
    }
  }
  std::replace_if(said.begin(), said.end(),
                  [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
  said_ = said;
  while (!said.empty() && said.back() == ' ') said.pop_back();
  return std::string(what) + ": " + said;
}

bool OdbcStore::ConfigurationFault() const {
  // IM: the driver manager (no such DSN or driver); 01000 with a failed
  // connect: unixODBC could not load the driver; 28: authorization.
  // PostgreSQL's driver reports a refused password as 08001, with the
  // server's words.
  return state_.rfind("IM", 0) == 0 || state_ == "01000" || state_.rfind("28", 0) == 0 ||
         (state_ == "08001" && said_.find("authentication failed") != std::string::npos);
}

std::optional<std::string> OdbcStore::Open(const std::string& connection, int timeout_s) {
  timeout_s_ = timeout_s;
  // The password, to keep it out of what drivers say.
  password_.clear();
  for (const Pair& p : Pairs(connection)) {
    if (IsPassword(p.key)) password_ = connection.substr(p.value, p.end - p.value);
  }
  h_ = std::make_unique<Handles>();
  if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h_->env))) {
    state_.clear();
    return "no ODBC driver manager environment";
  }
  SQLSetEnvAttr(h_->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!Ok(SQLAllocHandle(SQL_HANDLE_DBC, h_->env, &h_->dbc))) {
    return Fail(SQL_HANDLE_ENV, h_->env, "cannot connect");
  }
  const auto seconds = reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout_s));
  SQLSetConnectAttr(h_->dbc, SQL_ATTR_LOGIN_TIMEOUT, seconds, 0);
  SQLSetConnectAttr(h_->dbc, SQL_ATTR_CONNECTION_TIMEOUT, seconds, 0);
  SQLCHAR out[1024];
  SQLSMALLINT out_length = 0;
  const SQLRETURN r = SQLDriverConnect(
      h_->dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection.c_str())), SQL_NTS,
      out, sizeof out, &out_length, SQL_DRIVER_NOPROMPT);
  if (!Ok(r)) return Fail(SQL_HANDLE_DBC, h_->dbc, "cannot connect");
  h_->connected = true;
  return CreateTables();
}

std::optional<std::string> OdbcStore::CreateTables() {
  auto version = [&](int* found) -> bool {
    Statement s(h_->dbc, timeout_s_);
    SQLINTEGER value = 0;
    SQLLEN indicator = 0;
    if (!Ok(s.Run("SELECT MAX(version) FROM fwdl_schema")) || !Ok(SQLFetch(s.stmt)) ||
        !Ok(SQLGetData(s.stmt, 1, SQL_C_SLONG, &value, 0, &indicator))) {
      return false;
    }
    *found = indicator == SQL_NULL_DATA ? 0 : value;
    return true;
  };
  int found = 0;
  if (!version(&found) || found == 0) {
    // Everything in one transaction: a second fwdl creating at the same
    // moment waits, fails on the existing table, and finds it complete.
    SQLSetConnectAttr(h_->dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    std::string table = "CREATE TABLE fwdl_runs (";
    for (const Column& c : kColumns) {
      table += std::string(c.name == kColumns[0].name ? "" : ", ") + '"' + c.name + "\" " + c.type;
    }
    table += ")";
    const std::string ddl[] = {
        table,
        "CREATE INDEX fwdl_runs_serial ON fwdl_runs (\"serial\")",
        "CREATE INDEX fwdl_runs_start ON fwdl_runs (\"start\")",
        "CREATE TABLE fwdl_schema (version INTEGER NOT NULL)",
        "INSERT INTO fwdl_schema (version) VALUES (" + std::to_string(kSchemaVersion) + ")",
    };
    std::optional<std::string> failed;
    for (const std::string& sql : ddl) {
      Statement s(h_->dbc, timeout_s_);
      if (!Ok(s.Run(sql))) {
        failed = Fail(SQL_HANDLE_STMT, s.stmt, "cannot create the table fwdl_runs");
        break;
      }
    }
    SQLEndTran(SQL_HANDLE_DBC, h_->dbc, failed ? SQL_ROLLBACK : SQL_COMMIT);
    SQLSetConnectAttr(h_->dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    if (failed && !(version(&found) && found > 0)) return failed;
    if (!failed) found = kSchemaVersion;
  }
  if (found > kSchemaVersion) {
    state_ = "fwdl";
    return "fwdl_schema says version " + std::to_string(found) + ", a later fwdl's; this one knows " +
           std::to_string(kSchemaVersion);
  }
  return std::nullopt;
}

std::optional<std::string> OdbcStore::Add(const Record& record, bool* added) {
  if (added) *added = false;
  if (!h_->connected) return "not connected";
  const std::string id = record.value("run_id", "");
  auto there = [&](bool* yes) -> std::optional<std::string> {
    Statement s(h_->dbc, timeout_s_);
    Parameter p{Utf16(id), 0, 0, static_cast<SQLLEN>(id.size() * sizeof(SQLWCHAR))};
    SQLBindParameter(s.stmt, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 36, 0, p.text.data(),
                     p.length, &p.length);
    SQLINTEGER count = 0;
    SQLLEN indicator = 0;
    if (!Ok(s.Run("SELECT COUNT(*) FROM fwdl_runs WHERE \"run_id\" = ?")) || !Ok(SQLFetch(s.stmt)) ||
        !Ok(SQLGetData(s.stmt, 1, SQL_C_SLONG, &count, 0, &indicator))) {
      return Fail(SQL_HANDLE_STMT, s.stmt, "cannot look for the run");
    }
    *yes = count > 0;
    return std::nullopt;
  };
  bool found = false;
  if (auto failed = there(&found)) return failed;
  if (found) return std::nullopt;

  Statement s(h_->dbc, timeout_s_);
  constexpr std::size_t n = std::size(kColumns);
  std::vector<Parameter> values(n);
  std::string marks;
  for (std::size_t i = 0; i < n; ++i) {
    const Column& c = kColumns[i];
    const Record* value = Field(record, c);
    Parameter& p = values[i];
    marks += i == 0 ? "?" : ", ?";
    const auto number = static_cast<SQLUSMALLINT>(i + 1);
    SQLRETURN r = SQL_SUCCESS;
    if (c.kind == Kind::kText) {
      std::string text = value && value->is_string() ? value->get<std::string>() : "";
      if (std::strcmp(c.name, "instrument_text") == 0) text = EscapeNul(text);
      p.text = Utf16(text);
      p.text.push_back(0);
      p.length = value ? static_cast<SQLLEN>((p.text.size() - 1) * sizeof(SQLWCHAR)) : SQL_NULL_DATA;
      r = SQLBindParameter(s.stmt, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                           std::max<SQLULEN>(p.text.size(), 1), 0, p.text.data(),
                           static_cast<SQLLEN>(p.text.size() * sizeof(SQLWCHAR)), &p.length);
    } else if (c.kind == Kind::kInteger) {
      p.integer = value && value->is_number() ? value->get<SQLBIGINT>() : 0;
      p.length = value ? 0 : SQL_NULL_DATA;
      r = SQLBindParameter(s.stmt, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                           &p.integer, 0, &p.length);
    } else {
      p.real = value && value->is_number() ? value->get<double>() : 0;
      p.length = value ? 0 : SQL_NULL_DATA;
      r = SQLBindParameter(s.stmt, number, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 0, 0, &p.real,
                           0, &p.length);
    }
    if (!Ok(r)) return Fail(SQL_HANDLE_STMT, s.stmt, "cannot bind the record's values");
  }
  if (!Ok(s.Run("INSERT INTO fwdl_runs (" + ColumnList() + ") VALUES (" + marks + ")"))) {
    auto failed = Fail(SQL_HANDLE_STMT, s.stmt, "cannot add the run");
    // Another fwdl added the same run meanwhile (a unique key): taken once.
    if (state_.rfind("23", 0) == 0 && !there(&found) && found) return std::nullopt;
    return failed;
  }
  if (added) *added = true;
  return std::nullopt;
}

std::optional<std::string> OdbcStore::Find(const RecordFilter& filter, std::vector<Record>& rows) {
  if (!h_->connected) return "not connected";
  Statement s(h_->dbc, timeout_s_);
  std::string sql = "SELECT " + ColumnList() + " FROM fwdl_runs WHERE 1 = 1";
  std::vector<Parameter> values;
  values.reserve(4);
  auto ask = [&](const std::string& value, const char* condition) {
    if (value.empty()) return;
    sql += condition;
    Parameter& p = values.emplace_back();
    p.text = Utf16(value);
    p.length = static_cast<SQLLEN>(p.text.size() * sizeof(SQLWCHAR));
    SQLBindParameter(s.stmt, static_cast<SQLUSMALLINT>(values.size()), SQL_PARAM_INPUT, SQL_C_WCHAR,
                     SQL_WVARCHAR, std::max<SQLULEN>(p.text.size(), 1), 0, p.text.data(), p.length,
                     &p.length);
  };
  ask(filter.serial, " AND \"serial\" = ?");
  ask(filter.since, " AND \"start\" >= ?");
  ask(filter.outcome, " AND \"outcome\" = ?");
  ask(filter.firmware.empty() ? "" : filter.firmware + "%", " AND \"firmware_sha256\" LIKE ?");
  sql += " ORDER BY \"start\", \"run_id\"";
  if (!Ok(s.Run(sql))) return Fail(SQL_HANDLE_STMT, s.stmt, "cannot read the runs");
  for (SQLRETURN r; (r = SQLFetch(s.stmt)) != SQL_NO_DATA;) {
    if (!Ok(r)) return Fail(SQL_HANDLE_STMT, s.stmt, "cannot read the runs");
    Record record;
    for (std::size_t i = 0; i < std::size(kColumns); ++i) {
      const Column& c = kColumns[i];
      const auto number = static_cast<SQLUSMALLINT>(i + 1);
      SQLLEN indicator = 0;
      Record value;
      if (c.kind == Kind::kText) {
        // In pieces: a text longer than the buffer comes in several calls.
        std::basic_string<SQLWCHAR> text;
        SQLWCHAR piece[512];
        for (;;) {
          r = SQLGetData(s.stmt, number, SQL_C_WCHAR, piece, sizeof piece, &indicator);
          if (!Ok(r) || indicator == SQL_NULL_DATA) break;
          const std::size_t got =
              indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof piece)
                  ? std::size(piece) - 1
                  : static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR);
          text.append(piece, got);
          if (r == SQL_SUCCESS) break;
        }
        if (indicator != SQL_NULL_DATA) {
          std::string utf8 = Utf8(text.data(), text.size());
          if (std::strcmp(c.name, "instrument_text") == 0) utf8 = UnescapeNul(utf8);
          value = std::move(utf8);
        }
      } else if (c.kind == Kind::kInteger) {
        SQLBIGINT number_value = 0;
        r = SQLGetData(s.stmt, number, SQL_C_SBIGINT, &number_value, 0, &indicator);
        if (indicator != SQL_NULL_DATA) value = static_cast<std::int64_t>(number_value);
      } else {
        double real = 0;
        r = SQLGetData(s.stmt, number, SQL_C_DOUBLE, &real, 0, &indicator);
        if (indicator != SQL_NULL_DATA) value = real;
      }
      if (!Ok(r) && r != SQL_NO_DATA) return Fail(SQL_HANDLE_STMT, s.stmt, "cannot read the runs");
      SetField(record, c, std::move(value));
    }
    rows.push_back(std::move(record));
  }
  return std::nullopt;
}

}  // namespace fwdl::console
