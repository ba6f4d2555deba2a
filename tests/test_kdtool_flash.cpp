// kdtool's flash commands as the real executable on the virtual hardware:
// dump, program, verify, erase and update --verify, and their refusals.
#ifdef KDTOOL_PATH
#include "app/sha256.h"
#include "support_process.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <pty.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

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

TEST(KdtoolFlash, UpdateVerifyCatchesASilentlyCorruptedUnit) {
  TempDir dir;
  const std::string image = dir.file("image.bin");
  write_file(image, make_image());
  const ProcessResult r = kdtool({"update", image, "0102", "0003", "0010", "--verify"},
                                 {{"KDSIM_UNIT", "128"}, {"KDSIM_CORRUPT_UNIT", "4000"}});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(has(r.out, "Verify FAILED at 0x04000\nFlash Writing Fail!!!\n")) << r.out;
  EXPECT_TRUE(r.out.ends_with("Update FAILED: the written flash differs from the image at 0x04000\n")) << r.out;
  // A range that matches: verified, so the verdict does not ask for --verify.
  const ProcessResult good = kdtool({"--json", "update", image, "0102", "0003", "0010", "--verify"}, {{"KDSIM_UNIT", "128"}});
  EXPECT_EQ(good.exit_code, 0);
  EXPECT_TRUE(has(good.err, "Verify OK\nFlash Writing Complete!!!\n")) << good.err;
  EXPECT_TRUE(good.err.ends_with("Flash Writing Complete!!!\nUpdate OK: core 00.00, app 00.00, para 00.00 (was 00.00, "
                                 "00.00, 00.00)\n"))
      << good.err;
  EXPECT_TRUE(has(good.out, "\"written\":true,\"verified\":true,\"units_checked\":false,")) << good.out;
}

