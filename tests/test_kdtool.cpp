// kdtool run as the real executable on the virtual hardware: bridge
// listing, device information, the console host, parallel updates by
// serial, and every refusal with its exit code.
#ifdef KDTOOL_PATH
#include "support_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>

namespace {

const std::string kNotice = "kdtool: VIRTUAL hardware (KDSIM_* settings): no real bridge or controller is used.\n";
const EnvList kBoth = {{"KDSIM_BRIDGE", "both"}};

ProcessResult kdtool(std::vector<std::string> args, const EnvList& env = kBoth, const std::string* input = nullptr) {
  args.insert(args.begin(), {KDTOOL_PATH, "--virtual"});
  return run_process(args, env, input);
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Kdtool, ListShowsEveryBridgeTheOptionsAllowAsTextAndJson) {
  const ProcessResult text = kdtool({"list"});
  EXPECT_EQ(text.exit_code, 0);
  EXPECT_EQ(text.out, kNotice + "custom  1209:7750  BOARDSIM0001  virtual:0  ok\n" +
                          "cp2112  10c4:ea90  CP2112SIM0001  virtual:1  ok\n");

  struct Case {
    std::vector<std::string> args;
    EnvList env;
    std::vector<std::string> serials;
  };
  const Case cases[] = {
      {{}, kBoth, {"BOARDSIM0001", "CP2112SIM0001"}},
      {{"--bridge", "cp2112"}, kBoth, {"CP2112SIM0001"}},
      {{"--serial", "BOARDSIM0001"}, kBoth, {"BOARDSIM0001"}},
      {{"--serial", "SIM0001"}, kBoth, {}},  // a serial is matched whole
      {{"--path", "virtual:1"}, kBoth, {"CP2112SIM0001"}},
      {{"--vid", "abcd", "--pid", "1"}, {{"KDSIM_BRIDGE", "custom"}, {"KDSIM_BOARD_ID", "ABCD:0001"}}, {"BOARDSIM0001"}},
      {{}, {{"KDSIM_BRIDGE", "none"}}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--json", "list"});
    const ProcessResult r = kdtool(args, c.env);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err.rfind(kNotice, 0), 0u) << "the notice leads stderr: " << r.err;
    const nlohmann::json doc = nlohmann::json::parse(r.out);  // stdout holds the document alone
    EXPECT_TRUE(doc["virtual"].get<bool>());
    ASSERT_EQ(doc["bridges"].size(), c.serials.size()) << r.out;
    for (size_t i = 0; i < c.serials.size(); ++i) {
      const auto& b = doc["bridges"][i];
      EXPECT_EQ(b["bridge"]["serial"], c.serials[i]);
      EXPECT_EQ(b["bridge"]["kind"], c.serials[i] == "CP2112SIM0001" ? "cp2112" : "custom");
      EXPECT_TRUE(b["usable"].get<bool>());
      EXPECT_TRUE(b["problem"].is_null());
    }
  }
  EXPECT_EQ(kdtool({"list"}, {{"KDSIM_BRIDGE", "none"}}).out, kNotice + "No bridge found.\n");
}

TEST(Kdtool, InfoBringsUpEitherBridgeAndReportsTheController) {
  const EnvList env = {{"KDSIM_BRIDGE", "both"}, {"KDSIM_VERSIONS", "0001,0102,0003,0010"}};
  for (const std::string serial : {"BOARDSIM0001", "CP2112SIM0001"}) {
    const bool cp2112 = serial == "CP2112SIM0001";
    const ProcessResult text = kdtool({"--serial", serial, "info"}, env);
    EXPECT_EQ(text.exit_code, 0) << text.err;
    EXPECT_EQ(text.out.rfind(kNotice, 0), 0u);
    EXPECT_TRUE(has(text.out, cp2112 ? "- SILABSCP2112 USB init successfully.\n" : "- KD63507 USB HID CUSTOM init successfully.\n"));
    EXPECT_FALSE(has(text.out, "Please press any key exit!!!"));

    const ProcessResult json = kdtool({"--serial", serial, "--json", "info"}, env);
    ASSERT_EQ(json.exit_code, 0) << json.err;
    const nlohmann::json doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["bridge"]["serial"], serial);
    EXPECT_EQ(doc["bridge"]["kind"], cp2112 ? "cp2112" : "custom");
    EXPECT_EQ(doc["i2c_address"], "0x34");
    EXPECT_EQ(doc["interface"]["protocol"], "TCIP");
    EXPECT_EQ(doc["versions"]["core"], "01.02");
    EXPECT_EQ(doc["versions"]["conf"], "00.10");
    EXPECT_EQ(doc["panel"], nlohmann::json::parse(
                                R"({"product": "KD63507 VIRTUAL", "resolution": [1080, 1920], "nodes": [16, 10], "keys": 2})"));

    // Nothing answers at 0x35: the information would mean nothing.
    const ProcessResult absent = kdtool({"--serial", serial, "--addr", "35", "info"}, env);
    EXPECT_EQ(absent.exit_code, 1);
    EXPECT_TRUE(has(absent.err, "no answer from the touch controller at address 0x35")) << absent.err;
  }
}

