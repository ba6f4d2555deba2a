// The hex2c command, run as a separate process.
#include <gtest/gtest.h>

#include <string>

#include "hex/hex_control.h"
#include "support_hex.h"

namespace {

#ifdef HEX2C_PATH

using hex_test::quoted;
using hex_test::record;
using hex_test::run_command;

const std::string kUsage =
    "usage: hex2c INPUT.hex OUTPUT.c    write the records as C source\n"
    "       hex2c --print INPUT.hex     print the leading data records\n";

hex_test::CommandResult hex2c(const std::string& arguments, const std::string& stderr_to = "/dev/null") {
  return run_command(std::string(HEX2C_PATH) + " " + arguments + " 2>" + quoted(stderr_to));
}

TEST(Hex2c, WrongArgumentsPrintTheUsage) {
  hex_test::ScratchDir dir;
  const std::string input = dir.write("in.hex", hex_test::kEndOfFile);
  for (const std::string& arguments : {std::string(""), quoted(input), std::string("--print"), "--print " + quoted(input) + " x",
                                       "--list " + quoted(input), quoted(input) + " a.c b.c"}) {
    SCOPED_TRACE(arguments);
    const hex_test::CommandResult result = hex2c(arguments, dir.file("err"));
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(hex_test::read_file(dir.file("err")), kUsage);
  }
  const hex_test::CommandResult help = hex2c("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out, kUsage);
}

TEST(Hex2c, WritesTheSameCSourceAsTheLibrary) {
  hex_test::ScratchDir dir;
  const std::string input = dir.write(
      "fw.hex", ":020000040800F2\r\n" + record(0x0100, 0, {0x21, 0x46, 0x01}) + record(0x0110, 0, {1, 2, 3, 4}) +
                    hex_test::kEndOfFile);
  const hex_test::CommandResult result = hex2c(quoted(input) + " " + quoted(dir.file("fw.c")));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");

  INTEL_HEX_FILE* file = nullptr;
  ASSERT_EQ(hex_file_to_mem(&file, input.c_str()), HEX_RET_OK);
  ASSERT_EQ(hex_mem_to_cfile(file->pRecords, file->pInfo, dir.file("ref.c").c_str()), 0);
  hex_file_release(file);
  // Same text except the object names, which follow the file name.
  std::string expected = hex_test::read_file(dir.file("ref.c"));
  expected.replace(expected.find("ref_info"), 8, "fw_info");
  expected.replace(expected.find("ref[]"), 5, "fw[]");
  EXPECT_EQ(hex_test::read_file(dir.file("fw.c")), expected);
}

TEST(Hex2c, PrintsTheLeadingDataRecords) {
  hex_test::ScratchDir dir;
  const std::string input = dir.write("fw.hex", record(0x0100, 0, {0x21, 0x46, 0x01}) + record(0x0200, 0, {}) +
                                                    ":020000040800F2\r\n" + record(0x0300, 0, {9}) +
                                                    hex_test::kEndOfFile);
  const hex_test::CommandResult result = hex2c("--print " + quoted(input));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "\n0100  21 46 01\n0200 \n\n");
}

TEST(Hex2c, ReaderFailuresNameTheirCode) {
  hex_test::ScratchDir dir;
  const std::string refused = dir.write("bad.hex", record(0, 0, {1}, "\n") + ":00000001FF\n");
  for (const std::string& arguments : {quoted(refused) + " " + quoted(dir.file("out.c")), "--print " + quoted(refused)}) {
    SCOPED_TRACE(arguments);
    const hex_test::CommandResult result = hex2c(arguments);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "  HEX file Error : HEX_RET_WRONG_FILE_TYPE \n\n");
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.c")));

  const std::string missing = dir.file("missing.hex");
  const hex_test::CommandResult result = hex2c(quoted(missing) + " " + quoted(dir.file("out.c")));
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "- Opening " + missing + " failed.\n  HEX file Error : HEX_RET_NO_HEX_FILE \n\n");
}

TEST(Hex2c, WriterFailuresEndNonZero) {
  hex_test::ScratchDir dir;
  const std::string input = dir.write("fw.hex", hex_test::kEndOfFile);
  const hex_test::CommandResult unopenable = hex2c(quoted(input) + " " + quoted(dir.file("no/dir/fw.c")));
  EXPECT_EQ(unopenable.exit_code, 1);
  EXPECT_EQ(unopenable.out, " Openning C file failed\n\n");
  const hex_test::CommandResult full = hex2c(quoted(input) + " /dev/full");
  EXPECT_EQ(full.exit_code, 1);
  EXPECT_EQ(full.out, " Writing C file failed\n\n");
}

#else

TEST(Hex2c, NotBuilt) { GTEST_SKIP() << "the hex2c executable is not part of this build"; }

#endif

}  // namespace