std::string last_line(const std::string& text) {
  const size_t end = text.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  const size_t start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

// A reset ends ISP mode after a dump, program or erase (--reset, after the
// command's own verdict) and stands alone on either bridge; nobody there
// fails it. update, verify and program name their file with its size and
// SHA-256 first, and an update tells the versions before and after.
TEST(KdtoolFlash, ResetsAndRunsThatNameTheirImageAndVersions) {
  TempDir dir;
  const std::vector<uint8_t> image = make_image(), small = make_image(1000, 3);
  write_file(dir.file("image.bin"), image);
  write_file(dir.file("small.bin"), small);
  const std::string image_line = "update " + dir.file("image.bin") + ": 114688 bytes, SHA-256 " +
                                 sha256_hex(image.data(), image.size());
  const std::string back = "Reset OK: core 01.01, app 00.03, para 00.10";
  struct Case {
    std::vector<std::string> args;
    const char* bridge;
    int exit_code;
    std::string first, last;  // the run's first line (after the virtual hardware's) and last
  };
  const Case cases[] = {
      {{"dump", dir.file("d.bin"), "--length", "400", "--reset"}, "cp2112", 0, "", "Dump OK: 1024 bytes in " + dir.file("d.bin") + "\n" + back},
      {{"erase", "--reset"}, "cp2112", 0, "", "Erase OK\n" + back},
      {{"program", dir.file("small.bin"), "--reset"}, "cp2112", 0,
       "program " + dir.file("small.bin") + ": 1000 bytes, SHA-256 " + sha256_hex(small.data(), small.size()), "Program OK\n" + back},
      {{"reset"}, "cp2112", 0, "", back},
      {{"reset"}, "custom", 0, "", back},
      {{"--addr", "35", "reset"}, "custom", 1, "", "Reset FAILED: no controller answers at address 0x35"},
      {{"update", dir.file("image.bin"), "0102", "0003", "0010"}, "custom", 0, image_line,
       "Update OK: core 01.01, app 00.03, para 00.10 (was 01.01, 00.03, 00.10)"},
  };
  for (const Case& c : cases) {
    const ProcessResult r =
        kdtool(c.args, {{"KDSIM_BRIDGE", c.bridge}, {"KDSIM_VERSIONS", "0001,0101,0003,0010"}});
    EXPECT_EQ(r.exit_code, c.exit_code) << c.last << "\n" << r.out << r.err;
    EXPECT_TRUE(r.out.ends_with(c.last + "\n")) << c.last << "\n" << r.out;
    const size_t second = r.out.find('\n') + 1;
    if (!c.first.empty()) {
      EXPECT_EQ(r.out.substr(second, r.out.find('\n', second) - second), c.first) << r.out;
    }
  }
  // The same in JSON: the image in the start object, the versions in the end object.
  const ProcessResult j = kdtool({"--json", "update", dir.file("image.bin"), "0102", "0003", "0010"},
                                 {{"KDSIM_VERSIONS", "0001,0101,0003,0010"}});
  const nlohmann::json start = nlohmann::json::parse(j.out.substr(0, j.out.find('\n')));
  const nlohmann::json end = nlohmann::json::parse(last_line(j.out));
  EXPECT_EQ(start["image"], (nlohmann::json{{"name", dir.file("image.bin")}, {"size", 114688},
                                            {"sha256", sha256_hex(image.data(), image.size())}}));
  const nlohmann::json versions = {{"core", "01.01"}, {"app", "00.03"}, {"para", "00.10"}};
  EXPECT_EQ(end["versions_before"], versions) << j.out;
  EXPECT_EQ(end["versions_after"], versions) << j.out;
  EXPECT_TRUE(has(j.err, image_line + "\n")) << j.err;
  // Every board of --all, each with its versions.
  const ProcessResult all = kdtool({"reset", "--all"}, {{"KDSIM_BRIDGES", "custom:1,cp2112:1"}});
  EXPECT_EQ(all.exit_code, 0) << all.out << all.err;
  EXPECT_TRUE(has(all.out, "BOARDSIM0001: Reset OK: core 00.00, app 00.00, para 00.00 (")) << all.out;
  EXPECT_TRUE(all.out.ends_with("Reset OK: 2 of 2 boards succeeded\n")) << all.out;
}

// Every ending of every command on its verdict line, with what ended it.
TEST(KdtoolFlash, EveryCommandEndsWithItsVerdictAndReason) {
  TempDir dir;
  const std::string image = dir.file("image.bin"), small = dir.file("small.bin");
  write_file(image, make_image());
  write_file(small, make_image(1000, 3));
  struct Case {
    std::vector<std::string> args;
    EnvList env;
    int exit_code;
    std::string verdict;
    std::string hint = "";  // what to do next, after the verdict
  };
  const std::string dump = dir.file("dump.bin");
  const std::string in_update_mode = "Hint: the controller is left in update mode: run the update again";
  const Case cases[] = {
      {{"update", image, "1", "2", "3"}, {}, 0, "Update OK: core 00.00, app 00.00, para 00.00 (was 00.00, 00.00, 00.00)"},
      {{"update", image, "1", "2", "3"}, {{"KDSIM_UNIT", "128"}}, 0,
       "Update OK: core 00.00, app 00.00, para 00.00 (was 00.00, 00.00, 00.00) (not verified: use --verify)"},
      {{"update", image, "01.02", "3", "00.10"}, {{"KDSIM_VERSIONS", "0001,0102,0003,0010"}}, 0,
       "Update OK: the controller already has the release versions; nothing was written"},
      {{"--bridge", "cp2112", "update", image, "1", "2", "3"}, {{"KDSIM_UNPLUG_AFTER", "300"}}, 1,
       "Update FAILED: the bridge was unplugged", "Hint: plug the bridge back in and run the command again"},
      {{"update", image, "1", "2", "3"}, {{"KDSIM_UNPLUG_AFTER", "300"}}, 1, "Update FAILED: the bridge was unplugged",
       "Hint: plug the bridge back in and run the command again"},
      {{"update", image, "1", "2", "3"}, {{"KDSIM_VANISH_AFTER", "400"}}, 1, "Update FAILED: the controller stopped answering",
       in_update_mode},
      {{"update", image, "1", "2", "3"}, {{"KDSIM_CHECK_FAIL", "24:5"}}, 1, "Update FAILED: the check of unit 0x05000 failed"},
      {{"--addr", "35", "update", image, "1", "2", "3"}, {}, 1, "Update FAILED: no controller answers at address 0x35",
       "Hint: check that the controller is powered and wired to the bridge, and its address (--addr)"},
      {{"dump", dump, "--length", "400"}, {}, 0, "Dump OK: 1024 bytes in " + dump},
      {{"dump", dump, "--at", "100", "--length", "40"}, {{"KDSIM_ISP_STUCK", "1048"}}, 1,
       "Dump FAILED at 0x00100: the controller did not complete the command at 0x00100"},
      {{"dump", dump}, {{"KDSIM_UNPLUG_AFTER", "200"}}, 1, "Dump FAILED at 0x0",
       "Hint: plug the bridge back in and run the command again"},
      {{"program", small}, {}, 0, "Program OK"},
      {{"program", small}, {{"KDSIM_ISP_STUCK", "1041"}}, 1,
       "Program FAILED: the controller did not complete the command at 0x00000"},
      {{"erase"}, {}, 0, "Erase OK"},
      {{"erase"}, {{"KDSIM_VANISH_AFTER", "3"}}, 1, "Erase FAILED: the controller refused the frame to register 0x000C"},
      {{"verify", small}, {}, 1, "Verify FAILED at 0x02000"},
  };
  for (const Case& c : cases) {
    EnvList env = c.env;
    env.emplace_back("KDSIM_BRIDGE", "both");
    const ProcessResult r = kdtool(c.args, env);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.verdict << "\n" << r.out << r.err;
    // Said once: the verdict carries the reason.
    EXPECT_FALSE(has(r.out, "No answer from the touch controller at address 0x35.\nno controller")) << r.out;
    std::string out = r.out;
    if (c.hint.empty()) {
      EXPECT_FALSE(last_line(out).starts_with("Hint: ")) << r.out;
    } else {
      EXPECT_EQ(last_line(out), c.hint) << r.out;
      out.erase(out.rfind(c.hint));
    }
    EXPECT_EQ(last_line(out).rfind(c.verdict, 0), 0u) << c.verdict << "\n" << r.out;
    // Only the 128-byte units go unchecked.
    if (c.verdict.starts_with("Update OK")) {
      EXPECT_EQ(last_line(r.out), c.verdict);
    }
  }
}

// Exit 2 before 3: with no bridge at all, each unusable file is named.
TEST(KdtoolFlash, FileOperandsAreCheckedBeforeAnyBridge) {
  TempDir dir;
  write_file(dir.file("empty.bin"), {});
  write_file(dir.file("big.bin"), make_image(0x20001));
  write_file(dir.file("short.bin"), make_image(0x1C000 - 1));
  write_file(dir.file("bad.hex"), std::vector<uint8_t>{':', '0', '1', '0', '0', '0', '0', '0', '0', '0', '0', 'F', 'F', '\n'});
  const EnvList none = {{"KDSIM_BRIDGE", "none"}};
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"verify", dir.file("missing.bin")}, "kdtool: " + dir.file("missing.bin") + ": No such file or directory"},
      {{"verify", "/dev/null"}, "kdtool: /dev/null: not a regular file"},
      {{"program", dir.path()}, "kdtool: " + dir.path() + ": not a regular file"},
      {{"program", dir.file("empty.bin")}, "kdtool: " + dir.file("empty.bin") + ": the file is empty"},
      {{"program", dir.file("big.bin")}, "kdtool: " + dir.file("big.bin") + ": the flash is at most 0x20000 bytes, the file has 0x20001"},
      {{"update", dir.file("short.bin"), "1", "2", "3"},
       "kdtool: " + dir.file("short.bin") + ": an image is exactly 0x1C000 bytes (or a HEX file within 4000..1FFFF); "
       "short.bin has 0x1BFFF\n"},
      {{"update", dir.file("big.bin"), "1", "2", "3"},
       "kdtool: " + dir.file("big.bin") + ": the flash is at most 0x20000 bytes, the file has 0x20001\n"},
      {{"verify", dir.file("bad.hex")}, "kdtool: " + dir.file("bad.hex") + ":1: "},
      {{"dump", "/nonexistdir/x.bin"}, "kdtool: cannot write /nonexistdir/x.bin: No such file or directory"},
  };
  for (const auto& [args, says] : cases) {
    const ProcessResult r = kdtool(args, none);
    EXPECT_EQ(r.exit_code, 2) << says << r.err;
    EXPECT_EQ(r.err.rfind(says, 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_FALSE(has(r.out, "Download Start!!!"));
  }
  EXPECT_FALSE(std::filesystem::exists("/nonexistdir"));
  EXPECT_EQ(kdtool({"verify", dir.file("short.bin")}, none).exit_code, 3);  // a usable file: on to the bridge
}

// --json: every line of stdout is one JSON object; start, progress at most
// ten a second, end, on success and failure alike.
TEST(KdtoolFlash, JsonLinesForEveryCommand) {
  TempDir dir;
  const std::string image = dir.file("image.bin"), small = dir.file("small.bin");
  write_file(image, make_image());
  write_file(small, make_image(2048, 3));
  struct Case {
    std::vector<std::string> args;
    EnvList env;
    int exit_code;
    bool started;
  };
  const Case cases[] = {
      {{"update", image, "1", "2", "3"}, {}, 0, true},
      {{"update", image, "1", "2", "3"}, {{"KDSIM_UNIT", "128"}}, 0, true},
      {{"update", image, "1", "2", "3"}, {{"KDSIM_CHECK_FAIL", "24:5"}}, 1, true},
      {{"verify", small}, {}, 1, true},
      {{"dump", dir.file("d.bin"), "--length", "1000"}, {}, 0, true},
      {{"program", small}, {}, 0, true},
      {{"erase"}, {}, 0, true},
      {{"verify", dir.file("missing.bin")}, {}, 2, false},
      {{"--bridge", "custom", "update", image, "1", "2", "3"}, {{"KDSIM_BRIDGE", "cp2112"}}, 3, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--json");
    EnvList env = c.env;
    if (env.empty() || env[0].first != "KDSIM_BRIDGE") env.emplace_back("KDSIM_BRIDGE", "both");
    const ProcessResult r = kdtool(args, env);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    std::vector<nlohmann::json> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_FALSE(lines.empty()) << r.err;
    EXPECT_EQ(lines.front()["type"], c.started ? "start" : "end");
    if (c.started) {
      EXPECT_EQ(lines.front()["command"], c.args[0]);
      EXPECT_TRUE(lines.front()["bridge"]["serial"].get<std::string>().ends_with("SIM0001"));
    }
    const nlohmann::json& end = lines.back();
    EXPECT_EQ(end["type"], "end");
    EXPECT_EQ(end["exit_code"], c.exit_code);
    EXPECT_EQ(end["ok"], c.exit_code == 0);
    EXPECT_EQ(end["reason"].is_null(), c.exit_code == 0) << end;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
      EXPECT_EQ(lines[i]["type"], "progress");
      EXPECT_LE(lines[i]["done"].get<uint32_t>(), lines[i]["total"].get<uint32_t>());
    }
    if (c.args[0] == "verify" && c.started) {
      EXPECT_EQ(end["mismatch_address"], "0x02000");
    }
    if (c.args[0] == "update" && c.started) {
      // Units checked only by the 4 KiB procedure, and none of a failed run.
      EXPECT_EQ(end["units_checked"], c.exit_code == 0 && c.env.empty()) << end;
      EXPECT_EQ(end["verified"], false);
    }
  }
}

// HEX files are recognised by content: update, program and verify take them
// with their flash addresses.
TEST(KdtoolFlash, HexImagesForUpdateProgramAndVerify) {
  TempDir dir;
  const Bytes flash = make_image(0x20000, 21);
  write_file(dir.file("in.bin"), flash);
  const std::string out = dir.file("out.bin");
  const EnvList env = {{"KDSIM_BRIDGE", "both"}, {"KDSIM_FLASH_IN", dir.file("in.bin")}, {"KDSIM_FLASH_OUT", out}};
  // Records for flash 0x4000.. of the image, through an extended linear
  // address record, with a gap left 0xFF.
  auto hex_of = [](const Bytes& data, uint32_t base, bool crlf) {
    std::string text;
    char line[80];
    std::snprintf(line, sizeof line, ":02000004%04X%02X", base >> 16, (0x100 - ((6 + (base >> 16) + (base >> 24)) & 0xFF)) & 0xFF);
    text += std::string(line) + (crlf ? "\r\n" : "\n");
    for (size_t off = 0; off < data.size(); off += 16) {
      const uint32_t address = (base + off) & 0xFFFF;
      unsigned sum = 16 + (address >> 8) + (address & 0xFF);
      std::snprintf(line, sizeof line, ":10%04X00", address);
      std::string record = line;
      for (size_t k = 0; k < 16; ++k) {
        std::snprintf(line, sizeof line, "%02X", data[off + k]);
        record += line;
        sum += data[off + k];
      }
      std::snprintf(line, sizeof line, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
      text += record + line + (crlf ? "\r\n" : "\n");
    }
    return text + ":00000001FF" + (crlf ? "\r\n" : "\n");
  };
  const Bytes part(flash.begin() + 0x4000, flash.begin() + 0x4800);
  const std::string hex = hex_of(part, 0x4000, true);
  write_file(dir.file("part.hex"), Bytes(hex.begin(), hex.end()));
  // verify from the file's lowest address; --at must agree with it.
  ProcessResult r = kdtool({"verify", dir.file("part.hex")}, env);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "Verify OK\n"));
  r = kdtool({"verify", dir.file("part.hex"), "--at", "2000"}, env);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(has(r.err, "--at 2000: " + dir.file("part.hex") + " starts at flash address 4000")) << r.err;
  // update: 0x4000.. filled with 0xFF after the data.
  r = kdtool({"update", dir.file("part.hex"), "1", "2", "3"}, env);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  Bytes expected = flash;
  std::fill(expected.begin() + 0x4800, expected.end(), 0xFF);
  EXPECT_TRUE(read_file(out) == expected);
  // program: from address 0, the gap below 0x4000 erased.
  const std::string low = hex_of(Bytes(part.begin(), part.begin() + 0x100), 0x100, false);
  write_file(dir.file("low.hex"), Bytes(low.begin(), low.end()));
  r = kdtool({"program", dir.file("low.hex")}, env);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(has(r.out, "Download Filename = " + dir.file("low.hex") + "\n"));
  Bytes programmed(0x20000, 0xFF);
  std::copy_n(part.begin(), 0x100, programmed.begin() + 0x100);
  EXPECT_TRUE(read_file(out) == programmed);
  // update refuses data below 0x4000, with the line.
  r = kdtool({"update", dir.file("low.hex"), "1", "2", "3"}, env);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.rfind("kdtool: " + dir.file("low.hex") + ":2: "), 0u) << r.err;
}

