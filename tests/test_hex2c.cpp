// The hex2c command, run as a separate process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "support_process.h"

namespace {

const std::string kUsage =
    "usage: hex2c INPUT.hex OUTPUT.c    write the records as C source\n"
    "       hex2c --print INPUT.hex     print the leading data records\n";

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

}  // namespace
