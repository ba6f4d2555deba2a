// The entry, run as the real executable: argument handling, messages in their
// exact bytes and order, exit codes, and Ctrl+C on a terminal.
#include "support_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

const std::string kBannerRule(75, '=');
const std::string kBanner = kBannerRule + "\n=====                  Pelmoranth FW Download Application             =====\n" +
                            kBannerRule + "\n";
const std::string kPressKey = "Please press any key exit!!!\n";
const EnvList kNoBridge = {{"KDSIM_BRIDGE", "none"}};

class EntryArguments : public ::testing::Test {
 protected:
  ProcessResult run(std::vector<std::string> args, const EnvList& env = kNoBridge) {
    args.insert(args.begin(), FWDOWNLOAD_SIM_PATH);
    return run_process(args, env);
  }
  std::string image(size_t size) {
    const std::string path = dir_.file("image-" + std::to_string(size) + ".bin");
    write_file(path, make_image(size));
    return path;
  }
  TempDir dir_;
};

TEST_F(EntryArguments, NoBridgeShowsBannerThenDeviceNotFoundThenTerminated) {
  const ProcessResult r = run({image(0x1C000), "1234", "5678", "1", "2", "3", "34"});
  EXPECT_EQ(r.out, kBanner + "\n" + "Device Not Found.\n" + kPressKey + kBanner + "Terminated\n");
  EXPECT_EQ(r.exit_code, 3);
}

TEST_F(EntryArguments, ShortCommandLineNamesTheSevenPositionsAndReadsNone) {
  for (size_t given = 0; given < 7; ++given) {
    std::vector<std::string> args = {"/nonexistent.bin", "0", "0", "0", "0", "0", "0"};
    args.resize(given);
    const ProcessResult r = run(args);
    EXPECT_EQ(r.exit_code, 2) << given;
    EXPECT_NE(r.out.find("IMAGE VID PID CORE_VER APP_VER PARA_VER SLAVE_ADDR"), std::string::npos) << given;
    EXPECT_EQ(r.out.find("error"), std::string::npos) << "a position was read: " << r.out;
  }
}

TEST_F(EntryArguments, ImageThatDoesNotOpenIsRejectedBeforeAnyNumber) {
  ProcessResult r = run({dir_.file("missing.bin"), "0", "0", "1", "2", "3", "34"});
  EXPECT_EQ(r.out, "Image file open error.\n" + kPressKey);
  EXPECT_EQ(r.exit_code, 2);
  r = run({dir_.path(), "1234", "5678", "1", "2", "3", "34"});  // a directory is no image either
  EXPECT_EQ(r.out, "Image file size error.\n" + kPressKey);
  EXPECT_EQ(r.exit_code, 2);
}

TEST_F(EntryArguments, VendorAndProductIdsThatReadAsZeroAreRejected) {
  const std::string path = image(0x1C000);
  struct Case {
    const char* vid;
    const char* pid;
    const char* message;
  } cases[] = {
      {"0", "5678", "VID read error.\n"},
      {"10000", "5678", "VID read error.\n"},  // low 16 bits are zero
      {"zz12", "5678", "VID read error.\n"},   // no hexadecimal digit at all
      {"0x10000", "5678", "VID read error.\n"},
      {"1234", "0", "PID read error.\n"},
      {"1234", "x", "PID read error.\n"},
      {"0", "0", "VID read error.\n"},  // VID is checked first
  };
  for (const Case& c : cases) {
    const ProcessResult r = run({path, c.vid, c.pid, "1", "2", "3", "34"});
    EXPECT_EQ(r.out, std::string(c.message) + kPressKey) << c.vid << " " << c.pid;
    EXPECT_EQ(r.exit_code, 2);
  }
}