// HEX by name or by its first byte: a flawed HEX file is refused with its
// line before any bridge, never programmed as raw text, and text is a raw
// image only with --raw. A HEX file goes to the flash from memory: no
// temporary folder is needed (TMPDIR names none here).
TEST(KdtoolFlash, FlawedHexAndTextAreRefusedNotProgrammedAsRaw) {
  TempDir dir;
  const std::string record = ":0400000001020304F2\n", end = ":00000001FF\n";
  const auto text_file = [&](const std::string& name, const std::string& text) {
    write_file(dir.file(name), Bytes(text.begin(), text.end()));
    return dir.file(name);
  };
  const std::string comment = text_file("comment.hex", "; build 12\n" + record + end);
  const std::string digits = text_file("digits.dat", ":040000000102030F2\n" + end);
  const std::string notes = text_file("notes.bin", std::string(40, 'x') + "\r\n\tfirmware 1.2 release notes\n");
  const std::string bom = text_file("bom.txt", "\xEF\xBB\xBF" + record + end);
  write_file(dir.file("fw.hex"), make_image(256, 4));
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"program", comment}, comment + ":1: not a record (a record starts with ':')"},
      {{"verify", digits}, digits + ":1: odd number of hex digits"},
      {{"update", dir.file("fw.hex"), "1", "2", "3"}, dir.file("fw.hex") + ":1: "},
      {{"program", notes}, notes + ": looks like text, not a firmware image"},
  };
  const EnvList none = {{"KDSIM_BRIDGE", "none"}};
  for (const auto& [args, says] : refused) {
    const ProcessResult r = kdtool(args, none);
    EXPECT_EQ(r.exit_code, 2) << says << r.out;
    EXPECT_EQ(r.err.rfind("kdtool: " + says, 0), 0u) << r.err;
  }
  for (const std::string& raw : {notes, dir.file("fw.hex")}) {
    EXPECT_EQ(kdtool({"program", raw, "--raw"}, none).exit_code, 3) << raw;  // on to the bridge
  }
  const std::string out = dir.file("out.bin");
  const ProcessResult r = kdtool({"program", bom}, {{"KDSIM_BRIDGE", "cp2112"}, {"KDSIM_FLASH_OUT", out},
                                                    {"TMPDIR", dir.file("missing")}});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  Bytes programmed(0x20000, 0xFF);
  std::copy_n(Bytes{1, 2, 3, 4}.begin(), 4, programmed.begin());
  EXPECT_TRUE(read_file(out) == programmed);
}

