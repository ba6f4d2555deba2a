// The hex2c command, run as a separate process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hex/hex_control.h"
#include "support_hex.h"

namespace {

#ifdef HEX2C_PATH

using hex_test::kEndOfFile;
using hex_test::read_text;
using hex_test::record;
using hex_test::write_text;

const std::string kUsage =
    "usage: hex2c INPUT.hex OUTPUT.c    write the records as C source\n"
    "       hex2c --print INPUT.hex     print the leading data records\n";

ProcessResult hex2c(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), HEX2C_PATH);
  return run_process(arguments);
}

TEST(Hex2c, WrongArgumentsPrintTheUsage) {
  TempDir dir;
  const std::string input = write_text(dir, "in.hex", kEndOfFile);
  const std::vector<std::vector<std::string>> wrong = {
      {}, {input}, {"--print"}, {"--print", input, "x.c"}, {"--list", input}, {input, "a.c", "b.c"}};
  for (const auto& arguments : wrong) {
    SCOPED_TRACE(arguments.size());
    const ProcessResult result = hex2c(arguments);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, kUsage);
  }
  const ProcessResult help = hex2c({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out, kUsage);
}

TEST(Hex2c, WritesTheSameCSourceAsTheLibrary) {
  TempDir dir;
  const std::string input = write_text(
      dir, "fw.hex",
      ":020000040800F2\r\n" + record(0x0100, 0, {0x21, 0x46, 0x01}) + record(0x0110, 0, {1, 2, 3, 4}) + kEndOfFile);
  const ProcessResult result = hex2c({input, dir.file("fw.c")});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");

  INTEL_HEX_FILE* file = nullptr;
  ASSERT_EQ(hex_file_to_mem(&file, input.c_str()), HEX_RET_OK);
  ASSERT_EQ(hex_mem_to_cfile(file->pRecords, file->pInfo, dir.file("ref.c").c_str()), 0);
  hex_file_release(file);
  // Same text except the object names, which follow the file name.
  std::string expected = read_text(dir.file("ref.c"));
  expected.replace(expected.find("ref_info"), 8, "fw_info");
  expected.replace(expected.find("ref[]"), 5, "fw[]");
  EXPECT_EQ(read_text(dir.file("fw.c")), expected);
}

TEST(Hex2c, PrintsTheLeadingDataRecords) {
  TempDir dir;
  const std::string input = write_text(dir, "fw.hex",
                                       record(0x0100, 0, {0x21, 0x46, 0x01}) + record(0x0200, 0, {}) +
                                           ":020000040800F2\r\n" + record(0x0300, 0, {9}) + kEndOfFile);
  const ProcessResult result = hex2c({"--print", input});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "\n0100  21 46 01\n0200 \n\n");
}

TEST(Hex2c, ReaderFailuresNameTheirCode) {
  TempDir dir;
  const std::string refused = write_text(dir, "bad.hex", record(0, 0, {1}, "\n") + ":00000001FF\n");
  for (const auto& arguments : {std::vector<std::string>{refused, dir.file("out.c")}, {"--print", refused}}) {
    SCOPED_TRACE(arguments[0]);
    const ProcessResult result = hex2c(arguments);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "  HEX file Error : HEX_RET_WRONG_FILE_TYPE \n\n");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.c")));

  const std::string missing = dir.file("missing.hex");
  const ProcessResult result = hex2c({missing, dir.file("out.c")});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "- Opening " + missing + " failed.\n  HEX file Error : HEX_RET_NO_HEX_FILE \n\n");
}

TEST(Hex2c, WriterFailuresEndNonZero) {
  TempDir dir;
  const std::string input = write_text(dir, "fw.hex", kEndOfFile);
  const ProcessResult unopenable = hex2c({input, dir.file("no/dir/fw.c")});
  EXPECT_EQ(unopenable.exit_code, 1);
  EXPECT_EQ(unopenable.out, " Openning C file failed\n\n");
  const ProcessResult full = hex2c({input, "/dev/full"});
  EXPECT_EQ(full.exit_code, 1);
  EXPECT_EQ(full.out, " Writing C file failed\n\n");
}

#else

TEST(Hex2c, NotBuilt) { GTEST_SKIP() << "the hex2c executable is not part of this build"; }

#endif

}  // namespace
