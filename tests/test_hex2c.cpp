// The hex2c command, run as a separate process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>

#include "support_hex.h"
#include "support_process.h"

namespace {

const std::string kUsage =
    "usage: hex2c INPUT.hex OUTPUT.c    write the records as C source\n"
    "       hex2c --print INPUT.hex     print the leading data records\n"
    "       hex2c --bin INPUT.hex OUTPUT.bin [--base HEX] [--size HEX]\n"
    "                                   write flash bytes from --base (default: the lowest\n"
    "                                   address in the file), --size bytes (default: up to\n"
    "                                   the highest), gaps 0xFF\n"
    "       hex2c --help | --version\n"
    "The C source and --print read CR LF line ends only; --bin reads LF too.\n";

// Exit code, stdout and stderr of one run.
std::tuple<int, std::string, std::string> hex2c(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {HEX2C_PATH};
  for (const std::string& argument : arguments) argv.push_back(argument);
  const ProcessResult result = run_process(argv);
  return {result.exit_code, result.out, result.err};
}

TEST(Hex2c, WrongArgumentsPrintTheUsage) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {}, {"in.hex"}, {"--print"}, {"--print", "in.hex", "x.c"}, {"--list", "in.hex"}, {"in.hex", "a.c", "b.c"}}) {
    EXPECT_EQ(hex2c(arguments), std::tuple(2, "", kUsage)) << arguments.size();
  }
  EXPECT_EQ(hex2c({"--help"}), std::tuple(0, kUsage, ""));
  EXPECT_EQ(hex2c({"--version"}), std::tuple(0, "hex2c 1.1.0\n", ""));
}

TEST(Hex2c, WritesCSourceByteForByteAndPrintsTheLeadingDataRecords) {
  TempDir dir;
  const std::string input = dir.file("fw.hex");
  std::ofstream(input) << ":0301000021460194\r\n:00020000FE\r\n:020000040800F2\r\n:0103000009F3\r\n:00000001FF\r\n";
  EXPECT_EQ(hex2c({input, dir.file("fw.c")}), std::tuple(0, "", ""));
  // The objects are named after the file name, not the directories above it.
  const std::string source =
      "\r\nINTEL_HEX_RECORD_INFO fw_info = {\r\n\r\n\t0x0005,\t\t// nRecord_cournt ( Count of data records )\r\n"
      "\t0x0006,\t\t// nTotal_bytes\r\n\t0x0301,\t\t// nLast_address\r\n};\r\n\r\n\r\nINTEL_HEX_RECORD fw[] = {\r\n\r\n"
      "{\r\n\t0x03,\r\n\t0x0100,\r\n\t0x00,\r\n\t{0x21,0x46,0x01,}\r\n},\r\n"
      "{\r\n\t0x00,\r\n\t0x0200,\r\n\t0x00,\r\n\t{}\r\n},\r\n"
      "{\r\n\t0x02,\r\n\t0x0000,\r\n\t0x04,\r\n\t{0x08,0x00,}\r\n},\r\n"
      "{\r\n\t0x01,\r\n\t0x0300,\r\n\t0x00,\r\n\t{0x09,}\r\n},\r\n"
      "{\r\n\t0x00,\r\n\t0x0000,\r\n\t0x01,\r\n\t{}\r\n},\r\n};\r\n\r\n";
  EXPECT_EQ(read_file(dir.file("fw.c")), std::vector<uint8_t>(source.begin(), source.end()));
  EXPECT_EQ(hex2c({"--print", input}), std::tuple(0, "\n0100  21 46 01\n0200 \n\n", ""));
}

TEST(Hex2c, FailuresSayWhyAndEndWithOne) {
  TempDir dir;
  const std::string refused = dir.file("bad.hex"), good = dir.file("fw.hex"), missing = dir.file("missing.hex");
  std::ofstream(refused) << ":0100000001FE\n:00000001FF\n";  // LF alone after a record
  std::ofstream(good) << ":00000001FF\r\n";
  const std::string wrong_type = "  HEX file Error : HEX_RET_WRONG_FILE_TYPE \n\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{refused, dir.file("out.c")}, wrong_type}, {{"--print", refused}, wrong_type},
      {{missing, dir.file("out.c")}, "- Opening " + missing + " failed.\n  HEX file Error : HEX_RET_NO_HEX_FILE \n\n"},
      {{good, dir.file("no/dir/fw.c")}, " Openning C file failed\n\n"},
      {{good, "/dev/full"}, " Writing C file failed\n\n"},
  };
  for (const auto& [arguments, out] : cases) EXPECT_EQ(hex2c(arguments), std::tuple(1, out, "")) << arguments[1];
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.c")));
}

