// Records in a database over ODBC, against real servers that the tests
// start on this machine: a private PostgreSQL cluster in a temporary
// folder (127.0.0.1 and a Unix socket there), through Debian's PostgreSQL
// ODBC driver, and an SQLite file through its ODBC driver. The same code
// and the same tests for both; the drivers are named by their file, so no
// odbcinst.ini is needed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <glob.h>
#include <map>
#include <memory>
#include <sstream>

#include "app/run/odbc_store.h"
#include "app/run/record.h"
#include "app/run/spool.h"
#include "support/rig.h"
#include "support/sim_process.h"

namespace fwdl {
namespace {

namespace fs = std::filesystem;
using console::OdbcStore;
using console::Record;
using testing::SimProcess;
using testing::TempFile;

std::string Found(const char* pattern) {
  glob_t found{};
  std::string first;
  if (glob(pattern, 0, nullptr, &found) == 0 && found.gl_pathc > 0) first = found.gl_pathv[0];
  globfree(&found);
  return first;
}

// A program's exit code, with its standard output and error in `output`.
int RunProgram(std::vector<std::string> args, std::string* output = nullptr) {
  const TempFile out("", "out");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.path.c_str(), O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  if (output) *output = SimProcess::Slurp(out.path);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
  close(s);
  return ntohs(a.sin_port);
}

// A database the tests can stop and start again.
class Database {
 public:
  virtual ~Database() = default;
  virtual std::string Connection(const std::string& password = "s3cret-pw") const = 0;
  virtual void Stop() = 0;
  virtual void Start() = 0;
  std::string Target() const { return "odbc:" + Connection(); }
};

// A PostgreSQL cluster of its own, owned by "nobody" when the tests run as
// root (the server refuses to run as root).
class Postgres : public Database {
 public:
  Postgres() : folder_("", "x"), port_(FreePort()) {
    const std::string initdb = Found("/usr/lib/postgresql/*/bin/initdb");
    bin_ = fs::path(initdb).parent_path();
    data_ = fs::path(folder_.path).parent_path() / "data";
    const std::string pwfile = fs::path(folder_.path).parent_path() / "pw";
    std::ofstream(pwfile) << "s3cret-pw\n";
    if (geteuid() == 0) {
      as_ = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
      RunProgram({"chown", "-R", "nobody:nogroup", fs::path(folder_.path).parent_path()});
    }
    ok_ = !initdb.empty() &&
          Do({initdb, "-D", data_, "-U", "fwdl", "--pwfile", pwfile, "--auth=scram-sha-256",
              "-E", "UTF8", "--locale=C"}) == 0;
    if (ok_) Start();
  }
  ~Postgres() override { Stop(); }
  bool ok() const { return ok_; }
  std::string Connection(const std::string& password) const override {
    return "Driver=" + Found("/usr/lib/*/odbc/psqlodbcw.so") + ";Server=127.0.0.1;Port=" +
           std::to_string(port_) + ";Database=postgres;Uid=fwdl;Pwd=" + password;
  }
  void Stop() override {
    if (ok_) Do({bin_ / "pg_ctl", "-D", data_, "-m", "fast", "-w", "stop"});
  }
  void Start() override {
    const std::string options = "-p " + std::to_string(port_) + " -k " + data_ +
                                " -c listen_addresses=127.0.0.1 -c fsync=off";
    ok_ = Do({bin_ / "pg_ctl", "-D", data_, "-o", options, "-l", data_ + "/../log", "-w", "start"}) == 0;
  }

 private:
  int Do(std::vector<std::string> args) {
    args.insert(args.begin(), as_.begin(), as_.end());
    std::string output;
    const int code = RunProgram(args, &output);
    if (code != 0) std::cerr << output;
    return code;
  }
  TempFile folder_;
  int port_;
  fs::path bin_;
  std::string data_;
  std::vector<std::string> as_;
  bool ok_ = false;
};

// An SQLite file; "stopped" is its folder moved away.
class Sqlite : public Database {
 public:
  Sqlite() : folder_("", "x"), db_(fs::path(folder_.path).parent_path() / "db") {
    fs::create_directories(db_);
  }
  std::string Connection(const std::string& password) const override {
    return "Driver=" + Found("/usr/lib/*/odbc/libsqlite3odbc.so") + ";Database=" + db_ +
           "/runs.db;Timeout=5000;Pwd=" + password;
  }
  void Stop() override { fs::rename(db_, db_ + ".away"); }
  void Start() override { fs::rename(db_ + ".away", db_); }

