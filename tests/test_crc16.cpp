// The CRC-16 table, the word CRC routine and the unit checksum, checked
// against a plain bitwise CRC-16/UMTS written here from its definition.
#include "app/iap_update.h"

#include "kd63507.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

uint16_t bitwise_crc16(uint16_t crc, const std::vector<uint8_t>& bytes) {
  for (uint8_t byte : bytes) {
    crc ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x8005) : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

// The checksum from its definition: two lanes of little-endian words, each
// word's high byte fed first.
uint32_t reference_checksum(const std::vector<uint8_t>& unit) {
  std::vector<uint8_t> even, odd;
  for (size_t w = 0; w + 1 < unit.size(); w += 2) {
    auto& lane = (w / 2) % 2 == 0 ? even : odd;
    lane.push_back(unit[w + 1]);
    lane.push_back(unit[w]);
  }
  return ~((static_cast<uint32_t>(bitwise_crc16(0, odd)) << 16) | bitwise_crc16(0, even));
}

TEST(Crc16, TableIsTheSingleByteCrcOfEveryIndex) {
  const std::vector<uint8_t> digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  ASSERT_EQ(bitwise_crc16(0, digits), 0xFEE8);  // the reference is CRC-16/UMTS
  for (unsigned i = 0; i < 256; ++i) {
    EXPECT_EQ(CRC16Lut[i], bitwise_crc16(0, {static_cast<uint8_t>(i)})) << "entry " << i;
  }
}

TEST(Crc16, WordCalcFeedsEverySecondWordHighByteFirst) {
  const uint16_t words[] = {0x3132, 0xAAAA, 0x3334, 0xBBBB, 0x3536, 0xCCCC};
  EXPECT_EQ(Crc16WordCalc(words, 0, 0x1234), 0x1234);  // nothing fed: the seed
  EXPECT_EQ(Crc16WordCalc(words, 1, 0), bitwise_crc16(0, {0x31, 0x32}));
  EXPECT_EQ(Crc16WordCalc(words, 2, 0), bitwise_crc16(0, {0x31, 0x32}));
  EXPECT_EQ(Crc16WordCalc(words, 4, 0), bitwise_crc16(0, {0x31, 0x32, 0x33, 0x34}));
  EXPECT_EQ(Crc16WordCalc(words, 5, 0), bitwise_crc16(0, {0x31, 0x32, 0x33, 0x34, 0x35, 0x36}));
  // A seed carries on from an earlier run.
  const uint16_t first = Crc16WordCalc(words, 2, 0);
  EXPECT_EQ(Crc16WordCalc(words + 2, 4, first), Crc16WordCalc(words, 6, 0));
}

TEST(Crc16, UnitChecksumMatchesTheKnownVectors) {
  // 11 22 33 44 55 66 77 88: even lane over 22 11 66 55, odd over 44 33 88 77.
  const uint16_t words[] = {0x2211, 0x4433, 0x6655, 0x8877};
  EXPECT_EQ(Crc16WordCalc(words, 4, 0), 0xFCA0);
  EXPECT_EQ(Crc16WordCalc(words + 1, 4, 0), 0x62DA);
  const uint8_t eight[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  EXPECT_EQ(iap_unit_checksum(eight, sizeof eight), 0x9D25035Fu);

  std::vector<uint8_t> unit(4096, 0x00);
  EXPECT_EQ(iap_unit_checksum(unit.data(), 4096), 0xFFFFFFFFu);
  unit.assign(4096, 0xFF);
  EXPECT_EQ(iap_unit_checksum(unit.data(), 4096), 0x7DFA7DFAu);
}

TEST(Crc16, UnitChecksumOfRandomUnitsAgreesWithTheDefinition) {
  std::mt19937 rng(20240611);
  for (uint32_t length : {4u, 8u, 128u, 1020u, 4096u}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<uint8_t> unit(length);
      for (uint8_t& byte : unit) byte = static_cast<uint8_t>(rng());
      const uint32_t sum = iap_unit_checksum(unit.data(), length);
      EXPECT_EQ(sum, reference_checksum(unit)) << "length " << length;
      EXPECT_EQ(sum, kd63507_unit_checksum(unit.data(), length));
      // The same through the word routine, on the unit as words.
      std::vector<uint16_t> as_words(length / 2);
      for (size_t w = 0; w < as_words.size(); ++w) {
        as_words[w] = static_cast<uint16_t>(unit[2 * w] | unit[2 * w + 1] << 8);
      }
      const uint32_t n = length / 2;
      EXPECT_EQ(sum, ~((static_cast<uint32_t>(Crc16WordCalc(as_words.data() + 1, n, 0)) << 16) |
                       Crc16WordCalc(as_words.data(), n, 0)));
    }
  }
}

TEST(IapCommandBlock, FieldsAreLittleEndianWithResultCleared) {
  const auto block = iap_command_block(0x00014000, 4096, IAP_CHECK);
  EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.end()),
            (std::vector<uint8_t>{0x00, 0x40, 0x01, 0x00, 0x00, 0x10, 0x00, 0x05}));
}

}  // namespace
