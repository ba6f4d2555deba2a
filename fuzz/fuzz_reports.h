// Shared by the device fuzz targets: a virtual HID device whose input and
// feature reports are chosen by the fuzzer. Reports come from the front of
// the input, the driving program's choices (lengths, operations) from its
// back (FuzzedDataProvider's two ends).
//
// One report: a kind byte, then its bytes. Kind 0xFF: the transfer fails
// (-1); 0xFE: nothing arrives in time (0); any other value n: a report of n
// bytes, cut to the caller's buffer. An exhausted input reads as "nothing
// arrives".
#pragma once

#include "platform/hid_virtual.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

class FuzzedHidDevice : public VirtualHidDevice {
 public:
  explicit FuzzedHidDevice(FuzzedDataProvider* input) : input_(input) {}

  int output_report(const uint8_t*, size_t length) override { return static_cast<int>(length); }
  int set_feature(const uint8_t*, size_t length) override { return static_cast<int>(length); }
  int input_report(uint8_t* buffer, size_t length, int) override { return next(buffer, length); }
  // The ID byte the caller asked for stays; the rest is the fuzzer's.
  int get_feature(uint8_t* buffer, size_t length) override {
    if (length == 0) return -1;
    const int n = next(buffer + 1, length - 1);
    return n < 0 ? -1 : n + 1;
  }

 private:
  int next(uint8_t* buffer, size_t length) {
    if (input_->remaining_bytes() == 0) return 0;
    const uint8_t kind = input_->ConsumeBytes<uint8_t>(1).at(0);
    if (kind == 0xFF) return -1;
    if (kind == 0xFE) return 0;
    const std::vector<uint8_t> bytes = input_->ConsumeBytes<uint8_t>(kind);
    const size_t n = std::min(bytes.size(), length);
    if (n != 0) std::memcpy(buffer, bytes.data(), n);
    return static_cast<int>(n);
  }

  FuzzedDataProvider* input_;
};
