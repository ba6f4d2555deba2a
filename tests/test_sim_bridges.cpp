// Several virtual bridges at once (KDSIM_BRIDGES), each with a controller,
// serial and flash file of its own, and per-board settings: kdtool run as
// the real executable, one process per board as a production line does.
#ifdef KDTOOL_PATH
#include "platform/hid_virtual.h"
#include "sim_env.h"
#include "support_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

const EnvList kFive = {{"KDSIM_BRIDGES", "custom:3,cp2112:2"}};

ProcessResult kdtool(std::vector<std::string> args, const EnvList& env) {
  args.insert(args.begin(), {KDTOOL_PATH, "--virtual"});
  return run_process(args, env);
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::set<std::string> files_in(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.insert(entry.path().filename().string());
  return names;
}

TEST(SimBridges, ListShowsEveryBoardWithItsSerialKindAndPathAndTouchesNoFile) {
  TempDir dir;
  EnvList env = kFive;
  env.emplace_back("KDSIM_FLASH_OUT", dir.file("%s.bin"));
  env.emplace_back("KDSIM_FLASH_IN", dir.file("missing-%s.bin"));  // would stop a process that used it
  const ProcessResult r = kdtool({"--json", "list"}, env);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const nlohmann::json doc = nlohmann::json::parse(r.out);
  const char* expected[][3] = {{"custom", "BOARDSIM0001", "virtual:0"}, {"custom", "BOARDSIM0002", "virtual:1"},
                               {"custom", "BOARDSIM0003", "virtual:2"}, {"cp2112", "CP2112SIM0001", "virtual:3"},
                               {"cp2112", "CP2112SIM0002", "virtual:4"}};
  ASSERT_EQ(doc["bridges"].size(), 5u) << r.out;
  for (size_t i = 0; i < 5; ++i) {
    const auto& b = doc["bridges"][i];
    EXPECT_EQ(b["bridge"]["kind"], expected[i][0]);
    EXPECT_EQ(b["bridge"]["serial"], expected[i][1]);
    EXPECT_EQ(b["bridge"]["path"], expected[i][2]);
    EXPECT_TRUE(b["usable"].get<bool>()) << b;
  }
  EXPECT_TRUE(files_in(dir).empty());
}

// Three boards updated by three processes at once with the same settings:
// one board's controller vanishes, one is already current, one is updated.
// Each loads and writes its own flash file; the two boards no process used
// keep theirs untouched.
TEST(SimBridges, EachProcessUpdatesItsOwnBoardWithItsOwnFaultsAndFlashFile) {
  TempDir dir;
  const std::string image = dir.file("image.bin");
  write_file(image, make_image());
  const std::vector<std::string> serials = {"BOARDSIM0001", "BOARDSIM0002", "CP2112SIM0002"};
  for (size_t i = 0; i < serials.size(); ++i) {
    write_file(dir.file(serials[i] + ".bin"), std::vector<uint8_t>(0x20000, static_cast<uint8_t>(0x11 * (i + 1))));
  }
  EnvList env = kFive;
  env.insert(env.end(), {{"KDSIM_FLASH_IN", dir.file("%s.bin")},
                         {"KDSIM_FLASH_OUT", dir.file("%s.bin")},
                         {"KDSIM_BOARDSIM0001_VANISH_AFTER", "500"},
                         {"KDSIM_CP2112SIM0002_VERSIONS", "0001,0102,0003,0010"}});
  std::vector<RunningProcess> running;
  for (const std::string& serial : serials) {
    running.push_back(
        start_process({KDTOOL_PATH, "--virtual", "--serial", serial, "update", image, "0102", "0003", "0010"}, env));
  }
  std::vector<ProcessResult> results;
  for (const RunningProcess& process : running) results.push_back(finish_process(process));

  const std::vector<uint8_t> written = make_image();
  std::vector<std::vector<uint8_t>> flash;
  for (size_t i = 0; i < serials.size(); ++i) {
    flash.push_back(read_file(dir.file(serials[i] + ".bin")));
    ASSERT_EQ(flash[i].size(), 0x20000u) << serials[i];
    const auto own = static_cast<uint8_t>(0x11 * (i + 1));
    EXPECT_TRUE(std::all_of(flash[i].begin(), flash[i].begin() + 0x4000, [own](uint8_t b) { return b == own; }))
        << serials[i] << " loaded another board's flash";
  }
  EXPECT_EQ(results[0].exit_code, 1) << results[0].out << results[0].err;
  EXPECT_FALSE(std::equal(written.begin(), written.end(), flash[0].begin() + 0x4000));

  EXPECT_EQ(results[1].exit_code, 0) << results[1].out << results[1].err;
  EXPECT_TRUE(has(results[1].out, "Flash Writing Complete!!!\n"));
  EXPECT_TRUE(std::equal(written.begin(), written.end(), flash[1].begin() + 0x4000));

  EXPECT_EQ(results[2].exit_code, 0) << results[2].out << results[2].err;
  EXPECT_TRUE(has(results[2].out, "FW Version : SAME\n"));
  EXPECT_TRUE(std::all_of(flash[2].begin(), flash[2].end(), [](uint8_t b) { return b == 0x33; }));

  EXPECT_EQ(files_in(dir), (std::set<std::string>{"image.bin", "BOARDSIM0001.bin", "BOARDSIM0002.bin",
                                                  "CP2112SIM0002.bin"}));
}

TEST(SimBridges, BadSettingsStopWithExitCode2AndOneMessageNamingTheVariable) {
  TempDir dir;
  struct Case {
    EnvList env;
    std::string says;
  };
  const Case cases[] = {
      {{{"KDSIM_BRIDGES", "custom:0"}}, "KDSIM_BRIDGES: invalid value \"custom:0\""},
      {{{"KDSIM_BRIDGES", "usb:1"}}, "KDSIM_BRIDGES: invalid value"},
      {{{"KDSIM_BRIDGES", "custom:x"}}, "KDSIM_BRIDGES: invalid value"},
      {{{"KDSIM_BRIDGES", "custom:2,"}}, "KDSIM_BRIDGES: invalid value"},
      {{{"KDSIM_BRIDGES", "custom:40,cp2112:25"}}, "KDSIM_BRIDGES: invalid value"},
      {{{"KDSIM_BRIDGES", "custom:1"}, {"KDSIM_BRIDGE", "custom"}}, "KDSIM_BRIDGE"},
      {{{"KDSIM_BRIDGES", "custom:3"}, {"KDSIM_BOARDSIM0002_VANISH_AFTER", "soon"}},
       "KDSIM_BOARDSIM0002_VANISH_AFTER: invalid value \"soon\""},
      {{{"KDSIM_BRIDGES", "custom:3"}, {"KDSIM_BOARDSIM0004_BUSY", "1"}}, "KDSIM_BOARDSIM0004_BUSY: KDSIM_BRIDGES has no"},
      {{{"KDSIM_BRIDGES", "custom:3"}, {"KDSIM_BOARDSIM0002_BRIDGE", "cp2112"}}, "not a setting of a board"},
      {{{"KDSIM_BOARDSIM0001_BUSY", "1"}}, "KDSIM_BOARDSIM0001_BUSY: settings of one board need KDSIM_BRIDGES"},
      {{{"KDSIM_BRIDGES", "custom:1,cp2112:1"}, {"KDSIM_FLASH_OUT", dir.file("flash.bin")}},
       "KDSIM_FLASH_OUT: BOARDSIM0001 and CP2112SIM0001 would both write"},
      {{{"KDSIM_TOUCH", "x"}, {"KDSIM_ESD", "y"}}, "KDSIM_TOUCH: invalid value \"x\""},
  };
  for (const Case& c : cases) {
    const ProcessResult r = kdtool({"list"}, c.env);
    EXPECT_EQ(r.exit_code, 2) << c.says;
    EXPECT_TRUE(has(r.err, c.says)) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  // A board's own flash file is needed only once a process talks to it.
  EnvList env = kFive;
  env.emplace_back("KDSIM_BOARDSIM0002_FLASH_IN", dir.file("missing.bin"));
  EXPECT_EQ(kdtool({"--serial", "BOARDSIM0001", "info"}, env).exit_code, 0);
  const ProcessResult r = kdtool({"--serial", "BOARDSIM0002", "info"}, env);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(has(r.err, "KDSIM_FLASH_IN: cannot open \"" + dir.file("missing.bin") + "\"")) << r.err;
}

// A board can lie about itself: the tests of everything that prints or
// matches what a device reports use these. Keyed by the serial the bridge
// would have, with KDSIM_BRIDGES and KDSIM_BRIDGE alike.
TEST(SimBridges, EachBridgeReportsTheStringsItIsGivenAndMayRefuseToOpen) {
  const std::string hostile = std::string("$(touch${IFS}/tmp/x)\x1b]0;t\x07\n\xff../x") + std::string(5000, 'S') + R"(\x1b\\)";
  struct Case {
    EnvList env;
    std::vector<std::vector<std::string>> bridges;  // serial, product, manufacturer, open failure
  };
  const Case cases[] = {
      {{{"KDSIM_BRIDGES", "custom:2,cp2112:1"},
        {"KDSIM_BOARDSIM0002_SERIAL", "BOARDSIM0001"},
        {"KDSIM_BOARDSIM0001_REFUSE_OPEN", "busy"},
        {"KDSIM_CP2112SIM0001_SERIAL", hostile},
        {"KDSIM_CP2112SIM0001_PRODUCT", "\\e[2J"},
        {"KDSIM_CP2112SIM0001_MANUFACTURER", ""}},
       {{"BOARDSIM0001", "KD63507 USB HID bridge", "Pelmoranth", "in use by another program"},
        {"BOARDSIM0001", "KD63507 USB HID bridge", "Pelmoranth", ""},
        {"$(touch${IFS}/tmp/x)\x1b]0;t\x07\n\xff../x" + std::string(5000, 'S') + "\x1b\\", "\x1b[2J", "", ""}}},
      {{{"KDSIM_BRIDGE", "both"}, {"KDSIM_CP2112SIM0001_SERIAL", ""}, {"KDSIM_BOARDSIM0001_REFUSE_OPEN", "permission"}},
       {{"BOARDSIM0001", "KD63507 USB HID bridge", "Pelmoranth", "permission denied"},
        {"", "CP2112 HID USB-to-SMBus Bridge", "Silicon Laboratories", ""}}},
  };
  for (const Case& c : cases) {
    for (const auto& [name, value] : c.env) setenv(name.c_str(), value.c_str(), 1);
    ASSERT_EQ(kdsim_setup_from_environment(), 0);
    for (const auto& [name, value] : c.env) unsetenv(name.c_str());
    const auto& devices = hid_virtual_devices();
    ASSERT_EQ(devices.size(), c.bridges.size());
    for (size_t i = 0; i < devices.size(); ++i) {
      const HidDeviceInfo& info = devices[i]->info;
      EXPECT_EQ(info.serial, c.bridges[i][0]) << i;
      EXPECT_EQ(info.product, c.bridges[i][1]) << i;
      EXPECT_EQ(info.manufacturer, c.bridges[i][2]) << i;
      std::string why;
      HidHandle* handle = hid_transport_virtual.open(info.path, &why);
      EXPECT_EQ(handle == nullptr, !c.bridges[i][3].empty()) << i;
      EXPECT_EQ(why, c.bridges[i][3]) << i;
      hid_transport_virtual.close(handle);
    }
  }
  hid_virtual_detach_all();
  // Strings and refusals are the only settings a bridge of KDSIM_BRIDGE has
  // of its own, and they must name one of its bridges.
  const Case refused[] = {
      {{{"KDSIM_BRIDGE", "custom"}, {"KDSIM_CP2112SIM0001_SERIAL", "x"}}, {{"KDSIM_CP2112SIM0001_SERIAL: no bridge"}}},
      {{{"KDSIM_BOARDSIM0001_SERIAL", "\\q"}}, {{"KDSIM_BOARDSIM0001_SERIAL: invalid value"}}},
      {{{"KDSIM_BOARDSIM0001_SERIAL", "\\x"}}, {{"KDSIM_BOARDSIM0001_SERIAL: invalid value"}}},
      {{{"KDSIM_BRIDGES", "custom:2"}, {"KDSIM_BOARDSIM0002_REFUSE_OPEN", "yes"}},
       {{"KDSIM_BOARDSIM0002_REFUSE_OPEN: invalid value"}}},
  };
  for (const Case& c : refused) {
    const ProcessResult r = kdtool({"list"}, c.env);
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_TRUE(has(r.err, c.bridges[0][0])) << r.err;
  }
}

// A fixture's control file, written as the tests of a shift write it: a new
// file renamed over the old one, so that a reader never sees half a line.
void put_in(const std::string& path, const std::string& text) {
  std::ofstream(path + ".new", std::ios::binary) << text;
  std::filesystem::rename(path + ".new", path);
}

// One production line's day in separate processes, as the station runs it:
// modules put in and taken out behind a bridge that stays, a bridge pulled
// and put back, each step the control file's line and one kdtool run.
TEST(SimBridges, FixturesSwapModulesAndPlugBridgesBetweenProcesses) {
  TempDir dir;
  const std::string image = dir.file("image.bin");
  write_file(image, make_image());
  const EnvList env = {{"KDSIM_BRIDGES", "custom:1,cp2112:1"}, {"KDSIM_FIXTURE", dir.file("%s.fixture")}};
  const std::vector<std::string> update = {"--path", "virtual:0", "update", image, "0102", "0003", "0010"};
  const std::vector<std::string> info = {"--path", "virtual:0", "info"};
  const std::vector<std::string> list = {"list"};
  // a.bin: a module written by an earlier process, its file dated back so
  // that a rewrite shows.
  const std::vector<uint8_t> a_flash(0x20000, 0xA5);
  write_file(dir.file("a.bin"), a_flash);
  const auto dated = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  std::filesystem::last_write_time(dir.file("a.bin"), dated);
  struct Step {
    std::string serial, line;  // serial empty: no control file yet
    std::vector<std::string> args;
    int exit_code;
    std::string says, never;  // in the JSON output, and not
  };
  const Step steps[] = {
      {"", "", info, 1, "\"reason\":\"the controller does not answer\"", ""},
      {"BOARDSIM0001", "# between units\n\nempty\n", info, 1, "\"reason\":\"the controller does not answer\"", ""},
      {"BOARDSIM0001", "module a.bin VERSIONS=0001,0102,0003,0010\r\n", info, 0, "\"core\":\"01.02\"", ""},
      {"BOARDSIM0001", "module b.bin", update, 0, "\"ok\":true", ""},
      {"BOARDSIM0001", "module   a.bin   VERSIONS=0001,0000,0007,0000", info, 0, "\"publ\":\"00.07\"", ""},
      {"BOARDSIM0001", "module c.bin VANISH_AFTER=200", update, 1,
       "\"reason\":\"the controller stopped answering\"", ""},
      {"CP2112SIM0001", "unplugged", list, 0, "BOARDSIM0001", "CP2112SIM0001"},
      {"CP2112SIM0001", "unplugged", {"--path", "virtual:1", "info"}, 3, "", ""},
      {"CP2112SIM0001", "empty", list, 0, "CP2112SIM0001", ""},
  };
  for (const Step& step : steps) {
    if (!step.serial.empty()) put_in(dir.file(step.serial + ".fixture"), step.line);
    std::vector<std::string> args = step.args;
    args.insert(args.begin(), "--json");
    const ProcessResult r = kdtool(args, env);
    EXPECT_EQ(r.exit_code, step.exit_code) << step.line << r.out << r.err;
    EXPECT_TRUE(has(r.out, step.says)) << step.line << r.out;
    EXPECT_TRUE(step.never.empty() || !has(r.out, step.never)) << step.line << r.out;
  }
  // b.bin did not exist: erased flash, now with the image; a.bin was only read.
  const std::vector<uint8_t> b_flash = read_file(dir.file("b.bin"));
  const std::vector<uint8_t> written = make_image();
  ASSERT_EQ(b_flash.size(), 0x20000u);
  EXPECT_TRUE(std::equal(written.begin(), written.end(), b_flash.begin() + 0x4000));
  EXPECT_EQ(std::count(b_flash.begin(), b_flash.begin() + 0x4000, 0xFF), 0x4000);
  EXPECT_EQ(read_file(dir.file("a.bin")), a_flash);
  EXPECT_EQ(std::filesystem::last_write_time(dir.file("a.bin")), dated);
}

TEST(SimBridges, ABadFixtureLineOrSettingStopsWithExitCode2NamingTheVariableAndFile) {
  TempDir dir;
  write_file(dir.file("short.bin"), std::vector<uint8_t>(100, 0));
  const std::string control = dir.file("CP2112SIM0001.fixture");
  const std::string where = "KDSIM_FIXTURE: \"" + control + "\": ";
  const EnvList env = {{"KDSIM_BRIDGES", "custom:1,cp2112:1"}, {"KDSIM_FIXTURE", dir.file("%s.fixture")}};
  struct Case {
    std::string line;
    std::string says;
  };
  const Case cases[] = {
      {"modul a.bin", where + "invalid line \"modul a.bin\""},
      {"module", where + "invalid line \"module\""},
      {"empty\nmodule a.bin", where + "more than one line"},
      {"module a.bin BUSY", where + "invalid setting \"BUSY\""},
      {"module a.bin BUSY=1 BUSY=2", where + "\"BUSY\" given twice"},
      {"module a.bin VANISH_AFTER=soon", where + "VANISH_AFTER: invalid value \"soon\""},
      {"module a.bin CORRUPT_UNIT=4001", where + "CORRUPT_UNIT: invalid value \"4001\""},
      {"module a.bin TIMING=off", where + "TIMING: not a setting of a module"},
      {"module short.bin", where + "module flash \"" + dir.file("short.bin") + "\" is not 131072 bytes long"},
  };
  for (const Case& c : cases) {
    put_in(control, c.line);
    const ProcessResult r = kdtool({"list"}, env);
    EXPECT_EQ(r.exit_code, 2) << c.line;
    EXPECT_TRUE(has(r.err, c.says)) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  // A fixture holds one board's bridge, and that board's flash is its module's.
  const Case refused[] = {
      {"KDSIM_BRIDGE", "KDSIM_FIXTURE: a fixture needs KDSIM_BRIDGES"},
      {"KDSIM_FLASH_OUT", "KDSIM_BOARDSIM0001_FIXTURE: a board in a fixture has its flash in the module's file"},
  };
  for (const Case& c : refused) {
    EnvList with = c.line == "KDSIM_BRIDGE" ? EnvList{{"KDSIM_FIXTURE", control}}
                                            : EnvList{{"KDSIM_BRIDGES", "custom:1"},
                                                      {"KDSIM_BOARDSIM0001_FIXTURE", control},
                                                      {"KDSIM_FLASH_OUT", dir.file("out.bin")}};
    const ProcessResult r = kdtool({"list"}, with);
    EXPECT_EQ(r.exit_code, 2) << c.says;
    EXPECT_TRUE(has(r.err, c.says)) << r.err;
  }
}

// Within one process the control file is read again at each enumeration and
// open: the station's parent sees a bridge come and go and a module appear.
TEST(SimBridges, OneProcessSeesTheFixtureChangeBetweenEnumerations) {
  TempDir dir;
  setenv("KDSIM_BRIDGES", "custom:2", 1);
  setenv("KDSIM_BOARDSIM0002_FIXTURE", dir.file("fixture").c_str(), 1);
  ASSERT_EQ(kdsim_setup_from_environment(), 0);
  unsetenv("KDSIM_BRIDGES");
  unsetenv("KDSIM_BOARDSIM0002_FIXTURE");
  // Whether the second board's bridge is listed and opens, and whether a
  // controller answers behind it.
  // Opened first: an open alone reads the file again.
  auto look = [](bool* listed, bool* answers) {
    std::string why;
    HidHandle* handle = hid_transport_virtual.open("virtual:1", &why);
    const std::vector<HidDeviceInfo> found = hid_transport_virtual.enumerate(0, 0, "");
    *listed = std::any_of(found.begin(), found.end(), [](const HidDeviceInfo& d) { return d.path == "virtual:1"; });
    *answers = false;
    if (handle == nullptr) return;
    // The custom board's requests: point at the interface block, read the
    // protocol name.
    const uint8_t point[64] = {0x09, 0x34 << 1, 2, 0, 0x01, 0x50};
    const uint8_t read[64] = {0x09, 0x34 << 1 | 1, 4, 0};
    uint8_t answer[64] = {};
    *answers = hid_transport_virtual.write(handle, point, sizeof point) == 64 &&
               hid_transport_virtual.write(handle, read, sizeof read) == 64 &&
               hid_transport_virtual.read(handle, answer, sizeof answer, 100) == 64 &&
               std::memcmp(answer + 4, "TCIP", 4) == 0;
    hid_transport_virtual.close(handle);
  };
  struct Case {
    std::string line;
    bool listed, answers;
  };
  const Case cases[] = {{"", true, false}, {"module m.bin", true, true}, {"unplugged", false, false},
                        {"module m.bin", true, true}, {"empty", true, false}};
  for (const Case& c : cases) {
    put_in(dir.file("fixture"), c.line);
    bool listed = false, answers = false;
    look(&listed, &answers);
    EXPECT_EQ(listed, c.listed) << c.line;
    EXPECT_EQ(answers, c.answers) << c.line;
  }
  hid_virtual_detach_all();
}

}  // namespace
#endif
