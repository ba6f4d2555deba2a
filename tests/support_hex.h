// Helpers for the HEX tool tests: well-formed records, whole text files, and
// srec_cat's reading of a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support_process.h"

namespace hex_test {

// One record in upper-case digits with its correct checksum and line end.
inline std::string record(uint16_t address, uint8_t type, const std::vector<uint8_t>& data,
                          const char* line_end = "\r\n") {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string text = ":";
  char digits[3];
  for (uint8_t byte : bytes) {
    sum += byte;
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  std::snprintf(digits, sizeof digits, "%02X", static_cast<uint8_t>(-sum));
  return text + digits + line_end;
}

inline const std::string kEndOfFile = ":00000001FF\r\n";

// Writes `content` byte for byte into a file of `dir`; returns its path.
inline std::string write_text(const TempDir& dir, const std::string& name, const std::string& content) {
  std::ofstream(dir.file(name), std::ios::binary) << content;
  return dir.file(name);
}

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs a shell command; the extra arguments are $0, $1, ... of the command.
inline ProcessResult run_shell(const std::string& command, const std::vector<std::string>& arguments = {}) {
  std::vector<std::string> argv = {"/bin/sh", "-c", command};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_process(argv);
}

inline bool srec_cat_installed() { return run_shell("command -v srec_cat").exit_code == 0; }

}  // namespace hex_test