// Information with a block missing is no information: any read that fails
// or reads the idle bus fails info, named by its first such block, in text,
// JSON (the document with nulls, then the end object) and --all.
TEST(Kdtool, InfoFailsWhenAnyBlockCannotBeRead) {
  struct Case {
    EnvList env;
    std::string text_reason, json_reason;  // the text reads the panel first
  };
  const std::string version = "cannot read the version block (register 0x0120)";
  const Case cases[] = {
      {{{"KDSIM_BRIDGE", "custom"}, {"KDSIM_UNPLUG_AFTER", "5"}}, "the bridge was unplugged", "the bridge was unplugged"},
      {{{"KDSIM_BRIDGE", "custom"}, {"KDSIM_VANISH_AFTER", "5"}}, "cannot read the panel block (register 0x0100)", version},
      {{{"KDSIM_BRIDGE", "cp2112"}, {"KDSIM_VANISH_AFTER", "5"}}, "cannot read the panel block (register 0x0100)", version},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env[0].second + " " + c.env[1].first);
    const ProcessResult text = kdtool({"info"}, c.env);
    EXPECT_EQ(text.exit_code, 1);
    EXPECT_TRUE(text.out.ends_with("Info FAILED: " + c.text_reason + "\n")) << text.out;
    EXPECT_FALSE(has(text.out, "FF.FF")) << text.out;

    const ProcessResult json = kdtool({"--json", "info"}, c.env);
    EXPECT_EQ(json.exit_code, 1);
    const size_t split = json.out.find('\n');
    ASSERT_NE(split, std::string::npos) << json.out;
    const nlohmann::json doc = nlohmann::json::parse(json.out.substr(0, split));
    const nlohmann::json end = nlohmann::json::parse(json.out.substr(split + 1));
    EXPECT_TRUE(doc["versions"].is_null()) << doc;
    EXPECT_EQ(end["ok"], false);
    EXPECT_EQ(end["reason"], c.json_reason);
  }
  const ProcessResult all = kdtool({"info", "--all"}, {{"KDSIM_BRIDGES", "custom:2"}, {"KDSIM_BOARDSIM0002_VANISH_AFTER", "5"}});
  EXPECT_EQ(all.exit_code, 1);
  EXPECT_TRUE(has(all.out, "BOARDSIM0002: Info FAILED: " + version)) << all.out;
}

TEST(Kdtool, DiagRunsUntilItsKeysOrItsInputEnd) {
  for (const std::string keys : {"zx", "", "zzz"}) {
    const ProcessResult r = kdtool({"diag"}, kBoth, &keys);
    EXPECT_EQ(r.exit_code, 0) << keys;
    EXPECT_TRUE(has(r.out, "- KD63507 USB HID CUSTOM init successfully.\n")) << r.out;
    EXPECT_EQ(has(r.out, "*** You hit [x]"), keys == "zx") << "zx ends through its x";
  }
}

