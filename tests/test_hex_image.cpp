// Intel HEX files read as flat flash images: every refusal with its line,
// line ends, address records, and telling HEX text from a raw binary.
#include "hex/hex_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <tuple>

#include "support_hex.h"
#include "support_process.h"

namespace {

std::vector<uint8_t> bytes_of(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Reads `text` as "fw.hex" in [lo, hi]; the error, or "" when it is accepted.
std::string refusal(const std::string& text, uint32_t lo = HEX_UPDATE_LO, uint32_t hi = HEX_FLASH_HI) {
  HexImage image;
  std::string error;
  const bool ok =
      hex_image_parse("fw.hex", reinterpret_cast<const uint8_t*>(text.data()), text.size(), lo, hi, &image, &error);
  EXPECT_EQ(ok, error.empty());
  EXPECT_EQ(ok, !image.bytes.empty());
  return error;
}

HexImage accepted(const std::string& text, uint32_t lo = HEX_FLASH_LO, uint32_t hi = HEX_FLASH_HI) {
  HexImage image;
  std::string error;
  EXPECT_TRUE(
      hex_image_parse("fw.hex", reinterpret_cast<const uint8_t*>(text.data()), text.size(), lo, hi, &image, &error))
      << error;
  EXPECT_EQ(image.bytes.size(), image.end - image.lowest);
  EXPECT_EQ(image.given.size(), image.bytes.size());
  return image;
}

TEST(HexImage, EveryRefusalNamesItsLineAndReason) {
  const std::string data = hex_record(0x4000, 0, {1, 2, 3, 4});  // flash 0x4000..0x4003
  std::string bad_sum = data;
  bad_sum[bad_sum.size() - 3] ^= 1;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {data + "\r\n" + bad_sum + kHexEndOfFile, "fw.hex:3: checksum mismatch"},
      {data + "S1130000\r\n" + kHexEndOfFile, "fw.hex:2: not a record (a record starts with ':')"},
      {":04400000010G030400\r\n" + kHexEndOfFile, "fw.hex:1: not a hex digit at column 13"},
      {":0440000001020304E\n" + kHexEndOfFile, "fw.hex:1: odd number of hex digits"},
      {":00000001\n", "fw.hex:1: record too short"},
      {":05400000010203040E\r\n" + kHexEndOfFile, "fw.hex:1: record length does not match its byte count 0x05"},
      {data + hex_record(0, 6, {}) + kHexEndOfFile, "fw.hex:2: unknown record type 0x06"},
      {data + hex_record(0, 1, {0}), "fw.hex:2: end record with data"},
      {hex_record(0, 4, {0}) + data + kHexEndOfFile, "fw.hex:1: address record of type 0x04 needs 2 data bytes, not 1"},
      {data + hex_record(0, 5, {0, 0}) + kHexEndOfFile,
       "fw.hex:2: start address record of type 0x05 needs 4 data bytes, not 2"},
      {hex_record(0xFFFC, 0, {1, 2, 3, 4, 5}) + kHexEndOfFile,
       "fw.hex:1: data at offset 0xFFFC run past the end of its 64 KiB window"},
      {hex_record(0x3FFE, 0, {1, 2, 3}) + kHexEndOfFile, "fw.hex:1: data at 0x03FFE lie outside the range 0x04000..0x1FFFF"},
      {data + hex_linear(2) + hex_record(0, 0, {1}) + kHexEndOfFile,
       "fw.hex:3: data at 0x20000 lie outside the range 0x04000..0x1FFFF"},
      {data + hex_record(0x4004, 0, std::vector<uint8_t>(16, 0)) + hex_record(0x4013, 0, {9}) + kHexEndOfFile,
       "fw.hex:3: data at 0x04013 given twice (overlapping records)"},
      {data + "\r\n" + hex_record(0x4004, 0, {5}), "fw.hex:3: no end record"},
      {data + hex_record(0x4004, 0, {5}, ""), "fw.hex:2: no end record"},
      {"", "fw.hex:1: no end record"},
      {data + kHexEndOfFile + "\r\n  \r\n" + data, "fw.hex:5: text after the end record"},
      {kHexEndOfFile, "fw.hex:1: no data records"},
      {data.substr(0, data.size() - 2) + "\r" + kHexEndOfFile, "fw.hex:1: not a hex digit at column 20"},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(refusal(text), error) << text;
  // The overlap and the range are judged byte by byte: adjacent records and
  // the range's edges pass.
  EXPECT_EQ(refusal(hex_record(0x4000, 0, {1}) + hex_record(0x4001, 0, {2}) + hex_linear(1) +
                    hex_record(0xFFFF, 0, {3}) + kHexEndOfFile),
            "");
}

TEST(HexImage, LineEndsBlanksAndCaseDoNotChangeTheImage) {
  const std::string body = hex_record(0x4010, 0, {0xAB, 0xCD}) + hex_record(0x4000, 0, {0x12}) + kHexEndOfFile;
  const HexImage reference = accepted(body);
  EXPECT_EQ(reference.lowest, 0x4000u);
  EXPECT_EQ(reference.end, 0x4012u);
  std::vector<uint8_t> expected(0x12, 0xFF);
  expected[0] = 0x12, expected[0x10] = 0xAB, expected[0x11] = 0xCD;
  EXPECT_EQ(reference.bytes, expected);
  std::vector<bool> given(0x12, false);
  given[0] = given[0x10] = given[0x11] = true;
  EXPECT_EQ(reference.given, given);

  std::string lf = body, lower = body;
  for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
  for (char& c : lower) c = char(std::tolower(c));
  for (const std::string& text : {lf, lower, "\r\n \t\n" + body.substr(0, body.size() - 2) + "  \r\n\x1A",
                                  body.substr(0, body.size() - 2), "\xEF\xBB\xBF" + body}) {
    const HexImage image = accepted(text);
    EXPECT_EQ(std::tie(image.lowest, image.end, image.bytes, image.given),
              std::tie(reference.lowest, reference.end, reference.bytes, reference.given))
        << text;
  }
}

TEST(HexImage, SegmentAndLinearAddressRecordsMoveTheDataAfterThem) {
  // Segment 0x1800 is 0x18000; linear 0x0001 is 0x10000; the start records
  // change nothing; each address record holds until the next.
  const HexImage image = accepted(hex_record(0x4000, 0, {1}) + hex_segment(0x1800) + hex_record(0x0010, 0, {2, 3}) +
                                  hex_record(0, 3, {0, 0, 0x38, 0}) + hex_linear(1) + hex_record(0xFFFE, 0, {4, 5}) +
                                  hex_record(0, 5, {0, 0, 0x40, 0}) + hex_record(0x0001, 0, {6}) + hex_segment(0) +
                                  hex_record(0x4001, 0, {7}) + kHexEndOfFile);
  EXPECT_EQ(image.lowest, 0x4000u);
  EXPECT_EQ(image.end, 0x1FFFFu + 1);
  std::vector<uint8_t> flash;
  ASSERT_TRUE(hex_image_flatten(image, 0, 0x20000, &flash));
  std::vector<uint8_t> expected(0x20000, 0xFF);
  expected[0x4000] = 1, expected[0x4001] = 7, expected[0x18010] = 2, expected[0x18011] = 3;
  expected[0x1FFFE] = 4, expected[0x1FFFF] = 5, expected[0x10001] = 6;
  EXPECT_EQ(flash, expected);

  // The update image: flash 0x4000 on, 0x1C000 bytes. A range that would cut
  // data off is refused, and nothing is handed back.
  std::vector<uint8_t> update;
  ASSERT_TRUE(hex_image_flatten(image, HEX_UPDATE_LO, HEX_UPDATE_SIZE, &update));
  EXPECT_TRUE(std::equal(update.begin(), update.end(), expected.begin() + HEX_UPDATE_LO));
  std::vector<uint8_t> untouched = {42};
  EXPECT_FALSE(hex_image_flatten(image, 0x4001, 0x1BFFF, &untouched));
  EXPECT_FALSE(hex_image_flatten(image, 0x4000, 0x1BFFF, &untouched));
  EXPECT_EQ(untouched, std::vector<uint8_t>{42});
}

TEST(HexImage, FilesThatCannotBeReadSayWhy) {
  TempDir dir;
  HexImage image;
  std::string error;
  const std::string missing = dir.file("missing.hex");
  EXPECT_FALSE(hex_image_read(missing.c_str(), 0, HEX_FLASH_HI, &image, &error));
  EXPECT_EQ(error, missing + ": No such file or directory");
  EXPECT_FALSE(hex_image_read(dir.path().c_str(), 0, HEX_FLASH_HI, &image, &error));
  EXPECT_EQ(error, dir.path() + ": not a regular file");
  EXPECT_FALSE(hex_image_parse("fw.hex", nullptr, 0, 0, 0xFFFFFFFF, &image, &error));
  EXPECT_EQ(error, "fw.hex: flash range 0x00000..0xFFFFFFFF is too wide");

  const std::string path = dir.file("fw.hex");
  write_file(path, bytes_of(hex_record(0x4000, 0, {5}) + "\n" + hex_record(0x4000, 0, {5}) + kHexEndOfFile));
  EXPECT_FALSE(hex_image_read(path.c_str(), 0, HEX_FLASH_HI, &image, &error));
  EXPECT_EQ(error, path + ":3: data at 0x04000 given twice (overlapping records)");
  EXPECT_TRUE(image.bytes.empty());
}

// HEX by name, or by a ':' as the first byte after a byte order mark and
// blanks; a flawed HEX file is still HEX (the reader names its line), never a
// raw image. Text that is not HEX is told from firmware by its first bytes.
TEST(HexImage, TellsHexFilesByNameOrFirstByteAndTextFromFirmware) {
  std::vector<uint8_t> binary = make_image();
  binary[0] = 0x20;
  const std::string bom = "\xEF\xBB\xBF";
  const std::vector<std::pair<std::string, bool>> cases = {
      {kHexEndOfFile, true},
      {"\r\n \t\n:020000040001F9\n", true},
      {":1\n", true},  // a first record with a wrong digit count
      {bom + ":00000001FF\r\n", true},
      {bom + "\r\n:0", true},
      {";comment\n:00000001FF\n", false},
      {"\xEF\xBB:00000001FF\n", false},
      {"  \r\n", false},
      {bom, false},
      {"", false},
  };
  for (const auto& [text, hex] : cases) {
    EXPECT_EQ(hex_image_is_hex(bytes_of(text).data(), text.size()), hex) << text;
  }

  TempDir dir;
  write_file(dir.file("fw.bin"), binary);
  write_file(dir.file("fw.IHX"), binary);
  write_file(dir.file("colon.bin"), bytes_of(":" + std::string(binary.begin(), binary.end())));
  EXPECT_FALSE(hex_image_file_is_hex(dir.file("fw.bin").c_str()));
  EXPECT_TRUE(hex_image_file_is_hex(dir.file("fw.IHX").c_str()));
  EXPECT_TRUE(hex_image_file_is_hex(dir.file("colon.bin").c_str()));
  EXPECT_FALSE(hex_image_file_is_hex(dir.file("missing.hex").c_str()));

  const std::string notes(300, 'a');
  EXPECT_TRUE(hex_image_looks_like_text(bytes_of(notes + "\x01").data(), 301));
  EXPECT_TRUE(hex_image_looks_like_text(bytes_of("; notes\r\n\tmore\n").data(), 15));
  EXPECT_FALSE(hex_image_looks_like_text(bytes_of("notes\x7F").data(), 6));
  EXPECT_FALSE(hex_image_looks_like_text(binary.data(), binary.size()));
}

}  // namespace
