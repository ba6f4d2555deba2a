// Intel HEX text for the HEX tests.
#pragma once

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

inline const std::string kHexEndOfFile = ":00000001FF\r\n";

// One record in upper-case digits with its correct checksum and line end.
inline std::string hex_record(uint16_t address, uint8_t type, const std::vector<uint8_t>& data,
                              const char* line_end = "\r\n") {
  std::vector<uint8_t> bytes = {uint8_t(data.size()), uint8_t(address >> 8), uint8_t(address), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.push_back(uint8_t(-std::accumulate(bytes.begin(), bytes.end(), 0)));
  std::string text = ":";
  for (uint8_t byte : bytes) text += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
  return text + line_end;
}

// An extended linear (type 04) or segment (type 02) address record.
inline std::string hex_linear(uint16_t upper) { return hex_record(0, 4, {uint8_t(upper >> 8), uint8_t(upper)}); }
inline std::string hex_segment(uint16_t segment) { return hex_record(0, 2, {uint8_t(segment >> 8), uint8_t(segment)}); }
