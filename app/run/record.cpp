#include "app/run/record.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "app/run/console_os.h"

namespace fwdl::console {
namespace {

using Json = nlohmann::ordered_json;  // the fields in the order written

constexpr std::size_t kLongestSerialLabel = 64;

Json OrNull(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

}  // namespace

std::string NewRunId() {
  unsigned char bytes[16];
  if (!RandomBytes(bytes, sizeof bytes)) throw std::runtime_error("no random bytes for the run id");
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  static const char kHex[] = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += kHex[bytes[i] >> 4];
    id += kHex[bytes[i] & 0x0F];
  }
  return id;
}

std::string UtcTimestamp(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(time);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss clock{ms - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()),
                static_cast<int>(clock.subseconds().count()));
  return text;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | byte >> 6);
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}

std::string RecordLine(const RunRecord& r) {
  Json line;
  line["run_id"] = r.run_id;
  line["start"] = UtcTimestamp(r.start);
  line["duration_s"] = static_cast<double>(r.duration.count()) / 1000.0;
  line["host"] = r.host;
  line["fwdl_version"] = r.version;
  line["procedure"] = r.procedure;
  line["port"] = r.port;
  line["device"] = r.device;
  line["adapter"] = {{"driver", OrNull(r.adapter.driver)},
                     {"usb", OrNull(r.adapter.usb)},
                     {"serial_number", OrNull(r.adapter.serial_number)}};
  line["flow_control"] = r.flow_control;
  line["firmware"] = {{"path", r.firmware_path},
                      {"size", r.firmware_size ? Json(*r.firmware_size) : Json(nullptr)},
                      {"sha256", OrNull(r.firmware_sha256)},
                      {"signed_by", OrNull(r.firmware_signed_by)}};
  line["bytes_written"] = r.bytes_written;
  line["outcome"] = r.outcome;
  line["exit_code"] = r.exit_code;
  line["instrument_text"] = Latin1ToUtf8(r.instrument_text);
  line["serial"] = OrNull(r.serial);
  // No indent: one line. Text that is not UTF-8 gets U+FFFD instead of an
  // exception at the end of a run.
  return line.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
}

std::optional<std::string> SerialLabelProblem(std::string_view text) {
  if (text.empty()) return "--serial: the text is empty";
  try {
    (void)Json(std::string(text)).dump();  // throws on text that is not UTF-8
  } catch (const Json::type_error&) {
    return "--serial: the text is not UTF-8";
  }
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0) == 0x80) continue;  // the rest of a character
    ++characters;
    // C0 controls, DEL, and the C1 controls U+0080..U+009F (0xC2 0x80..0x9F).
    const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (byte < 0x20 || byte == 0x7F || c1) {
      return "--serial: character " + std::to_string(characters) +
             " is a control character; the text may hold printable characters only";
    }
  }
  if (characters > kLongestSerialLabel) {
    return "--serial: the text has " + std::to_string(characters) + " characters, at most " +
           std::to_string(kLongestSerialLabel) + " are allowed";
  }
  return std::nullopt;
}

}  // namespace fwdl::console