TEST_F(EntryArguments, ImageSizeIsCheckedOnlyAfterEveryArgument) {
  for (size_t size : {size_t{0x1C000 - 1}, size_t{0x1C000 + 1}, size_t{0}}) {
    const std::string path = image(size);
    ProcessResult r = run({path, "1234", "5678", "1", "2", "3", "34"});
    EXPECT_EQ(r.out, "Image file size error.\n" + kPressKey) << size;
    EXPECT_EQ(r.exit_code, 2);
    r = run({path, "1234", "0", "1", "2", "3", "34"});
    EXPECT_EQ(r.out, "PID read error.\n" + kPressKey) << size;
  }
}

// With the virtual board attached, what the controller sees and what the
// version check prints show how the numbers were read.
class EntryNumbers : public EntryArguments {
 protected:
  ProcessResult run_update(const std::vector<std::string>& versions, const std::string& slave,
                           const char* bridge = "custom") {
    const std::string path = image(0x1C000);
    const EnvList env = {
        {"KDSIM_BOARD_ID", "1234:5678"}, {"KDSIM_TRACE", dir_.file("trace.txt")}, {"KDSIM_BRIDGE", bridge}};
    return run({path, "1234", "5678", versions[0], versions[1], versions[2], slave}, env);
  }
  std::string first_trace_line() {
    const std::vector<uint8_t> bytes = read_file(dir_.file("trace.txt"));
    const std::string text(bytes.begin(), bytes.end());
    return text.substr(0, text.find('\n'));
  }
};

