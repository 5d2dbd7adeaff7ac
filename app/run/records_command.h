// Record targets (--record TARGET: a JSON Lines file, or odbc:CONNECTION)
// and `fwdl records`, which answers questions from a target and delivers
// the spool:
//
//   fwdl records TARGET [--serial S] [--since DATE|today] [--outcome O]
//                       [--firmware SHA256-PREFIX] [--format table|csv|json]
//   fwdl records sync [--spool FILE] odbc:CONNECTION...
//
// The answer is oldest first. Over ODBC the filters run in the database,
// with bound parameters; over a file, line by line.
#pragma once

#include <memory>
#include <string>

#include "app/run/spool.h"

namespace fwdl::console {

struct RecordTarget {
  std::string given;       // as on the command line
  bool odbc = false;
  std::string connection;  // odbc: what follows "odbc:"
  std::string shown;       // as it may be shown: the password hidden
};
RecordTarget ParseRecordTarget(const std::string& given);

// How long a database may take to let us in, and then for each statement.
constexpr int kDatabaseTimeoutS = 5;

// Delivers what waits in `spool` for `target`, through `connected` where
// given (a connection made at the run's start; made anew once if it has
// dropped meanwhile); otherwise connects only when something waits.
Spool::Synced DeliverSpool(const Spool& spool, const RecordTarget& target,
                           std::unique_ptr<OdbcStore> connected = nullptr);

// fwdl records ...; argv[1] is "records".
int RecordsMain(int argc, char** argv);

}  // namespace fwdl::console
