#include "app/run/json_events.h"

#include <nlohmann/json.hpp>
#include <ostream>

#include "app/run/record.h"

namespace fwdl::console {
namespace {

using Json = nlohmann::ordered_json;

// The program's texts are 8-bit; JSON wants UTF-8.
Json Text(const std::string& bytes) { return Latin1ToUtf8(bytes); }

Json OrNull(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

}  // namespace

void JsonEvents::Write(const std::string& line) {
  out_ << line << std::endl;  // flushed: a station program reads along
}

void JsonEvents::Start(const RunStart& s) {
  Json line{{"event", "start"},  {"procedure", s.procedure}, {"port", Text(s.port)},
            {"device", Text(s.device)}, {"file", Text(s.file)}};
  line["size"] = s.size ? Json(*s.size) : Json(nullptr);
  line["sha256"] = OrNull(s.sha256);
  line["version"] = s.version;
  line["time"] = s.time;
  Write(line.dump());
}

void JsonEvents::Notice(const std::string& text) {
  Write(Json{{"event", "notice"}, {"text", Text(text)}}.dump());
}

void JsonEvents::Status(const std::string& text) {
  Write(Json{{"event", "status"}, {"text", Text(text)}}.dump());
}

void JsonEvents::Question(const std::string& caption, const std::string& text,
                          const std::string& details) {
  Write(Json{{"event", "question"}, {"caption", Text(caption)}, {"text", Text(text)},
             {"details", Text(details)}}
            .dump());
}

void JsonEvents::Box(const std::string& caption, const std::string& text,
                     const std::string& details, const std::optional<std::string>& answer) {
  Json line{{"event", "box"}, {"caption", Text(caption)}, {"text", Text(text)},
            {"details", Text(details)}, {"question", answer.has_value()}};
  if (answer) line["answer"] = *answer;
  Write(line.dump());
}

void JsonEvents::Progress(const std::string& text, std::uint64_t sent, std::uint64_t total,
                          const Pace& pace) {
  Json line{{"event", "progress"}, {"text", Text(text)}, {"sent", sent}, {"total", total}};
  line["rate"] = pace.rate ? Json(static_cast<std::uint64_t>(*pace.rate + 0.5)) : Json(nullptr);
  line["left_s"] = pace.left_s ? Json(*pace.left_s) : Json(nullptr);
  Write(line.dump());
}

void JsonEvents::Interrupted() { Write(Json{{"event", "interrupt"}}.dump()); }

void JsonEvents::End(const RunEnd& e) {
  Json line{{"event", "end"},
            {"outcome", e.outcome},
            {"exit_code", e.exit_code},
            {"instrument_text", Text(e.instrument_text)},
            {"bytes_written", e.bytes_written},
            {"flow_control", e.flow_control}};
  if (!e.remedy.empty()) line["remedy"] = Text(e.remedy);
  line["run_id"] = e.run_id;
  Write(line.dump());
}

}  // namespace fwdl::console
