// Report lengths from report descriptors, as the HID class counts them.
#include "platform/hid_report_descriptor.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(HidReportDescriptor, LengthsCountTheIdByteAndMalformedDescriptorsGiveNone) {
  struct Case {
    std::vector<uint8_t> descriptor;
    int input, output = 0, feature = 0;  // input -1: malformed, no lengths at all
    bool numbered = false;
  };
  // A vendor-defined bridge: report ID 9, 63 data bytes each way.
  const std::vector<uint8_t> bridge = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x09, 0x15, 0x00, 0x26,
                                       0xFF, 0x00, 0x75, 0x08, 0x95, 0x3F, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01,
                                       0x91, 0x02, 0xC0};
  const std::vector<Case> cases = {
      {bridge, 64, 64, 0, true},
      {{0x75, 0x01, 0x95, 0x09, 0x81, 0x02}, 3},  // no IDs: 9 bits round up, plus the ID byte
      // The largest report of each kind across IDs 1-3 (features), 16 (output), 17 (input twice).
      {{0x75, 0x08, 0x85, 0x01, 0x95, 0x04, 0xB1, 0x02, 0x85, 0x02, 0x95, 0x08, 0xB1, 0x02, 0x85, 0x03, 0x95, 0x02,
        0xB1, 0x02, 0x85, 0x10, 0x95, 0x3F, 0x91, 0x02, 0x85, 0x11, 0x95, 0x10, 0x81, 0x02, 0x95, 0x20, 0x81, 0x02},
       49, 64, 9, true},
      {{0x77, 0x08, 0x00, 0x00, 0x00, 0x96, 0x00, 0x01, 0x81, 0x02}, 257},                // 4-byte size, 2-byte count
      {{0x75, 0x08, 0x95, 0x04, 0xA4, 0x95, 0x20, 0x81, 0x02, 0xB4, 0x91, 0x02}, 33, 5},  // push and pop
      {{0xFE, 0x03, 0x42, 0x81, 0x02, 0x03, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02}, 3},      // long item skipped
      {{0x75, 0x08, 0x96, 0xFE, 0xFF, 0x81, 0x02}, 0xFFFF},                               // largest that fits
      {{0x75, 0x08, 0x96, 0xFF, 0xFF, 0x81, 0x02}, -1},                                   // one byte more
      {{0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02}, -1},     // would wrap
      {std::vector<uint8_t>(bridge.begin(), bridge.begin() + 12), -1},                    // cut inside an item
      {{0x75, 0x08, 0x95, 0x04, 0x81, 0x02, 0x85, 0x00}, -1},                             // report ID 0
      {{0x86, 0x00, 0x01}, -1},                                                           // ID wider than a byte
      {{0x75, 0x08, 0xB4}, -1},                                                           // pop without push
      {std::vector<uint8_t>(65, 0xA4), -1},                                               // push too deep
      {{0xFE, 0x10, 0x00, 0x01, 0x02}, -1},                                               // long item cut short
      {{0xFE, 0x00}, -1},                                                                 // its header cut short
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.descriptor));
    const HidReportLengths got = hid_report_lengths(c.descriptor.data(), c.descriptor.size());
    EXPECT_EQ(got.valid, c.input >= 0);
    EXPECT_EQ(got.numbered_reports, c.numbered);
    EXPECT_EQ(std::vector<int>({got.input, got.output, got.feature}),
              std::vector<int>({std::max(c.input, 0), c.output, c.feature}));
  }
}

}  // namespace