// A script's keys: a wait that never ends is ended by the end of input; the
// keys typed after a mode change are handled after its wait, in order; an
// escape sequence is one key that does nothing; control bytes are echoed
// escaped.
TEST(Kdtool, DiagScriptsNeverHangAndLoseNoKey) {
  const EnvList never_ready = {{"KDSIM_NEVER_READY", "1"}};
  const struct {
    std::string keys;
    EnvList env;
    std::vector<std::string> in_order;
    std::vector<std::string> never;
  } cases[] = {
      {"2", never_ready, {"*** You hit [2]"}, {}},
      {"z", never_ready, {"*** You hit [z]"}, {}},
      {"5Y", never_ready, {"*** You hit [5]", "Flash-write test stopped at 0x00004000.\n"}, {}},
      {"2 i", never_ready, {"*** You hit [2]", "*** You hit [i]"}, {"You hit [ ]"}},  // the space ends 2's wait
      {"2qx", kBoth, {"*** You hit [2]", "*** You hit [q]", "Read Packet: 0x5a", "*** You hit [x]"}, {}},
      {"l\x1b[A\x1bOR\x1bx",
       kBoth,
       {"*** You hit [l]", "*** You hit [\\x1b]", "*** You hit [x]"},
       {"Previous OSC", "Recalibrate!!!", "You hit [[]", "You hit [O]", "You hit [A]", "\x1b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    const ProcessResult r = kdtool({"diag"}, c.env, &c.keys);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    size_t at = 0;
    for (const std::string& part : c.in_order) {
      const size_t found = r.out.find(part, at);
      ASSERT_NE(found, std::string::npos) << part << "\n" << r.out;
      at = found;
    }
    for (const std::string& part : c.never) EXPECT_FALSE(has(r.out, part)) << part << "\n" << r.out;
  }
}

// kdtool diag with its keys from a pipe held open: the session can end only
// by itself.
ProcessResult diag_with_input_open(const EnvList& env) {
  TempDir dir;
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], STDIN_FILENO);
    close(fds[1]);
    dup2(open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    dup2(open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    execl(KDTOOL_PATH, KDTOOL_PATH, "--virtual", "diag", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  close(fds[1]);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_text_file(dir.file("out")),
          read_text_file(dir.file("err"))};
}

// No controller at the start ends diag as info; one that stops answering
// during the session ends it after the waits' give-up rule, on both bridges,
// and the idle bus is never shown as data.
TEST(Kdtool, DiagWithoutAControllerOrLosingItEndsInFailure) {
  for (const std::string bridge : {"custom", "cp2112"}) {
    SCOPED_TRACE(bridge);
    const ProcessResult absent = kdtool({"--addr", "35", "diag"}, {{"KDSIM_BRIDGE", bridge}});
    EXPECT_EQ(absent.exit_code, 1);
    EXPECT_TRUE(has(absent.err, "no answer from the touch controller at address 0x35")) << absent.err;
    EXPECT_FALSE(has(absent.out, "protocol name")) << absent.out;

    TempDir dir;
    const std::string trace = dir.file("trace");
    const ProcessResult lost =
        diag_with_input_open({{"KDSIM_BRIDGE", bridge}, {"KDSIM_VANISH_AFTER", "100"}, {"KDSIM_TRACE", trace}});
    EXPECT_EQ(lost.exit_code, 1) << lost.err;
    EXPECT_TRUE(lost.out.ends_with("The touch controller stopped answering.\n")) << lost.out;
    EXPECT_FALSE(has(lost.out, "ESD???")) << lost.out;
    // About a second of polls (two transfers each), each followed by its 1 ms pause.
    const std::string transfers = read_text_file(trace);
    EXPECT_LT(std::count(transfers.begin(), transfers.end(), '\n'), 100 + 2 * 1200);
  }
}

// A scripted session on each bridge: device information, touch and ESD
// lines, firmware information, an intensity image, the logging console with
// one log record, and the end record that closes the run.
TEST(Kdtool, DiagSessionsShowEventsImagesAndLogRecordsOnBothBridges) {
  const std::string keys = "vilrQQQQ";
  for (const std::string bridge : {"custom", "cp2112"}) {
    SCOPED_TRACE(bridge);
    const EnvList env = {{"KDSIM_BRIDGE", bridge}, {"KDSIM_TOUCH", "2"}, {"KDSIM_ESD", "1"}, {"KDSIM_LOGS", "1"}};
    const ProcessResult r = kdtool({"diag"}, env, &keys);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    size_t at = 0;
    for (const char* line :
         {"'TCIP_4.x' Protocol --------------------------------------------\n", "[Interface Informations]\n",
          " product name: KD63507 VIRTUAL\n", "[ 1]={   0, 960,  8, -1, 30,  0},\n", "*** You hit [v]\n",
          "  00.01 00.00 00.00 00.00\n", "[ 1]={1079, 960,  8, -1, 30,  0},\n", "*** You hit [i]\n",
          "== Get Intensity ===============================\n", "ESD???\n", "    Finger num: 1\n",
          "*** You hit [l]\n", "'TCIP_4.x' Log Protocol ----------------------------------------\n",
          "*** You hit [r]\n", "Rawdata ON\n", " > [166] Frame Start--------------------------------------------\n",
          " > [  0]          1,\n"}) {
      const size_t found = r.out.find(line, at);
      ASSERT_NE(found, std::string::npos) << line << "\n" << r.out;
      at = found;
    }
    // The end record closes the session before the last keys are read.
    size_t q_keys = 0;
    for (size_t q = r.out.find("You hit [Q]"); q != std::string::npos; q = r.out.find("You hit [Q]", q + 1)) ++q_keys;
    EXPECT_LT(q_keys, 4u);
  }
}

TEST(Kdtool, UpdatesTwoBridgesChosenBySerialInTwoProcessesAtOnce) {
  TempDir dir;
  const std::string image = dir.file("image.bin");
  write_file(image, make_image());
  const std::vector<std::string> serials = {"BOARDSIM0001", "CP2112SIM0001"};
  std::vector<RunningProcess> running;
  for (const std::string& serial : serials) {
    const EnvList env = {{"KDSIM_BRIDGE", "both"}, {"KDSIM_FLASH_OUT", dir.file(serial + ".flash")}};
    running.push_back(start_process({KDTOOL_PATH, "--virtual", "--serial", serial, "update", image, "0102", "0003", "0010"}, env));
  }
  const std::vector<uint8_t> written = make_image();
  for (size_t i = 0; i < serials.size(); ++i) {
    const ProcessResult r = finish_process(running[i]);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, i == 0 ? "- KD63507 USB HID CUSTOM init successfully." : "- SILABSCP2112 USB init successfully."));
    EXPECT_TRUE(has(r.out, "Flash Writing Complete!!!\n"));
    EXPECT_FALSE(has(r.out, "Please press any key exit!!!"));
    const std::vector<uint8_t> flash = read_file(dir.file(serials[i] + ".flash"));
    ASSERT_EQ(flash.size(), 0x20000u);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), flash.begin() + 0x4000)) << serials[i];
  }
}