// A dump replaces its file only when it is whole: one that fails leaves the
// old file as it was and nothing beside it, a symlink is replaced rather
// than followed, and a write that fails is named as such, at its address.
TEST(KdtoolFlash, ADumpReplacesItsFileOnlyWhenWhole) {
  TempDir dir;
  const Bytes flash = make_image(0x20000, 8), old = make_image(0x400, 9);
  write_file(dir.file("in.bin"), flash);
  const std::string good = dir.file("good.bin"), link = dir.file("link.bin"), target = dir.file("target.bin");
  write_file(good, old);
  write_file(target, old);
  std::filesystem::create_symlink(target, link);
  const EnvList env = {{"KDSIM_BRIDGE", "cp2112"}, {"KDSIM_FLASH_IN", dir.file("in.bin")}};
  EnvList unplugged = env;
  unplugged.emplace_back("KDSIM_UNPLUG_AFTER", "400");
  ProcessResult r = kdtool({"dump", good, "--length", "1000"}, unplugged);
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_TRUE(has(r.out, "\nDump FAILED at 0x000") && !has(r.out, "at 0x00000")) << "failed midway: " << r.out;
  EXPECT_TRUE(read_file(good) == old);
  r = kdtool({"dump", link, "--length", "400"}, env);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  EXPECT_TRUE(read_file(link) == Bytes(flash.begin(), flash.begin() + 0x400));
  EXPECT_TRUE(read_file(target) == old);
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 4u) << "no temporary file left behind";

  for (const bool json : {false, true}) {
    std::vector<std::string> args = {"dump", "/dev/full", "--at", "100", "--length", "40"};
    if (json) args.insert(args.begin(), "--json");
    r = kdtool(args, env);
    EXPECT_EQ(r.exit_code, 1);
    const std::string reason = "cannot write /dev/full: No space left on device";
    if (!json) {
      EXPECT_EQ(last_line(r.out), "Dump FAILED at 0x00100: " + reason) << r.out;
    } else {
      const nlohmann::json end = nlohmann::json::parse(last_line(r.out));
      EXPECT_EQ(end["reason"], reason) << end;
      EXPECT_EQ(end["failed_address"], "0x00100");
    }
  }
}

