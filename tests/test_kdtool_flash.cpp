// kdtool's flash commands as the real executable on the virtual hardware:
// dump, program, verify, erase and update --verify, and their refusals.
#ifdef KDTOOL_PATH
#include "support_process.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Bytes = std::vector<uint8_t>;

ProcessResult kdtool(std::vector<std::string> args, EnvList env) {
  args.insert(args.begin(), {KDTOOL_PATH, "--virtual"});
  return run_process(args, env);
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(KdtoolFlash, EachCommandOnTheVirtualFlash) {
  TempDir dir;
  const Bytes flash = make_image(0x20000, 21);
  const std::string in = dir.file("in.bin"), out = dir.file("out.bin"), file = dir.file("file.bin");
  write_file(in, flash);
  Bytes changed(flash.begin() + 0x4000, flash.begin() + 0x5400);
  changed[0x1234] ^= 0x80;
  write_file(dir.file("image.bin"), Bytes(flash.begin() + 0x4000, flash.begin() + 0x5400));
  write_file(dir.file("changed.bin"), changed);
  write_file(file, make_image(1000, 22));
  Bytes programmed(0x20000, 0xFF), erased = flash;
  std::copy_n(make_image(1000, 22).begin(), 1000, programmed.begin());
  std::fill_n(erased.begin() + 0x2000, 0x1000, 0xFF);
  const EnvList env = {{"KDSIM_BRIDGE", "both"}, {"KDSIM_FLASH_IN", in}, {"KDSIM_FLASH_OUT", out}};
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string says;
    Bytes flash_after;
  };
  const Case cases[] = {
      {{"dump", dir.file("dump.bin")}, 0, "127K\n[", flash},
      {{"program", file}, 0, "Mass erase complete\n0K\n", programmed},
      {{"verify", dir.file("image.bin"), "--at", "4000"}, 0, "Verify OK\n", flash},
      {{"--bridge", "custom", "verify", dir.file("changed.bin"), "--at", "4000"}, 1, "Verify FAILED at 0x05200\n", flash},
      {{"erase"}, 0, "protection unlock complete\nSector erase complete\n", erased},
  };
  for (const Case& c : cases) {
    const ProcessResult r = kdtool(c.args, env);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << "\n" << r.out << r.err;
    EXPECT_TRUE(has(r.out, c.says)) << r.out;
    EXPECT_TRUE(read_file(out) == c.flash_after) << c.args[0];
  }
  EXPECT_EQ(read_file(dir.file("dump.bin")), flash);
}

TEST(KdtoolFlash, UpdateVerifyCatchesASilentlyCorruptedUnitAndRefusals) {
  TempDir dir;
  const std::string image = dir.file("image.bin");
  write_file(image, make_image());
  const ProcessResult r = kdtool({"update", image, "0102", "0003", "0010", "--verify"},
                                 {{"KDSIM_UNIT", "128"}, {"KDSIM_CORRUPT_UNIT", "4000"}});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(has(r.out, "Verify FAILED at 0x04000\nFlash Writing Fail!!!\n")) << r.out;
  struct Case {
    std::vector<std::string> args;
    EnvList env;
    int exit_code;
    std::string says;
  };
  const Case cases[] = {
      {{"dump", image}, {{"KDSIM_BRIDGE", "custom"}}, 3, "kdtool: Device Not Found: no usable CP2112."},
      {{"--bridge", "custom", "erase"}, {{"KDSIM_BRIDGE", "both"}}, 3, "needs a CP2112 bridge"},
      {{"verify"}, {}, 2, "verify takes one FILE"},
      {{"verify", image, "--at", "20000"}, {}, 2, "--at 20000"},
      {{"dump", image, "--verify"}, {}, 2, "--verify is for update"},
      {{"erase", "--at", "10"}, {}, 2, "--at is for verify"},
      {{"verify", dir.file("missing.bin")}, {}, 2, ""},
  };
  for (const Case& c : cases) {
    const ProcessResult p = kdtool(c.args, c.env);
    EXPECT_EQ(p.exit_code, c.exit_code) << c.says << "\n" << p.out << p.err;
    EXPECT_TRUE(has(p.err, c.says)) << p.err;
  }
}

}  // namespace
#endif
