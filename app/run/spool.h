// The spool: records on their way to a database, kept on this computer
// until the database has them. A run with an odbc: target writes its line
// here first and then delivers; what cannot be delivered waits for the
// next run, `fwdl records sync` or the station. One JSON Lines file per
// user: $XDG_STATE_HOME/fwdl/spool.jsonl (~/.local/state/fwdl/ by default)
// on Linux, %LOCALAPPDATA%\fwdl\spool.jsonl on Windows, or --spool FILE.
//
// Each line is {"target":"odbc:DSN=factory;Pwd=***","record":{...}}: the
// target as shown (without its password), and the record as its line.
//
// Several fwdl processes share one spool and never lose or double a line:
// every change happens under the spool's lock (locked_file.h); one process
// at a time delivers (under the lock of SPOOL.lock), in the order of the
// lines, and removes what the database took; a line whose run_id the
// database has already counts as taken, so a line delivered just before a
// crash is not added twice. A line that cannot be read is kept as it is.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "app/run/odbc_store.h"

namespace fwdl::console {

// Where the spool is unless --spool says: from the environment.
std::string DefaultSpoolPath();

class Spool {
 public:
  explicit Spool(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // Creates the spool's folder and checks that the spool can be locked;
  // nothing, or why not.
  std::optional<std::string> Check() const;
  // Adds one record line for `target` (shown without its password).
  std::optional<std::string> Add(const std::string& target, const std::string& record_line) const;

  // Delivers what waits for `target`, oldest first, until `deliver` fails
  // (it returns why, or nothing when the database has the record).
  struct Synced {
    std::size_t delivered = 0, waiting = 0;
    std::optional<std::string> problem;
  };
  using Deliver = std::function<std::optional<std::string>(const Record& record)>;
  Synced Sync(const std::string& target, const Deliver& deliver) const;
  // How many records wait for `target`.
  std::size_t Waiting(const std::string& target) const;

 private:
  std::string path_;
};

}  // namespace fwdl::console