// The controller compares whole 128-byte units: a file that ends inside one
// is warned of, and a mismatch in that unit is told as such.
TEST(KdtoolFlash, AVerifyOfAFileEndingInsideAUnitSaysSo) {
  TempDir dir;
  write_file(dir.file("in.bin"), make_image(0x20000, 10));
  const EnvList env = {{"KDSIM_BRIDGE", "cp2112"}, {"KDSIM_FLASH_IN", dir.file("in.bin")}};
  const std::string part = dir.file("part.bin");
  ASSERT_EQ(kdtool({"dump", part, "--at", "2000", "--length", "84"}, env).exit_code, 0);
  const ProcessResult r = kdtool({"verify", part, "--at", "2000"}, env);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(has(r.out, "Warning: the file ends at 0x02084, inside the 128-byte unit at 0x02080")) << r.out;
  EXPECT_EQ(last_line(r.out),
            "Verify FAILED at 0x02080, in a unit that the file fills only to 0x02084: the rest is compared as erased");
}

TEST(KdtoolFlash, ForcedUpdateAndPartialDump) {
  TempDir dir;
  const Bytes flash = make_image(0x20000, 5);
  write_file(dir.file("in.bin"), flash);
  write_file(dir.file("image.bin"), make_image());
  const EnvList env = {{"KDSIM_BRIDGE", "both"}, {"KDSIM_FLASH_IN", dir.file("in.bin")},
                       {"KDSIM_FLASH_OUT", dir.file("out.bin")}, {"KDSIM_VERSIONS", "0001,0102,0003,0010"}};
  ProcessResult r = kdtool({"update", dir.file("image.bin"), "0102", "0003", "0010"}, env);
  EXPECT_TRUE(has(r.out, "FW Version : SAME\n"));
  EXPECT_TRUE(read_file(dir.file("out.bin")) == flash);
  r = kdtool({"update", "--force", dir.file("image.bin"), "0102", "0003", "0010"}, env);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(has(r.out, "Flash Writing Complete!!!\n"));
  const Bytes after = read_file(dir.file("out.bin"));
  EXPECT_TRUE(std::equal(after.begin() + 0x4000, after.end(), make_image().begin()));
  r = kdtool({"dump", dir.file("part.bin"), "--at=1F000", "--length=1000"}, env);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_TRUE(read_file(dir.file("part.bin")) == Bytes(flash.begin() + 0x1F000, flash.end()));
  EXPECT_TRUE(has(r.out, "124K\n") && !has(r.out, "\n0K\n")) << r.out;
}