TEST(Kdtool, UpdateEndsWithoutKeyWaitsAndWithTheOutcomesExitCode) {
  TempDir dir;
  const std::string image = dir.file("image.bin");
  write_file(image, make_image());
  struct Case {
    EnvList env;
    int exit_code;
    std::string says;
  };
  const Case cases[] = {
      {{{"KDSIM_VERSIONS", "0001,0102,0003,0010"}}, 0, "FW Version : SAME\n"},
      {{{"KDSIM_CHECK_FAIL", "20:5"}}, 1, "Flash Writing Fail!!!\n"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = kdtool({"update", image, "0102", "0003", "0010"}, c.env);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out;
    EXPECT_TRUE(has(r.out, c.says)) << r.out;
    EXPECT_FALSE(has(r.out, "Please press any key exit!!!")) << r.out;
  }
}

// Every refusal of the command line: exit 2, its one line first on stderr,
// then the hint; failures to find a bridge: exit 3.
TEST(Kdtool, CommandLineTableGivesExitCodeAndFirstStderrLine) {
  TempDir dir;
  const std::string image = dir.file("image.bin");
  write_file(image, make_image());
  struct Case {
    std::vector<std::string> args;
    EnvList env;
    int exit_code;
    std::string first_line;
  };
  const Case cases[] = {
      {{"--bogus", "list"}, kBoth, 2, "kdtool: unknown option --bogus"},
      {{"list", "--bogus=1"}, kBoth, 2, "kdtool: unknown option --bogus=1"},
      {{"fetch"}, kBoth, 2, "kdtool: unknown command fetch"},
      {{}, kBoth, 2, "kdtool: no command given"},
      {{"--addr", "80", "info"}, kBoth, 2, "kdtool: --addr 80: a 7-bit I2C address is 1 to 7F"},
      {{"info", "--addr=0"}, kBoth, 2, "kdtool: --addr 0: a 7-bit I2C address is 1 to 7F"},
      {{"--addr"}, kBoth, 2, "kdtool: --addr: 1 required HEX missing"},
      {{"list", "--bridge=usb"}, kBoth, 2, "kdtool: --bridge usb: expected custom, cp2112 or any"},
      {{"--bridge", "CP2112", "verify", "missing.bin"}, kBoth, 2, "kdtool: missing.bin: No such file or directory"},
      {{"verify", "--", "-missing.bin"}, kBoth, 2, "kdtool: -missing.bin: No such file or directory"},
      {{"--vid", "0", "--pid", "1", "list"}, kBoth, 2, "kdtool: --vid 0: expected a non-zero hex number of up to 4 digits"},
      {{"--vid", "1234", "list"}, kBoth, 2, "kdtool: --vid and --pid go together"},
      {{"--path", "a", "--serial", "b", "list"}, kBoth, 2, "kdtool: give --path or --serial, not both"},
      {{"list", "extra"}, kBoth, 2, "kdtool: list: unexpected operand extra"},
      {{"update", image, "1", "2"}, kBoth, 2, "kdtool: PARA_VER is required"},
      {{"update", image, "1", "2", "12345"}, kBoth, 2,
       "kdtool: PARA_VER: 12345: expected a version as info prints it (01.02) or as hex (0102)"},
      {{"update", image, "1.02", "2", "3"}, kBoth, 2,
       "kdtool: CORE_VER: 1.02: expected a version as info prints it (01.02) or as hex (0102)"},
      {{"verify"}, kBoth, 2, "kdtool: FILE is required"},
      {{"erase", "--at", "10"}, kBoth, 2, "kdtool: unknown option --at"},
      {{"dump", "x.bin", "--verify"}, kBoth, 2, "kdtool: unknown option --verify"},
      {{"verify", image, "--at", "20000"}, kBoth, 2, "kdtool: --at 20000: a flash address is 0 to 1FFFF"},
      {{"dump", "x.bin", "--at", "2"}, kBoth, 2, "kdtool: --at 2: a flash address is a multiple of 4 from 0 to 1FFFC"},
      {{"dump", "x.bin", "--length", "6"}, kBoth, 2, "kdtool: --length 6: a length is a multiple of 4 from 4 to 20000"},
      {{"dump", "x.bin", "--at", "1F000", "--length", "2000"}, kBoth, 2,
       "kdtool: --at 1F000 --length 2000: runs past the end of the flash (20000)"},
      {{"list"}, {{"KDSIM_BRIDGE", "many"}}, 2, "KDSIM_BRIDGE: invalid value \"many\" (expected custom, cp2112, both or none)"},
      {{"--serial", "nope", "info"}, kBoth, 3, "kdtool: Device Not Found: no usable bridge (custom board or CP2112) with serial nope."},
      {{"--addr", "7F", "--path", "virtual:7", "diag"}, kBoth, 3, "kdtool: Device Not Found: no usable bridge (custom board or CP2112) at virtual:7."},
      {{"--bridge", "cp2112", "update", image, "1", "2", "3"}, {{"KDSIM_BRIDGE", "custom"}}, 3, "kdtool: Device Not Found: no usable CP2112."},
      {{"info", "--bridge", "custom"}, {{"KDSIM_BRIDGE", "cp2112"}}, 3, "kdtool: Device Not Found: no usable custom board."},
  };
  for (const Case& c : cases) {
    const ProcessResult r = kdtool(c.args, c.env);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.first_line << "\n" << r.err;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.first_line) << r.err;
    if (c.exit_code == 2 && c.first_line.rfind("kdtool:", 0) == 0 && !has(c.first_line, "No such file")) {
      EXPECT_TRUE(has(r.err, "\nTry 'kdtool --help'.\n"));
    }
  }
  // Bare: the usage on stderr.
  const ProcessResult bare = run_process({KDTOOL_PATH});
  EXPECT_EQ(bare.exit_code, 2);
  EXPECT_TRUE(bare.out.empty());
  EXPECT_TRUE(has(bare.err, "kdtool [OPTIONS] update IMAGE CORE_VER APP_VER PARA_VER")) << bare.err;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-V"}, {"--version"}}) {
    const ProcessResult version = run_process({KDTOOL_PATH, args[0]});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string("kdtool ") + "1.1.0\n");
  }
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-h"}, {"--help"}, {"dump", "--help"}}) {
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), KDTOOL_PATH);
    const ProcessResult help = run_process(argv);
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_TRUE(has(help.out, args[0] == "dump" ? "--length" : "kdtool [OPTIONS] update IMAGE")) << help.out;
  }
  // A command's help shows the global options too, and values by what they
  // are, never by their type.
  for (const char* command :
       {"list", "info", "diag", "update", "dump", "program", "verify", "erase", "remove-device"}) {
    const ProcessResult help = run_process({KDTOOL_PATH, command, "--help"});
    EXPECT_TRUE(has(help.out, "\nGlobal options (before or after the command):\n  --")) << help.out;
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_FALSE(std::regex_search(line, std::regex("^  \\S+ (TEXT|UINT|INT)\\b"))) << command << ": " << line;
    }
  }
  // With --json a refusal ends stdout with its end object.
  const ProcessResult json = kdtool({"--json", "fetch"});
  EXPECT_EQ(json.exit_code, 2);
  const nlohmann::json end = nlohmann::json::parse(json.out);
  EXPECT_EQ(end["type"], "end");
  EXPECT_EQ(end["exit_code"], 2);
  EXPECT_EQ(end["reason"], "unknown command fetch");
}

