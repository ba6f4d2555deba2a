// SHA-256 of a byte string, for naming exactly which image a run wrote.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Fed in pieces of any size; digest() ends it (feed nothing after).
class Sha256 {
 public:
  Sha256();
  void update(const uint8_t* data, size_t size);
  std::array<uint8_t, 32> digest();

 private:
  void block(const uint8_t* data);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> pending_{};
  size_t pending_size_ = 0;
  uint64_t total_ = 0;  // bytes fed
};

// The digest of `size` bytes as 64 lower-case hex digits.
std::string sha256_hex(const uint8_t* data, size_t size);