// kdtool on a terminal of its own; everything it wrote there.
std::string on_terminal(const std::vector<std::string>& args, const EnvList& env) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv = {const_cast<char*>(KDTOOL_PATH), const_cast<char*>("--virtual")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(KDTOOL_PATH, argv.data());
    _exit(127);
  }
  std::string seen;
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(master, chunk, sizeof chunk);  // EIO once the child has gone
    if (n <= 0) break;
    seen.append(chunk, static_cast<size_t>(n));
  }
  close(master);
  waitpid(pid, nullptr, 0);
  return seen;
}

// In a pipe: the library's lines and the verdict, no banner; --quiet the
// verdict and its hint alone; --verbose adds the bridge's trace on stderr.
TEST(KdtoolFlash, QuietVerboseAndDefaultOutputOfAnUpdate) {
  TempDir dir;
  write_file(dir.file("image.bin"), make_image());
  const std::string notice = "kdtool: VIRTUAL hardware (KDSIM_* settings): no real bridge or controller is used.\n";
  const EnvList env = {{"KDSIM_BRIDGE", "custom"}};
  const std::vector<std::string> update = {"update", dir.file("image.bin"), "1", "2", "3"};
  const auto with = [&](std::vector<std::string> front) {
    front.insert(front.end(), update.begin(), update.end());
    return kdtool(front, env);
  };
  const ProcessResult plain = with({});
  EXPECT_EQ(plain.exit_code, 0);
  EXPECT_FALSE(has(plain.out, "Pelmoranth FW Download Application") || has(plain.out, "Terminated")) << plain.out;
  const std::string verdict = "Update OK: core 00.00, app 00.00, para 00.00 (was 00.00, 00.00, 00.00)\n";
  EXPECT_TRUE(plain.out.ends_with("124KB Complete..\n128KB Complete..\nFlash Writing Complete!!!\n" + verdict))
      << plain.out;
  EXPECT_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'), 49) << plain.out;
  EXPECT_EQ(plain.err, "");
  const ProcessResult quiet = with({"-q"});
  EXPECT_EQ(quiet.out, notice + verdict);
  EXPECT_EQ(with({"--quiet", "--addr", "35"}).out,
            notice + "Update FAILED: no controller answers at address 0x35\n"
                     "Hint: check that the controller is powered and wired to the bridge, and its address (--addr)\n");
  const ProcessResult verbose = with({"-v"});
  EXPECT_EQ(verbose.out, plain.out);
  EXPECT_TRUE(has(verbose.err, "\nusb_drv_qbm7750_write: length 64 handle ")) << verbose.err.substr(0, 500);
  EXPECT_FALSE(has(verbose.err, "\n\n"));
}