// A bridge not found: what was seen, then what to do next (in JSON the
// end object's hint); a custom board named for a CP2112 command is said to
// be one.
TEST(Kdtool, DeviceNotFoundSaysWhatWasSeenAndWhatToDoNext) {
  const std::string no_bridge = "Hint: check the cable, see what kdtool list finds, and on Linux the udev rule (docs/hardware.md)";
  const std::string in_use = "Hint: another program holds the bridge (a second kdtool or fwdownload, a vendor's tool): close "
                             "it or pick a free bridge with --serial (docs/windows.md, \"in use\")";
  struct Case {
    std::vector<std::string> args;
    EnvList env;
    std::string err;
  };
  const Case cases[] = {
      {{"info"}, {{"KDSIM_BRIDGE", "none"}},
       "kdtool: Device Not Found: no usable bridge (custom board or CP2112).\n"
       "kdtool: no bridge of either kind was seen.\n" + no_bridge + "\n"},
      {{"--serial", "nope", "info"}, kBoth,
       "kdtool: Device Not Found: no usable bridge (custom board or CP2112) with serial nope.\n"
       "kdtool: seen: custom BOARDSIM0001 at virtual:0: usable\n"
       "kdtool: seen: cp2112 CP2112SIM0001 at virtual:1: usable\n" + no_bridge + "\n"},
      {{"--bridge", "cp2112", "info"}, {{"KDSIM_BRIDGE", "both"}, {"KDSIM_CP2112SIM0001_REFUSE_OPEN", "busy"}},
       "kdtool: Device Not Found: no usable CP2112.\n"
       "kdtool: seen: custom BOARDSIM0001 at virtual:0: usable\n"
       "kdtool: seen: cp2112 CP2112SIM0001 at virtual:1: cannot be opened: in use by another program\n" + in_use + "\n"},
      {{"--serial", "BOARDSIM0001", "dump", "x.bin"}, kBoth,
       "kdtool: BOARDSIM0001 is a custom board; dump needs a CP2112.\n"
       "kdtool: seen: custom BOARDSIM0001 at virtual:0: usable\n"
       "kdtool: seen: cp2112 CP2112SIM0001 at virtual:1: usable\n"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = kdtool(c.args, c.env);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.err, c.err) << r.err;
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--json");
    const ProcessResult json = kdtool(args, c.env);
    const std::string last = json.out.substr(json.out.rfind('{'));
    const nlohmann::json end = nlohmann::json::parse(last);
    const std::string hint = c.err.substr(c.err.rfind('\n', c.err.size() - 2) + 1);
    if (hint.starts_with("Hint: ")) {
      EXPECT_EQ(end["hint"], hint.substr(6, hint.size() - 7)) << last;
    } else {
      EXPECT_EQ(end["reason"], "BOARDSIM0001 is a custom board; dump needs a CP2112") << last;
    }
  }
}

