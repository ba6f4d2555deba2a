#include "platform/hid_report_descriptor.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

// Item prefix: bits 0-1 data size code, bits 2-3 type, bits 4-7 tag.
constexpr uint8_t kLongItemPrefix = 0xFE;
constexpr uint8_t kTypeMain = 0;
constexpr uint8_t kTypeGlobal = 1;
constexpr uint8_t kMainInput = 0x8;
constexpr uint8_t kMainOutput = 0x9;
constexpr uint8_t kMainFeature = 0xB;
constexpr uint8_t kGlobalReportSize = 0x7;
constexpr uint8_t kGlobalReportId = 0x8;
constexpr uint8_t kGlobalReportCount = 0x9;
constexpr uint8_t kGlobalPush = 0xA;
constexpr uint8_t kGlobalPop = 0xB;
constexpr size_t kDataSizes[4] = {0, 1, 2, 4};
constexpr size_t kMaxPushDepth = 64;
// The longest report a length field can hold, in bits.
constexpr uint64_t kMaxReportBits = (0xFFFFull - 1) * 8;

enum Kind : size_t { kInput, kOutput, kFeature, kKinds };

struct GlobalState {
  uint32_t report_size = 0;   // bits per field
  uint32_t report_count = 0;  // fields
  uint8_t report_id = 0;
};

uint32_t item_data(const uint8_t* data, size_t size) {
  uint32_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(data[i]) << (8 * i);
  return value;
}

}  // namespace

HidReportLengths hid_report_lengths(const uint8_t* descriptor, size_t length) {
  HidReportLengths result;
  // Bits per report ID and kind.
  std::array<std::array<uint64_t, 256>, kKinds> bits{};
  GlobalState state;
  std::vector<GlobalState> stack;
  bool numbered = false;

  size_t at = 0;
  while (at < length) {
    const uint8_t prefix = descriptor[at];
    if (prefix == kLongItemPrefix) {
      // Long items carry vendor data only; skip them whole.
      if (length - at < 3) return {};
      const size_t size = descriptor[at + 1];
      if (length - at - 3 < size) return {};
      at += 3 + size;
      continue;
    }
    const size_t size = kDataSizes[prefix & 0x3];
    const uint8_t type = (prefix >> 2) & 0x3;
    const uint8_t tag = prefix >> 4;
    if (length - at - 1 < size) return {};
    const uint32_t value = item_data(descriptor + at + 1, size);
    at += 1 + size;

    if (type == kTypeGlobal) {
      switch (tag) {
        case kGlobalReportSize:
          state.report_size = value;
          break;
        case kGlobalReportCount:
          state.report_count = value;
          break;
        case kGlobalReportId:
          // ID 0 is reserved: it would make a numbered report look unnumbered.
          if (value == 0 || value > 0xFF) return {};
          state.report_id = static_cast<uint8_t>(value);
          numbered = true;
          break;
        case kGlobalPush:
          if (stack.size() == kMaxPushDepth) return {};
          stack.push_back(state);
          break;
        case kGlobalPop:
          if (stack.empty()) return {};
          state = stack.back();
          stack.pop_back();
          break;
        default:
          break;
      }
    } else if (type == kTypeMain) {
      Kind kind = kKinds;
      if (tag == kMainInput) kind = kInput;
      if (tag == kMainOutput) kind = kOutput;
      if (tag == kMainFeature) kind = kFeature;
      if (kind != kKinds) {
        // Each item is below 2^64 and the sum so far at most kMaxReportBits:
        // the sum cannot wrap round to a small, plausible length.
        uint64_t& sum = bits[kind][state.report_id];
        sum += static_cast<uint64_t>(state.report_size) * state.report_count;
        if (sum > kMaxReportBits) return {};
      }
    }
  }

  uint16_t lengths[kKinds] = {};
  for (size_t kind = 0; kind < kKinds; ++kind) {
    const uint64_t most = *std::max_element(bits[kind].begin(), bits[kind].end());
    if (most == 0) continue;
    const uint64_t bytes = (most + 7) / 8 + 1;  // the report ID byte
    if (bytes > 0xFFFF) return {};
    lengths[kind] = static_cast<uint16_t>(bytes);
  }
  result.valid = true;
  result.numbered_reports = numbered;
  result.input = lengths[kInput];
  result.output = lengths[kOutput];
  result.feature = lengths[kFeature];
  return result;
}