 private:
  TempFile folder_;
  std::string db_;
};

// One cluster for the tests of this process (initdb takes seconds),
// stopped when they have run.
Postgres* cluster = nullptr;
Postgres* TheCluster() {
  if (!cluster) cluster = new Postgres();
  return cluster;
}
class StopTheCluster : public ::testing::Environment {
  void TearDown() override {
    delete cluster;
    cluster = nullptr;
  }
};
const auto* const stop_the_cluster = ::testing::AddGlobalTestEnvironment(new StopTheCluster);

struct Fresh {
  std::unique_ptr<Database> (*make)();
  const char* name;
};

class RecordsOverOdbc : public ::testing::TestWithParam<Fresh> {
 protected:
  void SetUp() override {
    const bool postgres = GetParam().name == std::string("PostgreSQL");
    if (Found(postgres ? "/usr/lib/*/odbc/psqlodbcw.so" : "/usr/lib/*/odbc/libsqlite3odbc.so").empty()) {
      // scripts/test installs the drivers: a missing one is a failure, not a skip.
      FAIL() << "no ODBC driver for " << GetParam().name << " (odbc-postgresql, libsqliteodbc)";
    }
    if (postgres && !TheCluster()->ok()) FAIL() << "no PostgreSQL server could be started";
    db_ = GetParam().make();
    // Each test on a table of its own making: the rows of the last one go.
    OdbcStore store;
    ASSERT_EQ(store.Open(db_->Connection()), std::nullopt);
    std::vector<Record> rows;
    ASSERT_EQ(store.Find({}, rows), std::nullopt);
    before_ = rows.size();
  }
  std::vector<Record> Rows(const console::RecordFilter& filter = {}) {
    OdbcStore store;
    std::vector<Record> rows;
    EXPECT_EQ(store.Open(db_->Connection()), std::nullopt);
    EXPECT_EQ(store.Find(filter, rows), std::nullopt);
    return rows;
  }
  std::unique_ptr<Database> db_;
  std::size_t before_ = 0;
};

console::RecordFilter Filter(const std::string& serial) {
  console::RecordFilter filter;
  filter.serial = serial;
  return filter;
}

// A run's record with every field, its texts made to break SQL and JSON.
Record FullRecord(const std::string& serial, const std::string& instrument_text) {
  console::RunRecord r;
  r.run_id = console::NewRunId();
  r.start = std::chrono::system_clock::now();
  r.duration = std::chrono::milliseconds(63402);
  r.host = "bench-3";
  r.version = "1.0.0.0";
  r.procedure = "dvb";
  r.port = "usb:A50285BI";
  r.device = "/dev/ttyUSB0";
  r.adapter = {"ftdi_sio", "0403:6001", "A50285BI"};
  r.flow_control = "kernel";
  r.firmware_path = "C:\\fw\\it's \"new\".bin";
  r.firmware_size = 300326;
  r.firmware_sha256 = "1473b2f4f486711689e1bfe06b45a4730c363ba32fa7d4eee71f85bc13038e0a";
  r.firmware_signed_by = "3f2a9c1e5d7a04b3";
  r.bytes_written = 307975;
  r.outcome = "success";
  r.exit_code = 0;
  r.instrument_text = instrument_text;
  r.serial = serial;
  return Record::parse(console::RecordLine(r));
}

// Every column back as it went in: a serial made to break SQL, and the
// instrument's NUL and 8-bit bytes; a record sent twice is one row.
TEST_P(RecordsOverOdbc, ARowHoldsTheRecordExactlyAndOnce) {
  const std::string hostile = "'); DROP TABLE fwdl_runs;-- \\' \"x\" \\\\ ä";
  const Record sent = FullRecord(hostile, std::string("OK\0\xFF\xE4\x80\\0\r\n>", 12));
  Record nulls = FullRecord("SN-2", "");
  nulls["adapter"] = {{"driver", nullptr}, {"usb", nullptr}, {"serial_number", nullptr}};
  nulls["serial"] = nullptr;
  OdbcStore store;
  ASSERT_EQ(store.Open(db_->Connection()), std::nullopt);
  bool added = false;
  ASSERT_EQ(store.Add(sent, &added), std::nullopt);
  EXPECT_TRUE(added);
  ASSERT_EQ(store.Add(sent, &added), std::nullopt);
  EXPECT_FALSE(added) << "the same run_id again";
  ASSERT_EQ(store.Add(nulls), std::nullopt);

  const auto rows = Rows(Filter(hostile));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], sent) << rows[0].dump();
  const auto all = Rows();
  ASSERT_EQ(all.size(), before_ + 2) << "the table and its rows are all there";
  const auto back = std::find_if(all.begin(), all.end(),
                                 [&](const Record& r) { return r["run_id"] == nulls["run_id"]; });
  ASSERT_NE(back, all.end());
  EXPECT_EQ(*back, nulls) << back->dump();
}