// The refusals and the question; nothing here reaches a removal (Linux has
// none, and a confirmed run ends at the helper's line).
TEST(Kdtool, RemoveDeviceRefusesBadTextsAndAsksFirst) {
  const std::string too_long(260, 'a');
  const std::string yes = "yes\n", no = "no\n", nothing;
  const std::string question =
      "Remove from the system the first device whose first hardware ID contains \"VID_10C4\"? [yes/no] ";
  const std::string unavailable = "Removing a device is not available on this system.\n";
  const struct {
    std::vector<std::string> args;
    const std::string* input;
    int exit_code;
    std::string out;
    std::string err;
  } cases[] = {
      {{"remove-device", ""}, &yes, 2, "", "an empty TEXT would match the first device of the system"},
      {{"remove-device", too_long, "--yes"}, &yes, 2, "", "TEXT is longer than 259 characters"},
      {{"remove-device"}, &yes, 2, "", "kdtool: TEXT is required"},
      {{"--virtual", "remove-device", "VID_10C4"}, &yes, 2, kNotice, "never on --virtual hardware"},
      {{"--yes", "list"}, &yes, 2, "", "unknown option --yes"},
      {{"remove-device", "VID_10C4"}, &no, 1, question + "Nothing removed.\n", ""},
      {{"remove-device", "VID_10C4"}, &nothing, 1, question + "\nNothing removed.\n", ""},
      {{"remove-device", "VID_10C4"}, &yes, 1, question + unavailable, ""},
      {{"remove-device", "VID_10C4", "--yes"}, &nothing, 1, unavailable, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), KDTOOL_PATH);
    const ProcessResult r = run_process(args, {}, c.input);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_TRUE(has(r.err, c.err)) << c.err << "\n" << r.err;
  }
}

// Serials and file names are shown as safe_text shows them, in text lines and
// in JSON; a JSON run still ends with its end object when such a name is not
// UTF-8.
TEST(Kdtool, UntrustedNamesAreEscapedAndJsonRunsStillEnd) {
  TempDir dir;
  write_file(dir.file("fw\xff.bin"), make_image());
  write_file(dir.file("fw.bin"), make_image());
  write_file(dir.file("p\x1b[2J.bin"), make_image(0x100));
  const std::string hostile = "\\x1b]0;x\\x07\\n\\xff";  // as KDSIM_*_SERIAL takes it
  const EnvList serial = {{"KDSIM_BRIDGE", "both"}, {"KDSIM_BOARDSIM0001_SERIAL", hostile}};
  const struct {
    std::vector<std::string> args;
    EnvList env;
    int exit_code;
    std::string shown;  // in stdout or stderr, as written (JSON text escapes a backslash)
  } cases[] = {
      {{"--json", "update", dir.file("fw\xff.bin"), "1", "2", "3"}, kBoth, 0, R"(fw\\xff.bin")"},
      {{"--json", "update", dir.file("no\xff.bin"), "1", "2", "3"}, kBoth, 2, R"(no\\xff.bin: No such file)"},
      {{"update", dir.file("no\x1b[2J.bin"), "1", "2", "3"}, kBoth, 2, R"(no\x1b[2J.bin: No such file)"},
      {{"--serial", "\x1b]0;x\a\n", "info"}, kBoth, 3, R"(with serial \x1b]0;x\x07\x0a.)"},
      {{"dump", dir.file("d\x1b[2J.bin"), "--length", "100"}, kBoth, 0,
       "Upload Filename = " + dir.file(R"(d\x1b[2J.bin)")},
      {{"program", dir.file("p\x1b[2J.bin")}, kBoth, 0, "Download Filename = " + dir.file(R"(p\x1b[2J.bin)")},
      {{"list"}, serial, 0, R"(custom  1209:7750  \x1b]0;x\x07\x0a\xff  virtual:0  ok)"},
      {{"--json", "list"}, serial, 0, R"("serial":"\\x1b]0;x\\x07\\x0a\\xff")"},
      {{"--json", "--path", "virtual:0", "update", dir.file("fw.bin"), "1", "2", "3"}, serial, 0,
       R"("serial":"\\x1b]0;x\\x07\\x0a\\xff")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    const ProcessResult r = kdtool(c.args, c.env);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_TRUE(has(r.out + r.err, c.shown)) << r.out << r.err;
    EXPECT_FALSE(has(r.out + r.err, "\x1b")) << "no terminal sequence gets through";
    EXPECT_FALSE(has(r.out + r.err, "\xff")) << "nothing but UTF-8 gets through";
    if (c.args.front() != "--json") continue;
    nlohmann::json last;
    size_t lines = 0;
    for (size_t start = 0, nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1, ++lines) {
      last = nlohmann::json::parse(r.out.substr(start, nl - start), nullptr, false);
      ASSERT_FALSE(last.is_discarded()) << r.out;
    }
    ASSERT_GT(lines, 0u);
    if (c.args.back() != "list") {
      EXPECT_EQ(last["type"], "end") << r.out;
    }
  }
}