TEST(Hex2c, BinWritesTheFlatImageFromBaseForSize) {
  TempDir dir;
  const std::string input = dir.file("fw.hex"), output = dir.file("fw.bin");
  const std::string text = hex_linear(1) + hex_record(0x0002, 0, {0xC3}) + hex_record(0x0000, 0, {0xA5}) + kHexEndOfFile;
  std::ofstream(input, std::ios::binary) << text;
  // Default: from the lowest address given to the highest.
  EXPECT_EQ(hex2c({"--bin", input, output}), std::tuple(0, "", ""));
  EXPECT_EQ(read_file(output), (std::vector<uint8_t>{0xA5, 0xFF, 0xC3}));
  // The update image route, options before or after the operands, 0x allowed.
  EXPECT_EQ(hex2c({"--bin", "--base", "0x4000", input, output, "--size", "1c000"}), std::tuple(0, "", ""));
  std::vector<uint8_t> expected(0x1C000, 0xFF);
  expected[0xC000] = 0xA5, expected[0xC002] = 0xC3;
  EXPECT_EQ(read_file(output), expected);
  EXPECT_EQ(hex2c({"--bin", input, output, "--base", "FFFE"}), std::tuple(0, "", ""));
  EXPECT_EQ(read_file(output), (std::vector<uint8_t>{0xFF, 0xFF, 0xA5, 0xFF, 0xC3}));
  // --size alone counts from the lowest address; data past it are refused.
  EXPECT_EQ(hex2c({"--bin", input, output, "--size", "4"}), std::tuple(0, "", ""));
  EXPECT_EQ(read_file(output), (std::vector<uint8_t>{0xA5, 0xFF, 0xC3, 0xFF}));
  EXPECT_EQ(hex2c({"--bin", input, output, "--size", "2"}),
            std::tuple(2, "", "hex2c: " + input + ":2: data at 0x10002 lie outside the range 0x10000..0x10001\n"));
  // An output that is a symlink is replaced by the image; the file it named
  // is left alone. A byte order mark before the records is skipped.
  std::ofstream(input, std::ios::binary) << "\xEF\xBB\xBF" << text;
  write_file(dir.file("target.bin"), {7});
  std::filesystem::create_symlink(dir.file("target.bin"), dir.file("link.bin"));
  EXPECT_EQ(hex2c({"--bin", input, dir.file("link.bin")}), std::tuple(0, "", ""));
  EXPECT_FALSE(std::filesystem::is_symlink(dir.file("link.bin")));
  EXPECT_EQ(read_file(dir.file("link.bin")), (std::vector<uint8_t>{0xA5, 0xFF, 0xC3}));
  EXPECT_EQ(read_file(dir.file("target.bin")), (std::vector<uint8_t>{7}));
}

