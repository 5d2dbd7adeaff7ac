#include "common.h"

#include <stdlib.h>

#include <cstdio>
#include <fstream>

namespace fwdl::fuzz {

const std::filesystem::path& TempFolder() {
  // Never destroyed: the removal at exit still needs it.
  static const auto* folder = [] {
    std::string name = (std::filesystem::temp_directory_path() / "fwdl-fuzz-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) {
      std::perror("fwdl fuzz: mkdtemp");
      std::abort();
    }
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(TempFolder(), ignored);
    });
    return new std::filesystem::path(name);
  }();
  return *folder;
}

std::string WriteTempFile(const std::string& name, const std::string& content) {
  const std::string path = (TempFolder() / name).string();
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(content.data(), static_cast<std::streamsize>(content.size()));
  return path;
}

std::string LoaderText(const std::string& stored) {
  std::string text;
  for (const char c : stored) {
    if (c == '\x1A') break;
    if (c != '\r') text += c;
  }
  return text;
}

std::string Shown(const std::string& bytes, std::size_t most) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= ' ' && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (bytes.size() > most) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

bool SameSummary(const HexSummary& a, const HexSummary& b) {
  if (a.error.has_value() != b.error.has_value()) return false;
  if (a.error && (a.error->fault != b.error->fault || a.error->line != b.error->line ||
                  a.error->column != b.error->column || a.error->what != b.error->what)) {
    return false;
  }
  return a.data_bytes == b.data_bytes && a.ranges == b.ranges && a.overlaps == b.overlaps;
}

std::string Describe(const HexSummary& summary) {
  if (summary.error) {
    return "error " + std::to_string(static_cast<int>(summary.error->fault)) + " at " +
           summary.error->Text();
  }
  std::string text = std::to_string(summary.data_bytes) + " data bytes, ranges";
  for (const HexRange& r : summary.ranges) {
    text += " " + std::to_string(r.first) + "-" + std::to_string(r.last);
  }
  text += ", overlaps";
  for (const HexRange& r : summary.overlaps) {
    text += " " + std::to_string(r.first) + "-" + std::to_string(r.last);
  }
  return text;
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "\n%s\n", what.c_str());
  std::abort();
}

}  // namespace fwdl::fuzz