// The filters run in the database and answer as over the record file.
TEST_P(RecordsOverOdbc, QueriesAnswerAlikeFromTheFileAndTheDatabase) {
  TempFile file("", "runs.jsonl");
  std::string lines;
  OdbcStore store;
  ASSERT_EQ(store.Open(db_->Connection()), std::nullopt);
  const std::string serial = "SN-" + console::NewRunId().substr(0, 8);
  for (int i = 0; i < 4; ++i) {
    Record r = FullRecord(i == 3 ? "other" : serial, "x");
    r["start"] = "2031-0" + std::to_string(i + 1) + "-01T00:00:00.000Z";
    r["outcome"] = i == 1 ? "no_contact" : "success";
    r["firmware"]["sha256"] = std::string(i == 2 ? "ab" : "cd") + std::string(62, '0');
    ASSERT_EQ(store.Add(r), std::nullopt);
    lines += r.dump() + '\n';
  }
  std::ofstream(file.path) << lines;
  const std::vector<std::vector<std::string>> asks = {
      {"--serial", serial},
      {"--serial", serial, "--outcome", "success", "--since", "2031-02-01"},
      {"--serial", serial, "--firmware", "AB"},
      {"--since", "2031-03-15", "--format", "csv"},
  };
  const std::size_t expected[] = {3, 1, 1, 1};
  for (std::size_t i = 0; i < asks.size(); ++i) {
    std::vector<std::string> args = {FWDL_PATH, "records", "", "--format", "json"};
    args.insert(args.end(), asks[i].begin(), asks[i].end());
    std::string from_file, from_db;
    args[2] = file.path;
    ASSERT_EQ(RunProgram(args, &from_file), 0) << from_file;
    args[2] = db_->Target();
    ASSERT_EQ(RunProgram(args, &from_db), 0) << from_db;
    EXPECT_EQ(from_db, from_file) << "asking " << ::testing::PrintToString(asks[i]);
    const auto count = std::count(from_db.begin(), from_db.end(), '\n');
    EXPECT_EQ(count, expected[i] + (i == 3 ? 1 : 0)) << from_db;  // csv: the header line
  }
}

// A run while the database is out of reach succeeds; its record waits in
// the spool, and `records sync` delivers it once. No password anywhere.
TEST_P(RecordsOverOdbc, ARecordWaitsWhileTheDatabaseIsDownAndIsDeliveredOnce) {
  TempFile dir(""), spool("", "spool.jsonl");
  TempFile image(testing::EveryByteImage(2000), "image.bin");
  SimProcess sim(fs::path(dir.path).parent_path(), {"--flash-ms", "100"});
  db_->Stop();
  std::string ran;
  const int code = RunProgram({FWDL_PATH, "dvb", "--port", sim.path, "--yes", "--json", "--record",
                        db_->Target(), "--spool", spool.path, image.path}, &ran);
  db_->Start();
  ASSERT_EQ(code, 0) << ran;
  EXPECT_NE(ran.find("\"event\":\"notice\""), std::string::npos) << ran;
  EXPECT_NE(ran.find("1 record waits"), std::string::npos) << ran;
  const auto end = Record::parse(ran.substr(ran.find("{\"event\":\"end\"")));
  EXPECT_NE(SimProcess::Slurp(spool.path).find(end["run_id"].get<std::string>()), std::string::npos);

  std::string first, second;
  EXPECT_EQ(RunProgram({FWDL_PATH, "records", "sync", "--spool", spool.path, db_->Target()}, &first), 0)
      << first;
  EXPECT_NE(first.find("1 delivered, 0 waiting"), std::string::npos) << first;
  EXPECT_EQ(RunProgram({FWDL_PATH, "records", "sync", "--spool", spool.path, db_->Target()}, &second), 0);
  EXPECT_NE(second.find("0 delivered, 0 waiting"), std::string::npos) << second;
  const auto rows = Rows();
  ASSERT_EQ(rows.size(), before_ + 1);
  const auto row = std::find_if(rows.begin(), rows.end(),
                                [&](const Record& r) { return r["run_id"] == end["run_id"]; });
  ASSERT_NE(row, rows.end());
  EXPECT_EQ((*row)["outcome"], "success");
  for (const std::string& seen : {ran, first, second, SimProcess::Slurp(spool.path)}) {
    EXPECT_EQ(seen.find("s3cret-pw"), std::string::npos) << seen;
  }
}

