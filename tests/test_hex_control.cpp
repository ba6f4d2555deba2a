// Intel HEX reader, printing and C-source writer, on real files in a scratch
// directory; the reader is also checked against srec_cat on generated files.
#include "hex/hex_control.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support_hex.h"

namespace {

using hex_test::kEndOfFile;
using hex_test::record;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A record as "AAAA TT: DD DD ..." so that tables compare readably.
std::string describe(const INTEL_HEX_RECORD& entry) {
  char text[80];
  int length = std::snprintf(text, sizeof text, "%04X %02X:", entry.nAddress, entry.nRecord_type);
  for (int i = 0; i < entry.nByte_count && i < 16; ++i) {
    length += std::snprintf(text + length, sizeof text - length, " %02X", entry.aData[i]);
  }
  return text;
}

// The records up to and including the end-of-file record.
std::vector<std::string> describe_table(const INTEL_HEX_RECORD* table) {
  std::vector<std::string> out;
  for (const INTEL_HEX_RECORD* entry = table;; ++entry) {
    out.push_back(describe(*entry));
    if (entry->nRecord_type == 1) return out;
  }
}

struct Reading {
  int code = 0;
  std::vector<std::string> records;
  INTEL_HEX_RECORD_INFO info{};
  std::string out;  // what hex_file_to_mem printed
};

// Reads `path` with both readers and checks that they agree.
Reading read_both(const std::string& path) {
  Reading reading;
  INTEL_HEX_FILE* file = reinterpret_cast<INTEL_HEX_FILE*>(&reading);  // must be overwritten
  CaptureStdout();
  reading.code = hex_file_to_mem(&file, path.c_str());
  reading.out = GetCapturedStdout();
  if (reading.code == HEX_RET_OK) {
    reading.records = describe_table(file->pRecords);
    reading.info = *file->pInfo;
    hex_file_release(file);
  } else {
    EXPECT_EQ(file, nullptr);
  }

  INTEL_HEX_RECORD* table = reinterpret_cast<INTEL_HEX_RECORD*>(&reading);
  CaptureStdout();
  const int ok = hex_getHexRecordFromFile(&table, path.c_str());
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(ok, reading.code == HEX_RET_OK ? 1 : 0);
  if (ok == 1) {
    EXPECT_EQ(describe_table(table), reading.records);
    EXPECT_EQ(out, "");
    hex_records_release(table);
  } else {
    EXPECT_EQ(table, nullptr);
    if (reading.code == HEX_RET_WRONG_FILE_TYPE) {
      EXPECT_EQ(out, "- Wrong hex file type.\n");
    }
  }
  return reading;
}

TEST(HexReader, AcceptsWhatTheRulesAllow) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> records;
  };
  const std::vector<Case> cases = {
      {"end record, CR LF", kEndOfFile, {"0000 01:"}},
      {"end record, LF alone", ":00000001FF\n", {"0000 01:"}},
      {"end record, no line end", ":00000001FF", {"0000 01:"}},
      {"data and end", record(0x0100, 0, {0x21, 0x46, 0x01}) + kEndOfFile, {"0100 00: 21 46 01", "0000 01:"}},
      {"sixteen bytes",
       record(0xFFF0, 0, std::vector<uint8_t>(16, 0xA5)) + kEndOfFile,
       {"FFF0 00: A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5", "0000 01:"}},
      {"wrong checksum passes", ":0300300002337A00\r\n" + kEndOfFile, {"0030 00: 02 33 7A", "0000 01:"}},
      {"lower-case digits", ":04abcd00deadbeef00\r\n:00000001ff\r\n", {"ABCD 00: DE AD BE EF", "0000 01:"}},
      {"non-digits read as 0", ":02G0Z000zz1x00\r\n" + kEndOfFile, {"0000 00: 00 10", "0000 01:"}},
      {"address records stored, not applied",
       ":020000040800F2\r\n" + record(0x0010, 0, {1, 2}) + record(0, 2, {0x10, 0}) + record(0, 3, {0, 0, 1, 0}) +
           record(0x0020, 0, {3}) + kEndOfFile,
       {"0000 04: 08 00", "0010 00: 01 02", "0000 02: 10 00", "0000 03: 00 00 01 00", "0020 00: 03", "0000 01:"}},
      {"empty data record", record(0x0040, 0, {}) + kEndOfFile, {"0040 00:", "0000 01:"}},
      {"nothing after the end record is looked at",
       record(0x0000, 0, {9}) + ":00000001FF\r\n\r\n garbage \x01\xFF:99", {"0000 00: 09", "0000 01:"}},
      {"end record with data", ":02123401ABCD00", {"1234 01: AB CD"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reading reading = read_both(hex_test::write_text(dir, "in.hex", c.text));
    EXPECT_EQ(reading.code, HEX_RET_OK);
    EXPECT_EQ(reading.records, c.records);
    EXPECT_EQ(reading.out, "");
  }
}

TEST(HexReader, RefusesWhatTheRulesDoNot) {
  TempDir dir;
  const std::string data = record(0x0000, 0, {1, 2, 3, 4});
  struct Case {
    const char* name;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"empty file", ""},
      {"leading blank", " " + kEndOfFile},
      {"byte-order mark", "\xEF\xBB\xBF" + kEndOfFile},
      {"seventeen bytes", record(0, 0, std::vector<uint8_t>(17, 1)) + kEndOfFile},
      {"type 05", record(0, 5, {0, 0, 1, 0}) + kEndOfFile},
      {"type FF", ":000000FF01\r\n" + kEndOfFile},
      {"LF-only line ends", record(0, 0, {1}, "\n") + ":00000001FF\n"},
      {"trailing blank", record(0, 0, {1}, " \r\n") + kEndOfFile},
      {"empty line between records", data + "\r\n" + kEndOfFile},
      {"no end record", data},
      {"no end record and no line end", data.substr(0, data.size() - 2)},
      {"data cut short", data + ":1000000001020304"},
      {"end record cut short", data + ":00000001"},
      {"end record missing a checksum digit", ":00000001F"},
      {"lone colon", ":"},
      {"byte count runs past the end", ":10000000AB"},
      {"binary garbage", std::string("\x00\x0a\xff:\x0a\x0d", 6)},
      {"colon then binary garbage", std::string(":\x10\x00\x0a\x0d\x0a\xff\xfe\x0a\x0a", 10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reading reading = read_both(hex_test::write_text(dir, "in.hex", c.text));
    EXPECT_EQ(reading.code, HEX_RET_WRONG_FILE_TYPE);
    EXPECT_EQ(reading.out, "");
  }
  // Sixteen bytes is the most a record may hold.
  EXPECT_EQ(read_both(hex_test::write_text(dir, "in.hex", record(0, 0, std::vector<uint8_t>(16, 1)) + kEndOfFile)).code, HEX_RET_OK);
}

TEST(HexReader, CountsLineFeedsBytesAndTheLastAddress) {
  TempDir dir;
  // Records out of order, an address record, empty lines after the end.
  const std::string text = record(0x2000, 0, {1, 2, 3, 4}) + record(0x3000, 0, {5, 6}) + ":020000040800F2\r\n" +
                           record(0x1000, 0, std::vector<uint8_t>(16, 7)) + kEndOfFile + "\n\r\n\n";
  const Reading reading = read_both(hex_test::write_text(dir, "in.hex", text));
  ASSERT_EQ(reading.code, HEX_RET_OK);
  EXPECT_EQ(reading.info.nRecord_cournt, 8);
  EXPECT_EQ(reading.info.nTotal_bytes, 4 + 2 + 2 + 16);
  EXPECT_EQ(reading.info.nLast_address, 0x3002);
}

TEST(HexReader, CountersWrapAndTheTableHoldsEveryRecord) {
  TempDir dir;
  // 70000 records of 16 bytes: the line-feed count and the byte sum pass 65536.
  std::string text;
  constexpr int kRecords = 70000;
  for (int i = 0; i < kRecords; ++i) {
    text += record(static_cast<uint16_t>(i * 16), 0, std::vector<uint8_t>(16, static_cast<uint8_t>(i)));
  }
  text += kEndOfFile;
  const Reading reading = read_both(hex_test::write_text(dir, "big.hex", text));
  ASSERT_EQ(reading.code, HEX_RET_OK);
  ASSERT_EQ(reading.records.size(), kRecords + 1u);
  EXPECT_EQ(reading.records[kRecords - 1].substr(0, 11), "16F0 00: 6F");
  EXPECT_EQ(reading.info.nRecord_cournt, (kRecords + 1) % 65536);
  EXPECT_EQ(reading.info.nTotal_bytes, (kRecords * 16) % 65536);
  // 0xFFF0 + 16 wraps to 0; later records then set it again.
  EXPECT_EQ(reading.info.nLast_address, (kRecords - 1) % 4096 * 16 + 16);
}

TEST(HexReader, TableGrowsWhenRecordsOutnumberLineFeeds) {
  TempDir dir;
  // Line ends of two carriage returns: no line feed at all, 41 records.
  std::string text;
  std::vector<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    text += record(static_cast<uint16_t>(i), 0, {static_cast<uint8_t>(i)}, "\r\r");
    char line[16];
    std::snprintf(line, sizeof line, "%04X 00: %02X", i, i);
    expected.push_back(line);
  }
  text += ":00000001FF";
  expected.push_back("0000 01:");
  const Reading reading = read_both(hex_test::write_text(dir, "in.hex", text));
  ASSERT_EQ(reading.code, HEX_RET_OK);
  EXPECT_EQ(reading.records, expected);
  EXPECT_EQ(reading.info.nRecord_cournt, 0);
}

TEST(HexReader, ReportsFilesThatCannotBeOpenedOrRead) {
  TempDir dir;
  for (const std::string& path : {dir.file("missing.hex"), dir.file("")}) {
    SCOPED_TRACE(path);
    const Reading reading = read_both(path);
    EXPECT_EQ(reading.code, HEX_RET_NO_HEX_FILE);
    EXPECT_EQ(reading.out, "- Opening " + path + " failed.\n");
  }
  INTEL_HEX_RECORD* table = nullptr;
  CaptureStdout();
  EXPECT_EQ(hex_getHexRecordFromFile(&table, dir.file("missing.hex").c_str()), 0);
  EXPECT_EQ(GetCapturedStdout(), "- Opening " + dir.file("missing.hex") + " failed.\n");

  // Kernel attribute files claim a size of a page and hold a few bytes.
  for (const char* path : {"/sys/kernel/profiling", "/sys/kernel/mm/transparent_hugepage/enabled"}) {
    struct stat status {};
    if (stat(path, &status) != 0 || status.st_size <= static_cast<off_t>(hex_test::read_text(path).size())) continue;
    INTEL_HEX_FILE* file = nullptr;
    EXPECT_EQ(hex_file_to_mem(&file, path), HEX_RET_READ_FILE_FAILED);
    EXPECT_EQ(file, nullptr);
    CaptureStdout();
    EXPECT_EQ(hex_getHexRecordFromFile(&table, path), 0);
    EXPECT_EQ(GetCapturedStdout(), "- Reading fault.\n");
    return;
  }
  GTEST_SKIP() << "no file here reports more bytes than it holds";
}

TEST(HexPrint, RecordsAndLeadingDataRecords) {
  INTEL_HEX_RECORD table[4] = {{3, 0x0100, 0, {0x21, 0x46, 0x01}}, {0, 0xABCD, 0, {}}, {2, 0, 4, {8, 0}},
                               {0, 0, 1, {}}};
  CaptureStdout();
  hex_print_record(&table[0]);
  hex_print_record(&table[1]);
  EXPECT_EQ(GetCapturedStdout(), "0100  21 46 01\nABCD \n");

  CaptureStdout();
  hex_print_all(table);
  EXPECT_EQ(GetCapturedStdout(), "\n0100  21 46 01\nABCD \n\n");
  CaptureStdout();
  hex_print_all(&table[2]);
  EXPECT_EQ(GetCapturedStdout(), "\n\n");
}

TEST(HexPrint, ErrorMessages) {
  const std::string prefix = "  HEX file Error : ";
  const std::vector<std::pair<int, std::string>> cases = {
      {1, ""},
      {2, "HEX_RET_NO_HEX_FILE \n\n"},
      {3, "HEX_RET_WRONG_FILE_TYPE \n\n"},
      {4, "HEX_RET_WRONG_FILE_SIZE \n\n"},
      {5, "HEX_RET_MEMORY_FAULT \n\n"},
      {6, "HEX_RET_READ_FILE_FAILED \n\n"},
      {7, "HEX_RET_WRONG_CHKSUM \n\n"},
      {0, "UNKNOWN\n\n"},
      {8, "UNKNOWN\n\n"},
      {-1, "UNKNOWN\n\n"},
  };
  for (const auto& [code, line] : cases) {
    CaptureStdout();
    hex_print_error_msg(code);
    EXPECT_EQ(GetCapturedStdout(), prefix + line) << code;
  }
}

// The C text for the records of text_of_small_file().
const char kSmallC[] =
    "\r\n"
    "INTEL_HEX_RECORD_INFO fw_info = {\r\n"
    "\r\n"
    "\t0x0004,\t\t// nRecord_cournt ( Count of data records )\r\n"
    "\t0x0005,\t\t// nTotal_bytes\r\n"
    "\t0x0103,\t\t// nLast_address\r\n"
    "};\r\n"
    "\r\n"
    "\r\n"
    "INTEL_HEX_RECORD fw[] = {\r\n"
    "\r\n"
    "{\r\n\t0x02,\r\n\t0x0000,\r\n\t0x04,\r\n\t{0x08,0x00,}\r\n},\r\n"
    "{\r\n\t0x03,\r\n\t0x0100,\r\n\t0x00,\r\n\t{0x21,0x46,0x01,}\r\n},\r\n"
    "{\r\n\t0x00,\r\n\t0x0000,\r\n\t0x01,\r\n\t{}\r\n},\r\n"
    "};\r\n"
    "\r\n";

std::string text_of_small_file() {
  return ":020000040800F2\r\n" + record(0x0100, 0, {0x21, 0x46, 0x01}) + kEndOfFile + "\r\n";
}

TEST(HexCFile, WritesSummaryAndRecordsByteForByte) {
  TempDir dir;
  INTEL_HEX_FILE* file = nullptr;
  ASSERT_EQ(hex_file_to_mem(&file, hex_test::write_text(dir, "fw.hex", text_of_small_file()).c_str()), HEX_RET_OK);
  // Objects are named after the file name, not the directories above it.
  CaptureStdout();
  EXPECT_EQ(hex_mem_to_cfile(file->pRecords, file->pInfo, dir.file("fw.c").c_str()), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(hex_test::read_text(dir.file("fw.c")), kSmallC);

  // Records after the end-of-file record are not written.
  INTEL_HEX_RECORD table[2] = {{0, 0, 1, {}}, {1, 0x10, 0, {0x55}}};
  INTEL_HEX_RECORD_INFO info{0x1234, 0xFFFF, 0};
  ASSERT_EQ(hex_mem_to_cfile(table, &info, dir.file("x.c").c_str()), 0);
  EXPECT_EQ(hex_test::read_text(dir.file("x.c")),
            "\r\nINTEL_HEX_RECORD_INFO x_info = {\r\n\r\n\t0x1234,\t\t// nRecord_cournt ( Count of data records )\r\n"
            "\t0xFFFF,\t\t// nTotal_bytes\r\n\t0x0000,\t\t// nLast_address\r\n};\r\n\r\n\r\n"
            "INTEL_HEX_RECORD x[] = {\r\n\r\n{\r\n\t0x00,\r\n\t0x0000,\r\n\t0x01,\r\n\t{}\r\n},\r\n};\r\n\r\n");
  hex_file_release(file);
}

TEST(HexCFile, RefusesNamesWithoutObjectNameAndUnwritablePlaces) {
  TempDir dir;
  INTEL_HEX_RECORD table[1] = {{0, 0, 1, {}}};
  INTEL_HEX_RECORD_INFO info{};
  const std::string failed = " Openning C file failed\n\n";
  for (const std::string& path : {std::string("ab"), std::string(""), dir.file(".c"), dir.file("no/such/dir/fw.c")}) {
    SCOPED_TRACE(path);
    CaptureStdout();
    EXPECT_EQ(hex_mem_to_cfile(table, &info, path.c_str()), -1);
    EXPECT_EQ(GetCapturedStdout(), failed);
  }
  EXPECT_FALSE(std::filesystem::exists("ab"));
  EXPECT_FALSE(std::filesystem::exists(dir.file(".c")));
  CaptureStdout();
  EXPECT_EQ(hex_mem_to_cfile(table, &info, nullptr), -1);
  EXPECT_EQ(GetCapturedStdout(), failed);

  // A full device takes the file but not the text.
  CaptureStdout();
  EXPECT_EQ(hex_mem_to_cfile(table, &info, "/dev/full"), -1);
  EXPECT_EQ(GetCapturedStdout(), " Writing C file failed\n\n");
}

// Bytes by absolute address as srec_cat reads them, from its "vmem" output:
// "@ADDRESS" words set the address, every other word is one byte.
std::map<uint32_t, uint8_t> srec_cat_image(const std::string& path) {
  const ProcessResult result = hex_test::run_shell("exec srec_cat \"$0\" -intel -o - -vmem 8", {path});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  std::map<uint32_t, uint8_t> image;
  std::istringstream words(result.out);
  std::string word;
  uint32_t address = 0;
  while (words >> word) {
    if (word == "/*") {
      while (words >> word && word != "*/") {
      }
    } else if (word[0] == '@') {
      address = static_cast<uint32_t>(std::stoul(word.substr(1), nullptr, 16));
    } else {
      image[address++] = static_cast<uint8_t>(std::stoul(word, nullptr, 16));
    }
  }
  return image;
}

TEST(HexReaderDifferential, AgreesWithSrecCatOnWellFormedFiles) {
  if (!hex_test::srec_cat_installed()) GTEST_SKIP() << "srec_cat is not installed";
  TempDir dir;
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    // Records in random order over up to three 64 KiB segments, each in its
    // own 16-byte slot so that none overlap; segments start with an extended
    // linear address record.
    std::string text;
    const unsigned segments = 1 + random() % 3;
    for (unsigned segment = 0; segment < segments; ++segment) {
      if (segment > 0 || random() % 2) text += record(0, 4, {0, static_cast<uint8_t>(segment)});
      std::vector<uint16_t> slots(4096);
      for (size_t i = 0; i < slots.size(); ++i) slots[i] = static_cast<uint16_t>(i);
      std::shuffle(slots.begin(), slots.end(), random);
      const unsigned count = 1 + random() % 300;
      for (unsigned i = 0; i < count; ++i) {
        const unsigned length = 1 + random() % 16;
        const unsigned offset = random() % (17 - length);
        std::vector<uint8_t> data(length);
        for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
        text += record(static_cast<uint16_t>(slots[i] * 16 + offset), 0, data);
      }
    }
    text += kEndOfFile;
    const std::string path = hex_test::write_text(dir, "in.hex", text);

    INTEL_HEX_RECORD* table = nullptr;
    ASSERT_EQ(hex_getHexRecordFromFile(&table, path.c_str()), 1);
    // The reader leaves address records to the caller: apply them here.
    std::map<uint32_t, uint8_t> ours;
    uint32_t base = 0;
    for (const INTEL_HEX_RECORD* entry = table; entry->nRecord_type != 1; ++entry) {
      if (entry->nRecord_type == 4) base = static_cast<uint32_t>(entry->aData[0] << 24 | entry->aData[1] << 16);
      if (entry->nRecord_type != 0) continue;
      for (int i = 0; i < entry->nByte_count; ++i) ours[base + entry->nAddress + i] = entry->aData[i];
    }
    hex_records_release(table);
    ASSERT_FALSE(ours.empty());
    EXPECT_TRUE(ours == srec_cat_image(path));
  }
}

}  // namespace
