// Report lengths from report descriptors, as the HID class counts them.
#include "platform/hid_report_descriptor.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

HidReportLengths parse(const std::vector<uint8_t>& descriptor) {
  return hid_report_lengths(descriptor.data(), descriptor.size());
}

void expect_rejected(const std::vector<uint8_t>& descriptor) {
  const HidReportLengths lengths = parse(descriptor);
  EXPECT_FALSE(lengths.valid);
  EXPECT_EQ(lengths.input, 0);
  EXPECT_EQ(lengths.output, 0);
  EXPECT_EQ(lengths.feature, 0);
}

// A vendor-defined bridge: report ID 9, 63 data bytes each way.
const std::vector<uint8_t> kBridgeBoard = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage 1
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x09,        //   Report ID 9
    0x15, 0x00,        //   Logical Minimum 0
    0x26, 0xFF, 0x00,  //   Logical Maximum 255
    0x75, 0x08,        //   Report Size 8
    0x95, 0x3F,        //   Report Count 63
    0x09, 0x01,        //   Usage 1
    0x81, 0x02,        //   Input (Data, Var, Abs)
    0x09, 0x01,        //   Usage 1
    0x91, 0x02,        //   Output (Data, Var, Abs)
    0xC0,              // End Collection
};

// A boot keyboard: no report IDs.
const std::vector<uint8_t> kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,              // Generic Desktop, Keyboard, Collection
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,  // modifier usages, Logical 0..1
    0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,  // 8 x 1 bit Input
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,              // 1 x 8 bit Input (constant)
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01,  // 5 LEDs
    0x29, 0x05, 0x91, 0x02,                          // Output
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,              // 3 bit Output padding
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,  // 6 keys
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,  // Input
    0xC0,
};

TEST(HidReportDescriptor, BridgeBoardReportsCountTheIdByte) {
  const HidReportLengths lengths = parse(kBridgeBoard);
  EXPECT_TRUE(lengths.valid);
  EXPECT_TRUE(lengths.numbered_reports);
  EXPECT_EQ(lengths.input, 64);
  EXPECT_EQ(lengths.output, 64);
  EXPECT_EQ(lengths.feature, 0);
}

TEST(HidReportDescriptor, UnnumberedReportsStillCountAnIdByte) {
  const HidReportLengths lengths = parse(kBootKeyboard);
  EXPECT_TRUE(lengths.valid);
  EXPECT_FALSE(lengths.numbered_reports);
  EXPECT_EQ(lengths.input, 9);   // 8 + 8 + 48 bits
  EXPECT_EQ(lengths.output, 2);  // 5 + 3 bits
}

TEST(HidReportDescriptor, LargestReportOfEachKindWinsAcrossIds) {
  const HidReportLengths lengths = parse({
      0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,  //
      0x75, 0x08,                                // Report Size 8 for all
      0x85, 0x01, 0x95, 0x04, 0xB1, 0x02,        // ID 1: 4-byte feature
      0x85, 0x02, 0x95, 0x08, 0xB1, 0x02,        // ID 2: 8-byte feature
      0x85, 0x03, 0x95, 0x02, 0xB1, 0x02,        // ID 3: 2-byte feature
      0x85, 0x10, 0x95, 0x3F, 0x91, 0x02,        // ID 16: 63-byte output
      0x85, 0x11, 0x95, 0x10, 0x81, 0x02,        // ID 17: 16-byte input
      0x95, 0x20, 0x81, 0x02,                    // ID 17 again: +32 bytes
      0xC0,
  });
  EXPECT_TRUE(lengths.valid);
  EXPECT_EQ(lengths.feature, 9);
  EXPECT_EQ(lengths.output, 64);
  EXPECT_EQ(lengths.input, 49);
}

TEST(HidReportDescriptor, BitsRoundUpToWholeBytes) {
  // 9 one-bit fields: two bytes, plus the ID byte.
  EXPECT_EQ(parse({0x75, 0x01, 0x95, 0x09, 0x81, 0x02}).input, 3);
  // A 4-byte Report Size and a 2-byte Report Count are read little-endian.
  EXPECT_EQ(parse({0x77, 0x08, 0x00, 0x00, 0x00, 0x96, 0x00, 0x01, 0x81, 0x02}).input, 257);
}

TEST(HidReportDescriptor, PushAndPopRestoreTheGlobalState) {
  const HidReportLengths lengths = parse({
      0x75, 0x08, 0x95, 0x04,  // 4 x 8 bits
      0xA4,                    // Push
      0x95, 0x20, 0x81, 0x02,  // 32 bytes of input
      0xB4,                    // Pop: back to 4 x 8 bits
      0x91, 0x02,              // 4 bytes of output
  });
  EXPECT_TRUE(lengths.valid);
  EXPECT_EQ(lengths.input, 33);
  EXPECT_EQ(lengths.output, 5);
}

TEST(HidReportDescriptor, LongItemsAreSkipped) {
  const HidReportLengths lengths = parse({0xFE, 0x03, 0x42, 0x81, 0x02, 0x03,  // long item whose data looks like items
                                          0x75, 0x08, 0x95, 0x02, 0x81, 0x02});
  EXPECT_TRUE(lengths.valid);
  EXPECT_EQ(lengths.input, 3);
}

TEST(HidReportDescriptor, MalformedDescriptorsGiveNoLengths) {
  std::vector<uint8_t> truncated = kBridgeBoard;
  truncated.resize(12);  // inside Logical Maximum's two data bytes
  expect_rejected(truncated);
  expect_rejected({0x75, 0x08, 0x95, 0x04, 0x81, 0x02, 0x85, 0x00});  // Report ID 0 is reserved
  expect_rejected({0x86, 0x00, 0x01});                                // Report ID wider than a byte
  expect_rejected({0x75, 0x08, 0xB4});                                // Pop without Push
  expect_rejected({0xFE, 0x10, 0x00, 0x01, 0x02});                    // long item cut short
  expect_rejected({0xFE, 0x00});                                      // long item header cut short
  std::vector<uint8_t> deep;
  for (int i = 0; i < 65; ++i) deep.push_back(0xA4);
  expect_rejected(deep);  // Push beyond any sane depth
}

TEST(HidReportDescriptor, HugeDeclaredSizesDoNotWrap) {
  // 0xFFFFFFFF fields of 0xFFFFFFFF bits: far beyond any report length.
  expect_rejected({0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02});
  // The largest length that fits: 65534 data bytes plus the ID byte.
  EXPECT_EQ(parse({0x75, 0x08, 0x96, 0xFE, 0xFF, 0x81, 0x02}).input, 0xFFFF);
  expect_rejected({0x75, 0x08, 0x96, 0xFF, 0xFF, 0x81, 0x02});
}

}  // namespace