// The completion matches the serials and paths it reads without evaluating
// them, and offers them quoted for the shell; with jq and without it.
TEST(Kdtool, CompletionOffersHostileSerialsQuotedAndRunsNothing) {
  TempDir dir;
  const std::string bin = std::string(KDTOOL_PATH).substr(0, std::string(KDTOOL_PATH).rfind('/'));
  const EnvList env = {{"PATH", bin + ":" + std::getenv("PATH")},
                       {"KDSIM_BRIDGE", "both"},
                       {"KDSIM_BOARDSIM0001_SERIAL", "$(touch${IFS}" + dir.file("ran") + ")"},
                       {"KDSIM_CP2112SIM0001_SERIAL", "`touch " + dir.file("ran") + "` \"x"}};
  const std::string script = R"(
    [[ $2 == jq ]] || command() { [[ $1 == -v && $2 == jq ]] && return 1; builtin command "$@"; }
    source "$1"
    for cur in "" "\$" "\`"; do
      COMP_WORDS=(kdtool --virtual --serial "$cur"); COMP_CWORD=3
      _kdtool
      printf '%s|' "${COMPREPLY[@]}"; echo
    done)";
  for (const std::string jq : {"jq", "no jq"}) {
    SCOPED_TRACE(jq);
    const ProcessResult r =
        run_process({"/usr/bin/env", "bash", "-c", script, "bash", KDTOOL_COMPLETION_PATH, jq}, env);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::string first = "\\$\\(touch\\$\\{IFS\\}" + dir.file("ran") + "\\)|";
    const std::string second = "\\`touch\\ " + dir.file("ran") + "\\`\\ \\\"x|";
    EXPECT_EQ(r.out, first + second + "\n" + first + "\n" + second + "\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("ran")));
  }
  // Every command and option that kdtool's help lists is offered; "--" ends
  // the options. fwdownload and hex2c complete their files and options.
  const std::string kdtool_completion = KDTOOL_COMPLETION_PATH;
  const std::string completions = kdtool_completion.substr(0, kdtool_completion.rfind('/'));
  write_file(dir.file("fw.hex"), {});
  const std::string others = R"(
    source "$1/kdtool"; source "$1/fwdownload"; source "$1/hex2c"; cd "$2"
    offer() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); "_${1/-sim/}"; echo "${COMPREPLY[*]}"; }
    commands=" $(offer kdtool "") "
    for command in $(kdtool --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z-]*\) .*/\1/p'); do
      [[ $commands == *" $command "* ]] || echo "kdtool $command"
      options=" $(offer kdtool "$command" -) "
      for option in $(kdtool "$command" --help | sed -n 's/^  \(-[^ ]*\).*/\1/p' | tr , ' '); do
        [[ $options == *" $option "* ]] || echo "kdtool $command $option"
      done
    done
    offer kdtool update -- -; offer kdtool --bridge CP
    offer fwdownload ""; offer fwdownload-sim fw.hex ""
    offer hex2c -; offer hex2c --bin fw.hex o.bin -; offer hex2c --bin fw.hex o.bin --base ""
    offer hex2c --print ""; offer hex2c --print fw.hex "")";
  const ProcessResult all = run_process({"/usr/bin/env", "bash", "-c", others, "bash", completions, dir.path()}, env);
  EXPECT_EQ(all.out, "\ncp2112\nfw.hex\n\n--print --bin -h --help -V --version\n--base --size\n\nfw.hex\n\n")
      << all.err;
}


