// Today's units at the station: how many came off good, failed or stopped,
// and the last few of them, newest first. Seeded from the record file's
// lines of today when the station starts (other stations' and scripts'
// units of the same file count too), then fed with each run that ends.
// "Today" is the local calendar day of the run's start; the counts begin
// anew at midnight.
#pragma once

#include <cstddef>
#include <deque>
#include <istream>
#include <string>

#include "app/station/slot.h"

namespace fwdl::station {

struct Unit {
  std::string start;  // UTC, "2026-12-09T07:42:23.036Z", as in the record
  std::string port, serial;
  std::string outcome;  // fwdl's name for it; "" when the run told none
  std::string words;    // what the outcome says in a few words
  std::string instrument_text;
};

// The unit of one record line (record.h); nothing for a line that is none.
std::optional<Unit> UnitOfRecord(const std::string& line);
// The local calendar day of a UTC time as the record writes it:
// "2026-12-09"; "" for a text that is no such time.
std::string LocalDay(const std::string& utc);
// Today's local calendar day.
std::string Today();

class Tally {
 public:
  static constexpr std::size_t kLast = 12;

  // Takes the units of `records` whose day is `today`.
  void Load(std::istream& records, const std::string& today);
  void Add(const Unit& unit);
  Json ToJson() const;

 private:
  std::string day_;
  int good_ = 0, failed_ = 0, stopped_ = 0;
  std::deque<Unit> last_;
};

}  // namespace fwdl::station