// verify ends at the first unit that differs; --keep-going checks them all
// and lists each. An update image checked from the default address is told
// where such an image starts.
TEST(KdtoolFlash, VerifyStopsAtTheFirstMismatchUnlessToldToKeepGoing) {
  TempDir dir;
  const Bytes flash = make_image(0x20000, 21);
  write_file(dir.file("in.bin"), flash);
  Bytes changed(flash.begin() + 0x4000, flash.begin() + 0x6000);
  changed[0x1234] ^= 0x80;
  changed[0x1F00] ^= 0x01;
  write_file(dir.file("changed.bin"), changed);
  write_file(dir.file("image.bin"), Bytes(flash.begin() + 0x4000, flash.end()));
  const EnvList env = {{"KDSIM_BRIDGE", "cp2112"}, {"KDSIM_FLASH_IN", dir.file("in.bin")}};
  const std::vector<std::string> verify = {"verify", dir.file("changed.bin"), "--at", "4000"};
  ProcessResult r = kdtool(verify, env);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(r.out.ends_with("\nVerify FAILED at 0x05200\n")) << r.out;
  EXPECT_FALSE(has(r.out, "\n21K\n")) << "no unit past the first mismatch is checked";
  std::vector<std::string> args = verify;
  args.push_back("--keep-going");
  r = kdtool(args, env);
  EXPECT_TRUE(has(r.out, "\n23K\n")) << r.out;
  EXPECT_TRUE(r.out.ends_with("Differs: the unit at 0x05200\nDiffers: the unit at 0x05F00\n"
                              "Verify FAILED at 0x05200 (2 units differ)\n")) << r.out;
  args.insert(args.begin(), "--json");
  r = kdtool(args, env);
  const nlohmann::json end = nlohmann::json::parse(last_line(r.out));
  EXPECT_EQ(end["mismatch_addresses"], nlohmann::json({"0x05200", "0x05F00"})) << end;
  EXPECT_TRUE(end["hint"].is_null());
  for (const bool json : {false, true}) {
    r = kdtool(json ? std::vector<std::string>{"--json", "verify", dir.file("image.bin")}
                    : std::vector<std::string>{"verify", dir.file("image.bin")}, env);
    const std::string hint = "this file is the size of an update image, which starts at 0x4000: try --at 4000";
    if (json) {
      EXPECT_EQ(nlohmann::json::parse(last_line(r.out))["hint"], hint) << r.out;
    } else {
      EXPECT_TRUE(r.out.ends_with("Verify FAILED at 0x02000\nHint: " + hint + "\n")) << r.out;
    }
  }
}

