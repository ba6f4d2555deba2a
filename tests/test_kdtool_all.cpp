// kdtool update --all on several virtual boards at once (KDSIM_BRIDGES):
// the per-board results, each board's flash, the summary and the exit code,
// in a pipe and in JSON; the logs; signals to the parent and its end; the
// refusals before any board starts.
#ifdef KDTOOL_PATH
#include "app/sha256.h"
#include "support_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <map>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const std::vector<std::string> kSerials = {"BOARDSIM0001", "BOARDSIM0002", "CP2112SIM0001", "CP2112SIM0002"};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The one file in `dir` whose name ends with `tail`, "" when there is not
// exactly one.
std::string file_ending(const std::string& dir, const std::string& tail) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().ends_with(tail)) found.push_back(entry.path().string());
  }
  return found.size() == 1 ? found.front() : "";
}

// Polls until `done` holds, at most `seconds`.
template <typename Done>
bool wait_until(Done done, int seconds = 30) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Four boards, each flash file filled with a byte of its own; CP2112SIM0001
// is already at the release versions, CP2112SIM0002 reports the same serial
// and its controller vanishes in the middle of the update.
struct MixedSet {
  TempDir dir;
  std::string image = dir.file("fw.bin");
  EnvList env = {{"KDSIM_BRIDGES", "custom:2,cp2112:2"},
                 {"KDSIM_FLASH_IN", dir.file("%s.bin")},
                 {"KDSIM_FLASH_OUT", dir.file("%s.bin")},
                 {"KDSIM_CP2112SIM0001_VERSIONS", "0001,0102,0003,0010"},
                 {"KDSIM_CP2112SIM0002_VANISH_AFTER", "500"},
                 {"KDSIM_CP2112SIM0002_SERIAL", "CP2112SIM0001"}};

  MixedSet() { write_file(image, make_image()); }

  static uint8_t own(size_t i) { return static_cast<uint8_t>(0x11 * (i + 1)); }

  void reset_flash() const {
    for (size_t i = 0; i < kSerials.size(); ++i) write_file(dir.file(kSerials[i] + ".bin"), std::vector<uint8_t>(0x20000, own(i)));
  }

  ProcessResult run(std::vector<std::string> extra) const {
    std::vector<std::string> args = {KDTOOL_PATH, "--virtual", "update", "--all", image, "0102", "0003", "0010"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_process(args, env);
  }

  // Both custom boards hold the image from 0x4000 and their own bytes below;
  // the current board is untouched; the vanished one lacks the image.
  void expect_flash() const {
    const std::vector<uint8_t> image_bytes = make_image();
    for (size_t i = 0; i < kSerials.size(); ++i) {
      const std::vector<uint8_t> flash = read_file(dir.file(kSerials[i] + ".bin"));
      ASSERT_EQ(flash.size(), 0x20000u) << kSerials[i];
      const uint8_t mine = own(i);
      EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 0x4000, [mine](uint8_t b) { return b == mine; }))
          << kSerials[i];
      const bool has_image = std::equal(image_bytes.begin(), image_bytes.end(), flash.begin() + 0x4000);
      EXPECT_EQ(has_image, i < 2) << kSerials[i];
      if (i == 2) {
        EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [mine](uint8_t b) { return b == mine; }));
      }
    }
  }
};

