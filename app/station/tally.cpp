#include "app/station/tally.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace fwdl::station {

std::optional<Unit> UnitOfRecord(const std::string& line) {
  const Json record = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!record.is_object() || !record.contains("start") || !record["start"].is_string() ||
      !record.contains("outcome") || !record["outcome"].is_string()) {
    return std::nullopt;
  }
  auto text = [&](const char* field) {
    return record.contains(field) && record[field].is_string() ? record[field].get<std::string>()
                                                                : std::string();
  };
  Unit unit{text("start"), text("port"), text("serial"), text("outcome"), "",
            text("instrument_text")};
  unit.words = OutcomeWords(unit.outcome);
  return unit;
}

std::string LocalDay(const std::string& utc) {
  int y, mo, d, h, mi, s;
  if (std::sscanf(utc.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6) return {};
  using namespace std::chrono;
  const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                            day{static_cast<unsigned>(d)}};
  if (!date.ok()) return {};
  const auto time = sys_days(date) + hours(h) + minutes(mi) + seconds(s);
  const std::time_t t = system_clock::to_time_t(time_point_cast<system_clock::duration>(time));
  const std::tm* local = std::localtime(&t);
  if (!local) return {};
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", local);
  return text;
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);
  char text[16] = "";
  if (local) std::strftime(text, sizeof text, "%Y-%m-%d", local);
  return text;
}

void Tally::Load(std::istream& records, const std::string& today) {
  day_ = today;
  for (std::string line; std::getline(records, line);) {
    const std::optional<Unit> unit = UnitOfRecord(line);
    if (unit && LocalDay(unit->start) == today) Add(*unit);
  }
}

void Tally::Add(const Unit& unit) {
  const std::string day = LocalDay(unit.start);
  if (day != day_) {
    day_ = day;
    good_ = failed_ = stopped_ = 0;
  }
  const Verdict verdict = VerdictOf(unit.outcome);
  ++(verdict == Verdict::kGood ? good_ : verdict == Verdict::kFailed ? failed_ : stopped_);
  last_.push_front(unit);
  if (last_.size() > kLast) last_.pop_back();
}

Json Tally::ToJson() const {
  Json last = Json::array();
  for (const Unit& u : last_) {
    last.push_back({{"start", u.start},
                    {"port", u.port},
                    {"serial", u.serial},
                    {"outcome", u.outcome},
                    {"words", u.words},
                    {"verdict", VerdictName(VerdictOf(u.outcome))},
                    {"instrument_text", u.instrument_text}});
  }
  return {{"day", day_}, {"good", good_}, {"failed", failed_}, {"stopped", stopped_},
          {"last", last}};
}

}  // namespace fwdl::station