// Every command's JSON, on success and failure, single and --all, follows
// the schema files: each line one object of a known type that its schema
// accepts, in the order the type pattern gives (python3-jsonschema checks).
TEST(Kdtool, JsonOfEveryCommandFollowsTheSchema) {
  TempDir dir;
  const std::string image = dir.file("fw.bin"), small = dir.file("small.bin"), flash = dir.file("flash.bin");
  write_file(image, make_image());
  write_file(small, make_image(2048, 3));
  const std::vector<uint8_t> bytes = make_image(0x20000, 21);
  write_file(flash, bytes);
  write_file(dir.file("slice.bin"), std::vector<uint8_t>(bytes.begin() + 0x4000, bytes.begin() + 0x4800));
  const EnvList none = {{"KDSIM_BRIDGE", "none"}}, flash_in = {{"KDSIM_BRIDGE", "both"}, {"KDSIM_FLASH_IN", flash}};
  const EnvList two = {{"KDSIM_BRIDGES", "custom:1,cp2112:1"}, {"KDSIM_CP2112SIM0001_VANISH_AFTER", "500"}};
  const std::vector<std::string> update = {"update", image, "0102", "0003", "0010"};
  const std::string run = "start( progress)+ end";
  struct Case {
    std::vector<std::string> args;
    EnvList env;
    int exit_code;
    std::string types;  // a pattern of the lines' types
  };
  const Case cases[] = {
      {{"list"}, kBoth, 0, "list"},
      {{"list"}, none, 0, "list"},
      {{"info"}, kBoth, 0, "info"},
      {{"info"}, {{"KDSIM_BRIDGE", "custom"}, {"KDSIM_VANISH_AFTER", "5"}}, 1, "info end"},
      {{"info"}, none, 3, "end"},
      {update, kBoth, 0, run},
      {update, {{"KDSIM_CHECK_FAIL", "24:5"}}, 1, run},
      {update, {{"KDSIM_VERSIONS", "0001,0102,0003,0010"}}, 0, "start( progress)* end"},
      {{"verify", dir.file("slice.bin"), "--at", "4000"}, flash_in, 0, run},
      {{"verify", small}, kBoth, 1, "start( progress)* end"},  // ends at the first unit
      {{"dump", dir.file("d.bin"), "--length", "1000"}, kBoth, 0, run},
      {{"dump", dir.file("d.bin"), "--length", "4"}, {{"KDSIM_BRIDGE", "cp2112"}, {"KDSIM_ISP_STUCK", "1048"}}, 1,
       "start( progress)* end"},
      {{"--bridge", "custom", "dump", dir.file("d.bin")}, kBoth, 3, "start( progress)* end"},
      {{"program", small}, kBoth, 0, run},
      {{"erase"}, kBoth, 0, "start( progress)* end"},
      {{"verify", dir.file("missing.bin")}, kBoth, 2, "end"},
      {{"fetch"}, kBoth, 2, "end"},
      {{"diag"}, kBoth, 2, "end"},
      {{"update", "--all", "--no-verify", image, "0102", "0003", "0010"}, two, 1, "((start|progress|end) )+summary"},
      {{"verify", "--all", small}, two, 1, "((start|progress|end) )+summary"},
      {{"info", "--all"}, {{"KDSIM_BRIDGES", "custom:1,cp2112:1"}}, 0, "info info summary"},
      {{"update", "--all", image, "1", "2", "3"}, none, 3, "end"},
      {{"station", image, "0102", "0003", "0010", "--count", "1", "--record", dir.file("r.jsonl")},
       {{"KDSIM_BRIDGES", "custom:1"}, {"KDSIM_BOARDSIM0001_VANISH_AFTER", "300"}}, 1,
       "(slot )+start( (progress|slot))* end record slot station_summary"},
      {{"station", "--summary", dir.file("r.jsonl")}, {}, 0, "station_summary"},
      {{"station", image, "0102", "0003", "0010", "--wait", "0"}, none, 3, "end"},
      {{"remove-device", "VID_10C4", "--yes"}, {}, 1, "end"},
      {{"remove-device", "VID_10C4"}, {}, 1, "end"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "--json");
    if (c.args[0] != "remove-device") args.insert(args.begin(), "--virtual");  // this computer's own devices only
    args.insert(args.begin(), KDTOOL_PATH);
    const ProcessResult r = run_process(args, c.env);
    SCOPED_TRACE(c.args[0] + "\n" + r.out + r.err);
    EXPECT_EQ(r.exit_code, c.exit_code);
    const ProcessResult check = run_process({"/usr/bin/env", "python3", KDTOOL_VALIDATE_JSON, KDTOOL_SCHEMA_DIR}, {}, &r.out);
    EXPECT_EQ(check.exit_code, 0) << check.err;
    if (check.exit_code != 0) continue;
    const std::string types = check.out.substr(0, check.out.find('\n'));
    EXPECT_TRUE(std::regex_match(types, std::regex(c.types))) << types;
  }
}
}  // namespace
#endif