TEST(KdtoolAll, MixedSetInAPipeAndInJsonGivesEachBoardItsResultAndSummary) {
  MixedSet set;
  set.reset_flash();
  const ProcessResult r = set.run({"--log-dir", set.dir.file("logs")});
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  set.expect_flash();
  const std::string pad(13, ' ');
  const std::string rows[] = {"BOARDSIM0001" + pad + "  custom  ok, verified ", "BOARDSIM0002" + pad + "  custom  ok, verified ",
                              "CP2112SIM0001 (virtual:2)  cp2112  ok (current) ",
                              "CP2112SIM0001 (virtual:3)  cp2112  failed "};
  for (const std::string& row : rows) EXPECT_TRUE(has(r.out, row)) << row << "\n" << r.out;
  // The image as sha256sum names it, and each board's versions before and after.
  const std::vector<uint8_t> image_bytes = make_image();
  EXPECT_TRUE(has(r.out, "Summary of update --all:\n  " + set.image + ": 114688 bytes, SHA-256 " +
                             sha256_hex(image_bytes.data(), image_bytes.size()) + "\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "s  versions 00.00/00.00/00.00 -> 00.00/00.00/00.00\n  BOARDSIM0002")) << r.out;
  EXPECT_TRUE(has(r.out, "s  versions 01.02/00.03/00.10 -> -\n")) << r.out;
  EXPECT_TRUE(has(r.out, "s  versions 00.00/00.00/00.00 -> -  the controller stopped answering\n"
                         "Serial CP2112SIM0001 is reported by 2 boards: each was addressed by its path.\n"
                         "3 ok, 1 failed, 0 interrupted, 0 skipped\n"
                         "Update FAILED: 3 of 4 boards succeeded (1 failed, 0 interrupted); 2 verified\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "BOARDSIM0001: started (custom)\n")) << r.out;
  EXPECT_TRUE(has(r.out, "CP2112SIM0001 (virtual:2): Update OK, already at the release versions (")) << r.out;
  EXPECT_TRUE(has(r.out, "CP2112SIM0001 (virtual:3): Update FAILED: the controller stopped answering (")) << r.out;
  // Each board's whole text output in a log of its own, named with the
  // run's time, the serial and the board's place, after a header that says
  // what ran on which bridge with which image.
  const std::string logs = set.dir.file("logs");
  const std::string log2 = read_text_file(file_ending(logs, "Z-BOARDSIM0002-2.log"));
  EXPECT_TRUE(has(log2, "Flash Writing Complete!!!\n")) << log2;
  const std::vector<uint8_t> image = make_image();
  for (const std::string& line : {std::string("version: kdtool "), " --virtual update --all " + set.image + " 0102 0003 0010 --log-dir ",
                                  "image: " + set.image + ", 114688 bytes, SHA-256 " + sha256_hex(image.data(), image.size()) + "\n",
                                  std::string("bridge: custom, serial BOARDSIM0002, path virtual:1\n")}) {
    EXPECT_TRUE(has(log2.substr(0, log2.find("\n\n")), line)) << line << "\n" << log2;
  }
  EXPECT_TRUE(log2.starts_with("time: 20")) << log2;
  EXPECT_TRUE(has(read_text_file(file_ending(logs, "Z-CP2112SIM0001-3.log")), "FW Version : SAME\n"));
  EXPECT_TRUE(has(read_text_file(file_ending(logs, "Z-CP2112SIM0001-4.log")),
                  "Flash Writing Fail!!!\n"));

  // --json: every line an object; each board's start and end with its
  // serial and path; the summary last.
  set.reset_flash();
  const ProcessResult j = set.run({"--json"});
  EXPECT_EQ(j.exit_code, 1) << j.err;
  set.expect_flash();
  std::vector<nlohmann::json> objects;
  size_t start = 0;
  for (size_t nl; (nl = j.out.find('\n', start)) != std::string::npos; start = nl + 1) {
    objects.push_back(nlohmann::json::parse(j.out.substr(start, nl - start)));
  }
  EXPECT_EQ(start, j.out.size()) << "stdout ends with a partial line";
  ASSERT_FALSE(objects.empty());
  std::map<std::string, std::vector<std::string>> types;
  for (size_t i = 0; i + 1 < objects.size(); ++i) types[objects[i].at("bridge").at("path").get<std::string>()].push_back(objects[i].at("type"));
  for (const std::string path : {"virtual:0", "virtual:1", "virtual:2", "virtual:3"}) {
    ASSERT_GE(types[path].size(), 2u) << path;
    EXPECT_EQ(types[path].front(), "start") << path;
    EXPECT_EQ(types[path].back(), "end") << path;
  }
  const nlohmann::json& summary = objects.back();
  EXPECT_EQ(summary["type"], "summary");
  EXPECT_EQ(summary["exit_code"], 1);
  EXPECT_EQ(summary["counts"], (nlohmann::json{{"ok", 3}, {"failed", 1}, {"interrupted", 0}, {"skipped", 0}}));
  ASSERT_EQ(summary["boards"].size(), 4u);
  const char* results[] = {"ok", "ok", "ok", "failed"};
  const bool written[] = {true, true, false, false};
  for (size_t i = 0; i < 4; ++i) {
    const auto& board = summary["boards"][i];
    EXPECT_EQ(board["bridge"]["serial"], i < 2 ? kSerials[i] : "CP2112SIM0001");
    EXPECT_EQ(board["result"], results[i]) << board;
    EXPECT_EQ(board["written"], written[i]) << board;
    EXPECT_EQ(board["verified"], written[i]) << board;
  }
  EXPECT_EQ(summary["boards"][3]["reason"], "the controller stopped answering");
  EXPECT_EQ(summary["image"]["sha256"], sha256_hex(image_bytes.data(), image_bytes.size()));
  EXPECT_EQ(summary["boards"][2]["versions_before"], (nlohmann::json{{"core", "01.02"}, {"app", "00.03"}, {"para", "00.10"}}));
  EXPECT_EQ(summary["boards"][0]["versions_after"], (nlohmann::json{{"core", "00.00"}, {"app", "00.00"}, {"para", "00.00"}}));
  EXPECT_TRUE(summary["boards"][3]["versions_after"].is_null());
  EXPECT_EQ(summary["repeated_serials"], nlohmann::json::array({"CP2112SIM0001"}));
  EXPECT_TRUE(has(j.err, "3 ok, 1 failed, 0 interrupted, 0 skipped\n")) << j.err;
}

// Ctrl+C, SIGTERM or SIGHUP sent to the parent alone reaches every board;
// each ends its command in flight, and the summary names them interrupted
// and the signal that stopped the run.
TEST(KdtoolAll, SignalsToTheParentInterruptEveryBoardAndEndInASummary) {
  for (const auto& [signo, name] : {std::pair{SIGINT, "Ctrl+C"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
    TempDir dir;
    write_file(dir.file("fw.bin"), make_image());
    const EnvList env = {{"KDSIM_BRIDGES", "custom:1,cp2112:1"}, {"KDSIM_FLASH_OUT", dir.file("%s.bin")}};
    const RunningProcess running =
        start_process({KDTOOL_PATH, "--virtual", "update", "--all", dir.file("fw.bin"), "0102", "0003", "0010"}, env);
    wait_until([&] {
      const std::string out = read_text_file(running.out_path);
      return has(out, "BOARDSIM0001: 0 %") && has(out, "CP2112SIM0001: 0 %");
    });
    kill(running.pid, signo);
    const ProcessResult r = finish_process(running);
    EXPECT_EQ(r.exit_code, 1) << name << "\n" << r.out << r.err;
    EXPECT_TRUE(has(r.out, std::string("BOARDSIM0001: Update interrupted (") + name + ")")) << r.out;
    EXPECT_TRUE(has(r.out, "BOARDSIM0001   custom  interrupted ")) << r.out;
    EXPECT_TRUE(has(r.out, "CP2112SIM0001  cp2112  interrupted ")) << r.out;
    EXPECT_TRUE(has(r.out, std::string("0 ok, 0 failed, 2 interrupted, 0 skipped\nUpdate FAILED: 0 of 2 boards "
                                       "succeeded (0 failed, 2 interrupted); stopped by ") + name))
        << r.out;
    // Each child ended as a single update does: its flash written out.
    EXPECT_EQ(read_file(dir.file("BOARDSIM0001.bin")).size(), 0x20000u);
  }
}

// The process IDs of `parent`'s children.
std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_text_file(entry.path().string() + "/stat");
    const size_t close = stat.rfind(')');
    int ppid = 0;
    if (close != std::string::npos && std::sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 && ppid == parent) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
}

// A board's process that ends at once when kdtool --all ends does not run
// on, nor dies of its closed output: it ends its command in flight and stops,
// its flash written out with part of the image. A board's process killed
// after an "ok" verdict of its own fails the board and the run.
TEST(KdtoolAll, ABoardOutlivingItsParentStopsAndOneKilledAfterItsVerdictFails) {
  TempDir dir;
  const std::vector<uint8_t> image = make_image();
  write_file(dir.file("fw.bin"), image);
  const RunningProcess orphaned =
      start_process({KDTOOL_PATH, "--virtual", "update", "--all", dir.file("fw.bin"), "0102", "0003", "0010"},
                    {{"KDSIM_BRIDGES", "custom:1"}, {"KDSIM_TIMING", "fullspeed"}, {"KDSIM_FLASH_OUT", dir.file("%s.bin")}});
  // Paced like real hardware, so that it is stopped while it writes.
  ASSERT_TRUE(wait_until([&] { return has(read_text_file(orphaned.out_path), "BOARDSIM0001: 10 %"); }));
  kill(orphaned.pid, SIGKILL);
  finish_process(orphaned);
  EXPECT_TRUE(wait_until([&] { return read_file(dir.file("BOARDSIM0001.bin")).size() == 0x20000u; }, 20));
  const std::vector<uint8_t> flash = read_file(dir.file("BOARDSIM0001.bin"));
  ASSERT_EQ(flash.size(), 0x20000u);
  EXPECT_FALSE(std::equal(image.begin(), image.end(), flash.begin() + 0x4000)) << "the whole image was written";

  // The board's flash goes into a FIFO that nobody reads: its process hangs
  // at its end, after its verdict, until it is killed.
  const std::string fifo = dir.file("flash.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int held = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  const RunningProcess running =
      start_process({KDTOOL_PATH, "--virtual", "--json", "update", "--all", "--no-verify", dir.file("fw.bin"), "0102",
                     "0003", "0010"},
                    {{"KDSIM_BRIDGES", "custom:1"}, {"KDSIM_FLASH_OUT", fifo}});
  ASSERT_TRUE(wait_until([&] { return has(read_text_file(running.out_path), "\"ok\":true,\"exit_code\":0,\"reason\":null"); }));
  for (pid_t child : children_of(running.pid)) kill(child, SIGKILL);
  const ProcessResult r = finish_process(running);
  close(held);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  const nlohmann::json summary = nlohmann::json::parse(r.out.substr(r.out.rfind("\n{") + 1));
  EXPECT_EQ(summary["ok"], false);
  EXPECT_EQ(summary["boards"][0]["result"], "failed");
  EXPECT_EQ(summary["boards"][0]["reason"], "ended with killed by signal 9 (Killed) after its verdict");
}

TEST(KdtoolAll, RefusalsBeforeAnyBoardStartsAndABoardThatEndsWithoutAVerdict) {
  TempDir dir;
  write_file(dir.file("short.bin"), make_image(0x1000));
  write_file(dir.file("fw.bin"), make_image());
  const EnvList env = {{"KDSIM_BRIDGES", "custom:2"}, {"KDSIM_FLASH_OUT", dir.file("%s.bin")}};
  auto kdtool = [&](std::vector<std::string> args, const EnvList& with) {
    args.insert(args.begin(), {KDTOOL_PATH, "--virtual"});
    return run_process(args, with);
  };
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string says;
  };
  const Case cases[] = {
      {{"update", "--all", dir.file("short.bin"), "1", "2", "3"}, 2, "an image is exactly 0x1C000 bytes"},
      {{"update", "--all", dir.file("missing.bin"), "1", "2", "3"}, 2, "No such file"},
      {{"--serial", "BOARDSIM0001", "update", "--all", dir.file("fw.bin"), "1", "2", "3"}, 2, "not with --serial"},
      {{"update", dir.file("fw.bin"), "1", "2", "3", "--log-dir", dir.path()}, 2, "--log-dir goes with --all"},
      {{"update", dir.file("fw.bin"), "1", "2", "3", "--no-verify"}, 2, "--no-verify goes with --all"},
      {{"update", "--all", "--verify", "--no-verify", dir.file("fw.bin"), "1", "2", "3"}, 2, "choose one"},
      {{"--bridge", "cp2112", "update", "--all", dir.file("fw.bin"), "1", "2", "3"}, 3, "no usable bridge"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = kdtool(c.args, env);
    EXPECT_EQ(r.exit_code, c.code) << c.says << "\n" << r.out << r.err;
    EXPECT_TRUE(has(r.err, c.says)) << r.err;
    EXPECT_FALSE(has(r.out, "started")) << r.out;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("BOARDSIM0001.bin")));
  const ProcessResult none = kdtool({"--json", "--bridge", "cp2112", "update", "--all", dir.file("fw.bin"), "1", "2", "3"}, env);
  EXPECT_EQ(nlohmann::json::parse(none.out)["exit_code"], 3) << none.out;

  // A board whose process stops before any verdict (here: its flash file
  // is missing) is a failure with that reason; the other board is updated.
  EnvList broken = env;
  broken.emplace_back("KDSIM_BOARDSIM0002_FLASH_IN", dir.file("missing.bin"));
  const ProcessResult r = kdtool({"update", "--all", "--no-verify", dir.file("fw.bin"), "0102", "0003", "0010"}, broken);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "BOARDSIM0001  custom  ok ")) << r.out;
  EXPECT_TRUE(has(r.out, "; not verified (--no-verify)\n")) << r.out;
  EXPECT_TRUE(has(r.out, "BOARDSIM0002  custom  failed  ")) << r.out;
  EXPECT_TRUE(has(r.out, "ended without a verdict (exit code 2): KDSIM_FLASH_IN: cannot open")) << r.out;
}

// Four boards: one whose controller stores a unit wrongly (128-byte units,
// which only a read-back can catch) and whose serial is hostile, two that
// report one serial, one that is in use. Each is addressed by its path, so
// both boards of one serial get the image; the unit is caught by the
// verification --all does by default; the busy board fails the run unless
// --skip-busy.
TEST(KdtoolAll, ABoardThatCannotBeOpenedOrCheckedFailsAndTwoWithOneSerialAreEachUpdated) {
  TempDir dir;
  const std::vector<uint8_t> image = make_image();
  write_file(dir.file("fw.bin"), image);
  const EnvList env = {{"KDSIM_BRIDGES", "custom:4"},
                       {"KDSIM_FLASH_OUT", dir.file("%s.bin")},
                       {"KDSIM_BOARDSIM0001_UNIT", "128"},
                       {"KDSIM_BOARDSIM0001_CORRUPT_UNIT", "8000"},
                       {"KDSIM_BOARDSIM0001_SERIAL", "EVIL\\x1b[2J"},
                       {"KDSIM_BOARDSIM0002_SERIAL", "BOARDSIM0003"},
                       {"KDSIM_BOARDSIM0004_REFUSE_OPEN", "busy"}};
  auto run = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {KDTOOL_PATH, "--virtual", "update", "--all", dir.file("fw.bin"), "0102", "0003", "0010"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_process(args, env);
  };
  auto has_image = [&](const char* serial) {
    const std::vector<uint8_t> flash = read_file(dir.file(std::string(serial) + ".bin"));
    return flash.size() == 0x20000u && std::equal(image.begin(), image.end(), flash.begin() + 0x4000);
  };

  const ProcessResult r = run({"--log-dir", dir.file("logs")});
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  for (const char* row : {"  EVIL\\x1b[2J               custom  failed ", "  BOARDSIM0003 (virtual:1)  custom  ok, verified ",
                          "  BOARDSIM0003 (virtual:2)  custom  ok, verified ", "  BOARDSIM0004              custom  failed "}) {
    EXPECT_TRUE(has(r.out, row)) << row << "\n" << r.out;
  }
  EXPECT_TRUE(has(r.out, "-> -  the written flash differs from the image at 0x08000\n")) << r.out;
  EXPECT_TRUE(has(r.out, "-  cannot be opened: in use by another program\n"
                         "Serial BOARDSIM0003 is reported by 2 boards: each was addressed by its path.\n"
                         "2 ok, 2 failed, 0 interrupted, 0 skipped\n"
                         "Update FAILED: 2 of 4 boards succeeded (2 failed, 0 interrupted); 2 verified\n"))
      << r.out;
  EXPECT_FALSE(has(r.out, "\x1b")) << r.out;
  EXPECT_TRUE(has_image("BOARDSIM0002") && has_image("BOARDSIM0003"));
  EXPECT_NE(file_ending(dir.file("logs"), "Z-BOARDSIM0003-2.log"), "");
  EXPECT_NE(file_ending(dir.file("logs"), "Z-BOARDSIM0003-3.log"), "");

  // Asked not to verify and to pass over a busy board: the wrong unit goes
  // unnoticed, and the summary says that nothing was verified.
  const ProcessResult j = run({"--json", "--no-verify", "--skip-busy"});
  EXPECT_EQ(j.exit_code, 0) << j.out << j.err;
  const nlohmann::json summary = nlohmann::json::parse(j.out.substr(j.out.rfind("\n{") + 1));
  EXPECT_EQ(summary["counts"], (nlohmann::json{{"ok", 3}, {"failed", 0}, {"interrupted", 0}, {"skipped", 1}}));
  EXPECT_EQ(summary["repeated_serials"], nlohmann::json::array({"BOARDSIM0003"}));
  EXPECT_EQ(summary["boards"][0]["verified"], false);
  EXPECT_EQ(summary["boards"][3]["result"], "skipped");
  EXPECT_TRUE(has(j.err, "Update OK: 3 of 3 boards succeeded; not verified (--no-verify)\n")) << j.err;
}

// A log is created new: a file or a symlink already under its name is left
// as it is, and the run fails with a warning rather than writing through it.
TEST(KdtoolAll, LogsAreCreatedNewAndOneThatCannotBeFailsTheRun) {
  TempDir dir;
  write_file(dir.file("victim"), {'v'});
  // Every name the first board's log may get in the next seconds.
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now; t < now + 10; ++t) {
    char name[32];
    std::strftime(name, sizeof name, "%Y%m%dT%H%M%SZ", std::gmtime(&t));
    ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file(std::string(name) + "-BOARDSIM0001-1.log").c_str()), 0);
  }
  const ProcessResult r = run_process({KDTOOL_PATH, "--virtual", "info", "--all", "--log-dir", dir.path()},
                                      {{"KDSIM_BRIDGES", "custom:2"}});
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_TRUE(has(r.err, "-BOARDSIM0001-1.log cannot be created: File exists\n")) << r.err;
  EXPECT_TRUE(has(r.out, "Info FAILED: 2 of 2 boards succeeded, 1 log not written\n")) << r.out;
  EXPECT_EQ(read_file(dir.file("victim")), std::vector<uint8_t>{'v'});
  EXPECT_TRUE(has(read_text_file(file_ending(dir.path(), "Z-BOARDSIM0002-2.log")), "bridge: custom, serial BOARDSIM0002"));
}

}  // namespace
#endif
