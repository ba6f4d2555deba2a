// Intel HEX reader, printing and C-source writer, on real files in a scratch
// directory; the reader is also checked against srec_cat on generated files.
#include "hex/hex_control.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <random>
#include <tuple>

#include "support_process.h"

namespace {

const std::string kEndOfFile = ":00000001FF\r\n";

// One record in upper-case digits with its correct checksum and line end.
std::string record(uint16_t address, uint8_t type, const std::vector<uint8_t>& data, const char* line_end = "\r\n") {
  std::vector<uint8_t> bytes = {uint8_t(data.size()), uint8_t(address >> 8), uint8_t(address), type};
  for (uint8_t byte : data) bytes.push_back(byte);
  bytes.push_back(uint8_t(-std::accumulate(bytes.begin(), bytes.end(), 0)));
  std::string text = ":";
  for (uint8_t byte : bytes) text += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
  return text + line_end;
}

// Writes `content` byte for byte into a file of `dir`; returns its path.
std::string write_text(const TempDir& dir, const std::string& name, const std::string& content) {
  std::ofstream(dir.file(name), std::ios::binary) << content;
  return dir.file(name);
}

template <class F>
std::string printed(F action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

// The records up to the end-of-file record, each as "AAAA TT: DD DD ...".
std::vector<std::string> describe(const INTEL_HEX_RECORD* entry) {
  std::vector<std::string> out;
  for (bool more = true; more; more = (entry++)->nRecord_type != 1) {
    char text[80];
    int n = std::snprintf(text, sizeof text, "%04X %02X:", entry->nAddress, entry->nRecord_type);
    for (int i = 0; i < entry->nByte_count && i < 16; ++i) n += std::snprintf(text + n, 4, " %02X", entry->aData[i]);
    out.push_back(text);
  }
  return out;
}

struct Reading {
  int code = 0;
  std::string out;  // what hex_file_to_mem printed, "|", what hex_getHexRecordFromFile printed
  std::vector<std::string> records;
  INTEL_HEX_RECORD_INFO info{};
  std::tuple<int, std::string> outcome() const { return {code, out}; }
};

// Reads `path` with both readers and checks that they agree.
Reading read_both(const std::string& path) {
  Reading r;
  INTEL_HEX_FILE* file = reinterpret_cast<INTEL_HEX_FILE*>(&r);  // both must be overwritten
  INTEL_HEX_RECORD* table = reinterpret_cast<INTEL_HEX_RECORD*>(&r);
  r.out = printed([&] { r.code = hex_file_to_mem(&file, path.c_str()); }) + "|";
  const bool accepted = r.code == HEX_RET_OK;
  r.out += printed([&] { EXPECT_EQ(hex_getHexRecordFromFile(&table, path.c_str()), accepted ? 1 : 0); });
  EXPECT_EQ(std::tuple(file != nullptr, table != nullptr), std::tuple(accepted, accepted));
  if (accepted && file && table) {
    std::tie(r.records, r.info) = std::tuple(describe(file->pRecords), *file->pInfo);
    EXPECT_EQ(describe(table), r.records);
    hex_file_release(file);
    hex_records_release(table);
  }
  return r;
}

TEST(HexReader, AcceptedAndRefusedFiles) {
  TempDir dir;
  const std::string data = record(0x0000, 0, {1, 2, 3, 4}), end = "0000 01:";
  const std::vector<std::pair<std::string, std::vector<std::string>>> accepted = {
      {kEndOfFile, {end}}, {":00000001FF\n", {end}}, {":00000001FF", {end}}, {":02123401ABCD00", {"1234 01: AB CD"}},
      {record(0xFFF0, 0, std::vector<uint8_t>(16, 0xA5)) + kEndOfFile,
       {"FFF0 00: A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5 A5", end}},
      {":04abcd00deadbeef00\r\n:00000001ff\r\n", {"ABCD 00: DE AD BE EF", end}},  // wrong checksum
      {":02G0Z000zz1x00\r\n" + kEndOfFile, {"0000 00: 00 10", end}},  // non-digits read as 0
      {":020000040800F2\r\n" + record(0x10, 0, {1}) + record(0, 2, {0x10, 0}) + record(0, 3, {0, 0, 1, 0}) + kEndOfFile,
       {"0000 04: 08 00", "0010 00: 01", "0000 02: 10 00", "0000 03: 00 00 01 00", end}},  // stored, not applied
      {record(0x40, 0, {}) + kEndOfFile + "\r\n garbage \x01\xFF:99", {"0040 00:", end}},
  };
  for (const auto& [text, records] : accepted) {
    const Reading r = read_both(write_text(dir, "in.hex", text));
    EXPECT_EQ(std::tuple(r.code, r.records, r.out), std::tuple(HEX_RET_OK, records, "|"))
        << testing::PrintToString(text);
  }
  const std::string refused[] = {
      "", " " + kEndOfFile, "\xEF\xBB\xBF" + kEndOfFile, record(0, 0, std::vector<uint8_t>(17, 1)) + kEndOfFile,
      record(0, 5, {0, 0, 1, 0}) + kEndOfFile, ":000000FF01\r\n" + kEndOfFile, record(0, 0, {1}, " \r\n") + kEndOfFile,
      record(0, 0, {1}, "\n") + ":00000001FF\n", data + "\r\n" + kEndOfFile,  // LF alone, an empty line
      data, data.substr(0, data.size() - 2),  // no end record
      data + ":1000000001020304", data + ":00000001", ":00000001F", ":", ":10000000AB",  // cut short
      std::string("\x00\x0a\xff:\x0a\x0d", 6), std::string(":\x10\x00\x0a\x0d\x0a\xff\xfe\x0a\x0a", 10)};
  for (const std::string& text : refused) {
    EXPECT_EQ(read_both(write_text(dir, "in.hex", text)).outcome(),
              std::tuple(HEX_RET_WRONG_FILE_TYPE, "|- Wrong hex file type.\n"))
        << testing::PrintToString(text);
  }
}

TEST(HexReader, CountsLineFeedsBytesAndTheLargestEndModulo65536) {
  // 70000 records of 16 bytes (0xFFF0 + 16 wraps to 0, later records set it
  // again), a lower record, an address record and line feeds after the end.
  std::string text;
  for (int i = 0; i < 70000; ++i) text += record(uint16_t(i * 16), 0, std::vector<uint8_t>(16, uint8_t(i)));
  TempDir dir;
  const Reading r = read_both(write_text(dir, "big.hex", text + record(0x10, 0, {5, 6}) + ":020000040800F2\r\n" +
                                                             kEndOfFile + "\n\r\n\n"));
  EXPECT_EQ(std::tuple(r.records.size(), r.records.at(69999).substr(0, 11)), std::tuple(70003u, "16F0 00: 6F"));
  EXPECT_EQ(std::tuple(r.info.nRecord_cournt, r.info.nTotal_bytes, r.info.nLast_address),
            std::tuple(70006 % 65536, (70000 * 16 + 4) % 65536, 69999 % 4096 * 16 + 16));
}

TEST(HexReader, TableGrowsWhenRecordsOutnumberLineFeedsAndFailuresAreReported) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 40; ++i) text += record(uint16_t(i), 0, {uint8_t(i)}, "\r\r");  // no line feed at all
  const Reading r = read_both(write_text(dir, "in.hex", text + ":00000001FF"));
  EXPECT_EQ(std::tuple(r.records.size(), r.records.at(39), r.info.nRecord_cournt), std::tuple(41u, "0027 00: 27", 0));
  for (const std::string& path : {dir.file("missing.hex"), dir.file("")}) {
    const std::string failed = "- Opening " + path + " failed.\n";
    EXPECT_EQ(read_both(path).outcome(), std::tuple(HEX_RET_NO_HEX_FILE, failed + "|" + failed));
  }
  // A kernel attribute file claims a size of a page and holds a few bytes.
  const char* short_file = "/sys/kernel/mm/transparent_hugepage/enabled";
  struct stat status {};
  if (stat(short_file, &status) == 0 && status.st_size > off_t(read_file(short_file).size())) {
    EXPECT_EQ(read_both(short_file).outcome(), std::tuple(HEX_RET_READ_FILE_FAILED, "|- Reading fault.\n"));
  }
}