TEST_F(EntryNumbers, VersionsAreCutToSixteenBits) {
  const ProcessResult r = run_update({"FFFFF", "0x10203", "0"}, "34");
  EXPECT_NE(r.out.find("[Release FW Version CORE/APP/PARA]: FF.FF / 02.03 / 00.00\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(EntryNumbers, SlaveAddressZeroSelectsTheDefaultAndOnlySevenBitAddressesAreTaken) {
  for (const char* slave : {"0", "00", "zz"}) {
    const ProcessResult r = run_update({"1", "2", "3"}, slave);
    EXPECT_EQ(first_trace_line(), "W 34: 01 50") << slave;
    EXPECT_EQ(r.exit_code, 0) << slave;
  }
  for (const char* slave : {"80", "B4", "100", "0x1B4"}) {  // B4 would otherwise update the device at 34
    const ProcessResult r = run({image(0x1C000), "1234", "5678", "1", "2", "3", slave});
    EXPECT_EQ(r.out, "SLAVE_ADDR " + std::string(slave) + " is not a 7-bit I2C address (01 to 7F; 0 selects 34).\n" +
                         "Usage: " FWDOWNLOAD_SIM_PATH " IMAGE VID PID CORE_VER APP_VER PARA_VER SLAVE_ADDR\n");
    EXPECT_EQ(r.exit_code, 2);
  }
}

TEST_F(EntryNumbers, AnotherSlaveAddressIsUsedAsGivenAndNobodyAnswersThere) {
  for (const char* bridge : {"custom", "cp2112"}) {
    const ProcessResult r = run_update({"1", "2", "3"}, "35", bridge);
    EXPECT_EQ(first_trace_line(), "W 35:") << bridge;  // not acknowledged: no data bytes follow
    EXPECT_NE(r.out.find("No answer from the touch controller at address 0x35.\nno controller answers at address "
                         "0x35\nFlash Writing Fail!!!"),
              std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Flash Writing Complete!!!"), std::string::npos);
    EXPECT_EQ(r.exit_code, 1);
  }
}

// Reads what the child wrote to the terminal until `needle` shows or the
// child has said nothing for a long while.
bool read_until(int master, std::string& seen, const std::string& needle) {
  for (int idle = 0; idle < 100 && seen.find(needle) == std::string::npos;) {
    pollfd fd{master, POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) {
      ++idle;
      continue;
    }
    char chunk[512];
    const ssize_t n = read(master, chunk, sizeof chunk);
    if (n <= 0) break;
    seen.append(chunk, static_cast<size_t>(n));
  }
  return seen.find(needle) != std::string::npos;
}

// The prompt is printed just before the program switches the terminal to
// key mode: give it a moment to get there.
bool in_key_mode(int master) {
  for (int tries = 0; tries < 200; ++tries) {
    termios mode{};
    if (tcgetattr(master, &mode) == 0 && (mode.c_lflag & (ICANON | ECHO)) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// fwdownload-sim on a terminal of its own, with `args` and one KDSIM_ setting.
pid_t spawn(int& master, const std::vector<std::string>& args, const char* setting = nullptr) {
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (setting != nullptr) setenv(setting, setting[6] == 'B' ? "none" : "1", 1);
    std::vector<char*> argv = {const_cast<char*>(FWDOWNLOAD_SIM_PATH)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(FWDOWNLOAD_SIM_PATH, argv.data());
    _exit(127);
  }
  return pid;
}

// The terminal is back in line mode with echo.
void expect_restored(int master) {
  termios after{};
  ASSERT_EQ(tcgetattr(master, &after), 0);
  EXPECT_NE(after.c_lflag & ICANON, 0u);
  EXPECT_NE(after.c_lflag & ECHO, 0u);
  close(master);
}

TEST(EntryCtrlC, PrintsItsLineKeepsWaitingForAKeyAndRestoresTheTerminal) {
  TempDir dir;
  write_file(dir.file("image.bin"), make_image());
  int master = -1;
  const pid_t pid = spawn(master, {dir.file("image.bin"), "1234", "5678", "1", "2", "3", "34"}, "KDSIM_BRIDGE");
  ASSERT_GE(pid, 0);
  std::string seen;
  ASSERT_TRUE(read_until(master, seen, kPressKey.substr(0, kPressKey.size() - 1))) << seen;
  ASSERT_TRUE(in_key_mode(master));
  kill(pid, SIGINT);
  EXPECT_TRUE(read_until(master, seen, "[Ctrl+C] User terminated running of program."));
  EXPECT_NE(seen.find("\r\n\r\n[Ctrl+C] User terminated running of program.\r\n\r\n"), std::string::npos);
  EXPECT_EQ(seen.find("Terminated"), std::string::npos);  // still waiting for a key
  ASSERT_EQ(write(master, "k", 1), 1);
  EXPECT_TRUE(read_until(master, seen, "Terminated"));
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  expect_restored(master);
}

// SIGTERM or SIGHUP while it waits for a controller that never gets ready
// ends the run as Ctrl+C does, naming the signal; Ctrl+C at an argument
// error's key wait, before the Ctrl+C handler exists, ends the process. Either
// way the terminal gets its key mode and its colour back.
TEST(EntryCtrlC, SignalsEndTheRunAndRestoreKeyModeAndColour) {
  TempDir dir;
  write_file(dir.file("image.bin"), make_image());
  const struct {
    int signo;
    std::vector<std::string> args;
    const char* setting;
    const char* waits_after;
    const char* then_says;  // nullptr: the signal ends the process
  } cases[] = {
      {SIGTERM, {dir.file("image.bin"), "1234", "5678", "1", "2", "3", "34"}, "KDSIM_NEVER_READY", "filesize = 114688",
       "\r\n\r\n[SIGTERM] Stopping after the command in progress.\r\n\r\n"},
      {SIGHUP, {dir.file("image.bin"), "1234", "5678", "1", "2", "3", "34"}, "KDSIM_NEVER_READY", "filesize = 114688",
       "\r\n\r\n[SIGHUP] Stopping after the command in progress.\r\n\r\n"},
      {SIGINT, {"/nonexistent.bin", "1", "2", "3", "4", "5", "6"}, nullptr, "Please press any key exit!!!", nullptr},
  };
  for (const auto& c : cases) {
    int master = -1;
    const pid_t pid = spawn(master, c.args, c.setting);
    ASSERT_GE(pid, 0);
    std::string seen;
    ASSERT_TRUE(read_until(master, seen, c.waits_after)) << seen;
    ASSERT_TRUE(in_key_mode(master));
    kill(pid, c.signo);
    if (c.then_says != nullptr) {
      // The mode request is finished first (a controller that never gets
      // ready keeps it for 10 s); the signal again cuts that wait short.
      EXPECT_TRUE(read_until(master, seen, "finish the command in progress (up to 10 s)...")) << seen;
      kill(pid, c.signo);
      EXPECT_TRUE(read_until(master, seen, "Terminated")) << seen;
      EXPECT_NE(seen.find(c.then_says), std::string::npos) << seen;
      EXPECT_NE(seen.find(std::string(c.signo == SIGTERM ? "SIGTERM" : "SIGHUP") + "\r\nFlash Writing Fail!!!"),
                std::string::npos)
          << seen;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (c.then_says != nullptr) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.signo << " " << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signo) << c.signo;
    }
    if (c.setting != nullptr) {
      read_until(master, seen, "never shown");
      EXPECT_TRUE(seen.ends_with("\x1b[0m")) << c.signo << ": " << seen.substr(seen.size() - 40);
    }
    expect_restored(master);
  }
}

#ifdef KDTOOL_PATH
// A reader of the output that goes away (`| head`) only ends the printing:
// fwdownload-sim and kdtool write the whole image and end in success. SIGTERM
// ends a kdtool update after the command in flight, with a verdict naming it.
TEST(EntrySignals, AClosedOutputNeverCutsAWriteInHalfAndSigtermEndsItWithAVerdict) {
  TempDir dir;
  const std::vector<uint8_t> image = make_image();
  write_file(dir.file("image.bin"), image);
  // Paced like real hardware, so that the runs are still writing when the
  // output closes or the signal comes.
  auto env = [&](const std::string& flash) {
    return EnvList{{"KDSIM_BRIDGE", "custom"}, {"KDSIM_TIMING", "fullspeed"}, {"KDSIM_FLASH_OUT", dir.file(flash)}};
  };
  const std::vector<std::string> runs[] = {
      {FWDOWNLOAD_SIM_PATH, dir.file("image.bin"), "1209", "7750", "0102", "0003", "0010", "34"},
      {KDTOOL_PATH, "--virtual", "update", dir.file("image.bin"), "0102", "0003", "0010"}};
  std::vector<std::pair<RunningProcess, int>> piped;
  for (size_t i = 0; i < 2; ++i) {
    int reader = -1;
    piped.emplace_back(start_process(runs[i], env("flash" + std::to_string(i)), nullptr, &reader), reader);
  }
  for (auto& [running, reader] : piped) {
    std::string seen;
    char chunk[256];
    ssize_t n = 0;
    while (seen.find("Download Start!!!") == std::string::npos && (n = read(reader, chunk, sizeof chunk)) > 0) {
      seen.append(chunk, static_cast<size_t>(n));
    }
    close(reader);
  }
  for (size_t i = 0; i < 2; ++i) {
    const ProcessResult r = finish_process(piped[i].first);
    EXPECT_EQ(r.exit_code, 0) << runs[i][0] << "\n" << r.err;
    const std::vector<uint8_t> flash = read_file(dir.file("flash" + std::to_string(i)));
    EXPECT_TRUE(flash.size() == 0x20000u && std::equal(image.begin(), image.end(), flash.begin() + 0x4000))
        << runs[i][0];
  }

  const RunningProcess running =
      start_process({KDTOOL_PATH, "--virtual", "--json", "update", dir.file("image.bin"), "0102", "0003", "0010"},
                    env("flash2"));
  for (int i = 0; i < 400 && read_text_file(running.out_path).find("\"progress\"") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(running.pid, SIGTERM);
  const ProcessResult r = finish_process(running);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("\"type\":\"end\",\"ok\":false,\"exit_code\":1,\"reason\":\"SIGTERM\""), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("\nUpdate FAILED: SIGTERM\n"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir.file("flash2")).size(), 0x20000u);
}
#endif

}  // namespace
