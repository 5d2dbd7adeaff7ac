// fwdl check FILE [--kind hex|dvb]: a firmware file examined before any
// instrument is touched, and the pre-check of fwdl hex.
//
// The report goes to `out`, for a person and a script alike: one
// "name: value" line per figure, the verdict last ("result: valid" or
// "result: invalid", after an "error: ..." line):
//
//   file: firmware.hex
//   kind: hex (Intel HEX)
//   size: 28811 bytes
//   sha256: 5d1f...
//   data bytes: 10240
//   ranges: 1
//   range: 0x00000000-0x000027FF (10240 bytes)
//   overlaps: none
//   result: valid
//
// A DVB image shows its size, SHA-256 and the 10-byte header that would go
// before it ("header: 23 04 78 56 34 12 00 28 00 00"). A file that cannot be
// read, a broken HEX file, and an empty DVB image or one too long for the
// header are invalid.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "app/run/exit_codes.h"

namespace fwdl::console {

enum class FileKind { kHex, kDvb };

// "hex" or "dvb", as --kind takes it.
std::optional<FileKind> ParseFileKind(std::string_view name);
// By the file name's extension, in any case: .hex, .bin.
std::optional<FileKind> FileKindOf(const std::string& path);

// The exit codes of fwdl check.
inline constexpr int kCheckValid = static_cast<int>(ExitCode::kSuccess);
inline constexpr int kCheckUsage = static_cast<int>(ExitCode::kUsage);  // no --kind, and the name tells none
inline constexpr int kCheckInvalid = static_cast<int>(ExitCode::kFileRefused);  // refused, or cannot be read

// Checks the file as `kind`, or as its name says; `err` gets only a
// missing kind.
int RunCheck(const std::string& path, std::optional<FileKind> kind, std::ostream& out,
             std::ostream& err);

// For fwdl hex before the port is opened: the first thing wrong with the
// file ("line 812, column 44: checksum is 0x3C, the record's bytes need
// 0x3D", "cannot be read: no such file"), or nothing for a valid file.
std::optional<std::string> HexFileError(const std::string& path);

}  // namespace fwdl::console