TEST(HexPrint, ErrorMessagesAndATableWithoutLeadingDataRecords) {
  const std::string names[] = {"UNKNOWN\n\n", "UNKNOWN\n\n", "", "HEX_RET_NO_HEX_FILE \n\n",
      "HEX_RET_WRONG_FILE_TYPE \n\n", "HEX_RET_WRONG_FILE_SIZE \n\n", "HEX_RET_MEMORY_FAULT \n\n",
      "HEX_RET_READ_FILE_FAILED \n\n", "HEX_RET_WRONG_CHKSUM \n\n", "UNKNOWN\n\n"};  // codes -1 to 8
  for (int code = -1; code <= 8; ++code) {
    EXPECT_EQ(printed([&] { hex_print_error_msg(code); }), "  HEX file Error : " + names[code + 1]) << code;
  }
  const INTEL_HEX_RECORD table[2] = {{2, 0, 4, {8, 0}}, {0, 0, 1, {}}};
  EXPECT_EQ(printed([&] { hex_print_all(table); }), "\n\n");
}

TEST(HexCFile, StopsAtTheEndRecordAndRefusesShortNamesAndUnopenablePlaces) {
  TempDir dir;
  const INTEL_HEX_RECORD table[2] = {{0, 0, 1, {}}, {1, 0x10, 0, {0x55}}};
  const INTEL_HEX_RECORD_INFO info{0x1234, 0xFFFF, 0};
  EXPECT_EQ(printed([&] { EXPECT_EQ(hex_mem_to_cfile(table, &info, dir.file("x.c").c_str()), 0); }), "");
  const std::string source =
      "\r\nINTEL_HEX_RECORD_INFO x_info = {\r\n\r\n\t0x1234,\t\t// nRecord_cournt ( Count of data records )\r\n"
      "\t0xFFFF,\t\t// nTotal_bytes\r\n\t0x0000,\t\t// nLast_address\r\n};\r\n\r\n\r\n"
      "INTEL_HEX_RECORD x[] = {\r\n\r\n{\r\n\t0x00,\r\n\t0x0000,\r\n\t0x01,\r\n\t{}\r\n},\r\n};\r\n\r\n";
  EXPECT_EQ(read_file(dir.file("x.c")), std::vector<uint8_t>(source.begin(), source.end()));

  const std::string dot_c = dir.file(".c"), no_dir = dir.file("no/such/dir/fw.c");
  for (const char* path : {"ab", "", dot_c.c_str(), no_dir.c_str(), static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(printed([&] { EXPECT_EQ(hex_mem_to_cfile(table, &info, path), -1); }), " Openning C file failed\n\n");
  }
  EXPECT_FALSE(std::filesystem::exists("ab") || std::filesystem::exists(dot_c));
}

// Files of data records out of address order, each in its own 16-byte slot:
// our reader puts the same bytes at the same addresses as srec_cat (holes 0xFF).
#ifndef _WIN32
TEST(HexReaderDifferential, AgreesWithSrecCatOnDataRecords) {
  TempDir dir;
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 random(seed);
    std::string text;
    for (unsigned i = 0; i < 300; ++i) {
      std::vector<uint8_t> data(1 + random() % 16);
      for (uint8_t& byte : data) byte = uint8_t(random());
      const unsigned slot = (i * 2731 + seed * 977) % 4096;  // a new slot for every i < 4096
      text += record(uint16_t(slot * 16 + random() % (17 - data.size())), 0, data);
    }
    const std::string path = write_text(dir, "in.hex", text + kEndOfFile);
    const ProcessResult theirs =
        run_process({"/bin/sh", "-c", "exec srec_cat \"$0\" -intel -fill 0xFF 0 0x10000 -o - -binary", path});
    if (theirs.exit_code == 127) GTEST_SKIP() << "srec_cat is not installed";
    std::string ours(0x10000, '\xFF');
    INTEL_HEX_RECORD* table = nullptr;
    ASSERT_EQ(hex_getHexRecordFromFile(&table, path.c_str()), 1);
    for (auto* e = table; e->nRecord_type == 0; ++e) std::copy_n(e->aData, e->nByte_count, ours.begin() + e->nAddress);
    hex_records_release(table);
    EXPECT_TRUE(theirs.exit_code == 0 && theirs.out == ours) << "seed " << seed << ": " << theirs.err;
  }
}
#endif

}  // namespace