TEST(Hex2c, BinFailuresExitTwoWithTheLineAndWriteNothing) {
  TempDir dir;
  const std::string input = dir.file("fw.hex"), output = dir.file("out.bin"), missing = dir.file("missing.hex");
  const std::string good = hex_record(0x4000, 0, {1, 2}) + kHexEndOfFile;
  std::ofstream(input, std::ios::binary) << good << "junk\r\n";
  const std::string after_end = "hex2c: " + input + ":3: text after the end record\n";
  const std::string usage_error = "usage: hex2c INPUT.hex OUTPUT.c    write the records as C source\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bin", input, output}, after_end},
      {{"--bin", missing, output}, "hex2c: " + missing + ": No such file or directory\n"},
      {{"--bin", input, output, "--base", "zz"}, "hex2c: --base zz: not a hexadecimal number\n" + usage_error},
      {{"--bin", input, output, "--base", "20000"}, "hex2c: --base 20000: a flash address is 0 to 1FFFF\n" + usage_error},
      {{"--bin", input, output, "--base", "4000", "--size", "1C001"},
       "hex2c: --size 1C001: 1 to 1C000 bytes from 0x04000\n" + usage_error},
      {{"--bin", input, output, "--size", "0"}, "hex2c: --size 0: 1 to 20000 bytes from 0x00000\n" + usage_error},
      {{"--bin", input, output, "--size"}, "hex2c: --size needs a hexadecimal value\n" + usage_error},
      {{"--bin", input, output, "--fill", "0"}, "hex2c: unknown option --fill\n" + usage_error},
      {{"--bin", input}, "hex2c: --bin needs INPUT.hex and OUTPUT.bin\n" + usage_error},
  };
  for (const auto& [arguments, err] : cases) {
    const auto [code, out, error] = hex2c(arguments);
    EXPECT_EQ(std::tuple(code, out, error.substr(0, err.size())), std::tuple(2, "", err)) << arguments[1];
    EXPECT_FALSE(std::filesystem::exists(output));
  }

  // Data the range would cut off are refused with their line; an output file
  // already there is left as it was.
  std::ofstream(input, std::ios::binary) << good;
  write_file(output, {7, 7});
  EXPECT_EQ(hex2c({"--bin", input, output, "--base", "4001"}),
            std::tuple(2, "", "hex2c: " + input + ":1: data at 0x04000 lie outside the range 0x04001..0x1FFFF\n"));
  EXPECT_EQ(hex2c({"--bin", input, output, "--base", "3000", "--size", "1001"}),
            std::tuple(2, "", "hex2c: " + input + ":1: data at 0x04001 lie outside the range 0x03000..0x04000\n"));
  EXPECT_EQ(read_file(output), (std::vector<uint8_t>{7, 7}));
  // A write that fails leaves no file behind.
  EXPECT_EQ(hex2c({"--bin", input, dir.file("no/dir/out.bin")}),
            std::tuple(2, "", "hex2c: " + dir.file("no/dir/out.bin") + ": No such file or directory\n"));
  EXPECT_EQ(hex2c({"--bin", input, "/dev/full"}), std::tuple(2, "", "hex2c: /dev/full: No space left on device\n"));
}

// Generated files with gaps, linear and segment address records and records
// out of address order: the same bytes as srec_cat's binary output.
TEST(Hex2c, BinAgreesWithSrecCat) {
  TempDir dir;
  const std::string input = dir.file("in.hex"), ours = dir.file("ours.bin"), theirs = dir.file("theirs.bin");
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 random(seed);
    std::string text;
    // Slots of 64 bytes over flash 0x4000..0x1FFFF, each used at most once.
    std::vector<uint32_t> slots;
    for (uint32_t slot = 0x4000; slot < 0x20000; slot += 64) slots.push_back(slot);
    std::shuffle(slots.begin(), slots.end(), random);
    slots.resize(200);
    uint32_t lowest = 0xFFFFFFFF, end = 0;
    for (size_t i = 0; i < slots.size(); ++i) {
      std::vector<uint8_t> data(1 + random() % 32);
      for (uint8_t& byte : data) byte = uint8_t(random());
      const uint32_t address = slots[i] + random() % (65 - data.size());
      lowest = std::min(lowest, address), end = std::max(end, uint32_t(address + data.size()));
      // A segment base reaches only 0xFFFF0; keep the offset inside its window.
      if (i % 2 == 0) {
        text += hex_linear(uint16_t(address >> 16)) + hex_record(uint16_t(address), 0, data, i % 3 ? "\r\n" : "\n");
      } else {
        const uint32_t segment = (address & ~0xFFFu) >> 4;
        text += hex_segment(uint16_t(segment)) + hex_record(uint16_t(address - segment * 16), 0, data);
      }
    }
    std::ofstream(input, std::ios::binary) << text + kHexEndOfFile;

    char range[64];
    std::snprintf(range, sizeof range, "0x%X 0x%X -offset -0x%X", lowest, end, lowest);
    for (const auto& [arguments, fill] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--base", "4000", "--size", "1C000"}, "0x4000 0x20000 -offset -0x4000"}, {{}, range}}) {
      std::vector<std::string> argv = {"--bin", input, ours};
      argv.insert(argv.end(), arguments.begin(), arguments.end());
      ASSERT_EQ(hex2c(argv), std::tuple(0, "", ""));
      const ProcessResult srec = run_process(
          {"/bin/sh", "-c", "exec srec_cat \"$0\" -intel -fill 0xFF " + fill + " -o \"$1\" -binary", input, theirs});
      if (srec.exit_code == 127) GTEST_SKIP() << "srec_cat is not installed";
      ASSERT_EQ(srec.exit_code, 0) << srec.err;
      EXPECT_TRUE(read_file(ours) == read_file(theirs)) << "seed " << seed << " " << fill;
    }
  }
}

}  // namespace