// On a terminal the per-KiB lines fold into one line redrawn in place, with
// the waits for a busy controller named and a small dump counted in bytes;
// NO_COLOR (unless empty), --no-color and TERM=dumb keep the lines.
TEST(KdtoolFlash, LiveProgressLineOnATerminal) {
  TempDir dir;
  write_file(dir.file("image.bin"), make_image());
  const std::vector<std::string> update = {"update", dir.file("image.bin"), "1", "2", "3"};
  const std::string live = on_terminal(update, {{"KDSIM_BRIDGE", "custom"}, {"TERM", "xterm"}, {"NO_COLOR", ""}});
  EXPECT_FALSE(has(live, "KB Complete..")) << live;
  EXPECT_TRUE(has(live, "\rupdate [")) << live;
  EXPECT_TRUE(has(live, "] 100%  112/112 KiB")) << live;
  EXPECT_FALSE(has(live, "FW Version : DIFFERENT")) << live;  // the verdict says what matters
  EXPECT_TRUE(has(live, "\x1b[0;92;49mUpdate OK: core 00.00")) << live;  // bright green
  // A controller that stays busy: the line says so (a dump's read waits 2 s).
  const std::string waiting = on_terminal({"dump", dir.file("d.bin"), "--length", "4"},
                                          {{"KDSIM_BRIDGE", "cp2112"}, {"KDSIM_ISP_STUCK", "1048"}, {"TERM", "xterm"}});
  EXPECT_TRUE(has(waiting, "]   0%  0/4 B  waiting for the controller (1 s)")) << waiting;
  EXPECT_TRUE(has(waiting, "Dump FAILED at 0x00000: the controller did not complete the command at 0x00000")) << waiting;
  const std::string all =
      on_terminal({"info", "--all"}, {{"KDSIM_BRIDGE", "both"}, {"TERM", "xterm"}, {"NO_COLOR", ""}});
  EXPECT_TRUE(has(all, "\x1b[2K")) << "--all draws its boards' lines in place: " << all;
  for (const EnvList& plain : {EnvList{{"NO_COLOR", "1"}}, EnvList{{"TERM", "dumb"}}, EnvList{}}) {
    std::vector<std::string> args = update;
    if (plain.empty()) args.insert(args.begin(), "--no-color");
    EnvList env = plain;
    env.emplace_back("KDSIM_BRIDGE", "custom");
    const std::string lines = on_terminal(args, env);
    EXPECT_TRUE(has(lines, "20KB Complete..\r\n24KB Complete..\r\n")) << lines;
    EXPECT_FALSE(has(lines, "\rupdate ["));
    EXPECT_TRUE(has(lines, "\r\nUpdate OK: core 00.00"));
    EXPECT_FALSE(has(lines, "\x1b[")) << "no colour at all";
  }
}

}  // namespace
#endif