// Eight runs at once share one spool and one database: every record once.
TEST_P(RecordsOverOdbc, EightRunsAtOnceDeliverEveryRecordOnce) {
  TempFile dir(""), spool("", "spool.jsonl");
  std::vector<std::unique_ptr<SimProcess>> sims;
  std::vector<pid_t> runs;
  for (int i = 0; i < 8; ++i) {
    sims.push_back(std::make_unique<SimProcess>(fs::path(dir.path).parent_path() / std::to_string(i),
                                                std::vector<std::string>{"--no-prompt"}));
  }
  for (int i = 0; i < 8; ++i) {
    std::vector<std::string> args = {FWDL_PATH, "dvb", "--port", sims[i]->path, "--yes",
                                     "--record", db_->Target(), "--spool", spool.path,
                                     "--serial", "eight-" + std::to_string(i), EXAMPLES_DIR "/demo.bin"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&quiet);
    runs.push_back(pid);
  }
  for (pid_t pid : runs) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 3) << "no contact, as the instrument never answers";
  }
  std::map<std::string, int> serials;
  for (const Record& row : Rows()) {
    if (row["serial"].is_string()) ++serials[row["serial"].get<std::string>()];
  }
  for (int i = 0; i < 8; ++i) EXPECT_EQ(serials["eight-" + std::to_string(i)], 1) << i;
  EXPECT_EQ(SimProcess::Slurp(spool.path), "") << "nothing left waiting";
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, RecordsOverOdbc,
    ::testing::Values(
        Fresh{[]() -> std::unique_ptr<Database> {
                struct Shared : Database {  // the suite's one cluster
                  std::string Connection(const std::string& p) const override {
                    return TheCluster()->Connection(p);
                  }
                  void Stop() override { TheCluster()->Stop(); }
                  void Start() override { TheCluster()->Start(); }
                };
                return std::make_unique<Shared>();
              },
              "PostgreSQL"},
        Fresh{[]() -> std::unique_ptr<Database> { return std::make_unique<Sqlite>(); }, "SQLite"}),
    [](const auto& info) { return std::string(info.param.name); });

// Processes adding to one spool while another delivers from it: every
// line delivered once, none lost, whatever the timing.
TEST(Spool, AddersAndADelivererAtOnceLoseAndDoubleNothing) {
  const TempFile file("", "spool.jsonl");
  const console::Spool spool(file.path);
  constexpr int kAdders = 4, kEach = 150;
  std::vector<pid_t> adders;
  for (int a = 0; a < kAdders; ++a) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (int i = 0; i < kEach; ++i) {
        const std::string id = std::to_string(a) + "-" + std::to_string(i);
        if (spool.Add("odbc:DSN=x", "{\"run_id\":\"" + id + "\"}\n")) _exit(1);
      }
      _exit(0);
    }
    adders.push_back(pid);
  }
  std::map<std::string, int> delivered;
  const auto deliver = [&](const Record& r) -> std::optional<std::string> {
    ++delivered[r["run_id"].get<std::string>()];
    return std::nullopt;
  };
  for (int left = kAdders; left > 0;) {
    EXPECT_EQ(spool.Sync("odbc:DSN=x", deliver).problem, std::nullopt);
    int status = 0;
    while (left > 0 && waitpid(-1, &status, WNOHANG) > 0) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
      --left;
    }
  }
  EXPECT_EQ(spool.Sync("odbc:DSN=x", deliver).waiting, 0u);
  EXPECT_EQ(delivered.size(), static_cast<std::size_t>(kAdders * kEach)) << "lines lost";
  for (const auto& [id, times] : delivered) EXPECT_EQ(times, 1) << id;
}

// A target that can never work is told at the start, before any port is
// touched, in one line with the SQLSTATE, and without its password.
TEST(RecordsOverOdbcStart, AWrongPasswordOrDriverFailsTheRunAtOnce) {
  if (Found("/usr/lib/*/odbc/psqlodbcw.so").empty() || !TheCluster()->ok()) {
    FAIL() << "no PostgreSQL server or driver";
  }
  TempFile spool("", "spool.jsonl");
  struct Case {
    std::string target, said;
  } cases[] = {
      {"odbc:" + TheCluster()->Connection("wrong-pw"), "password authentication failed"},
      {"odbc:Driver=/nowhere/libnone.so;Pwd=wrong-pw", "/nowhere/libnone.so"},
      {"odbc:DSN=no-such-dsn;Pwd=wrong-pw", "[IM002]"},
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_EQ(RunProgram({FWDL_PATH, "dvb", "--port", "/dev/null", "--yes", "--record", c.target,
                   "--spool", spool.path, EXAMPLES_DIR "/demo.bin"}, &output), 2) << output;
    EXPECT_NE(output.find(c.said), std::string::npos) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_EQ(output.find("wrong-pw"), std::string::npos) << output;
  }
}

}  // namespace
}  // namespace fwdl
