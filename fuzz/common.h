// Small pieces that the fuzz targets share.
#pragma once

#include <filesystem>
#include <string>

#include "download/hex_check.h"

namespace fwdl::fuzz {

// A folder of this process for the files the targets write, removed at exit.
const std::filesystem::path& TempFolder();
// Writes `content` to a file in TempFolder(); its path.
std::string WriteTempFile(const std::string& name, const std::string& content);

// What the HEX loader gets of a stored file: no carriage return, nothing
// from the first Ctrl-Z on. Written here again, apart from HexFile.
std::string LoaderText(const std::string& stored);

// Bytes as a reader can see them (\xHH for the others), at most `most`.
std::string Shown(const std::string& bytes, std::size_t most = 160);

bool SameSummary(const HexSummary& a, const HexSummary& b);
std::string Describe(const HexSummary& summary);

// Prints the failed invariant and aborts, which libFuzzer reports with the input.
[[noreturn]] void Fail(const std::string& what);

}  // namespace fwdl::fuzz
