// kdtool station on virtual boards: a stop in the middle of a shift, the
// record files and their summary, and the refusals before anything is
// powered.
#ifdef KDTOOL_PATH
#include "support_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <thread>

#include <sys/stat.h>

namespace {

using Json = nlohmann::json;

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

template <typename Done>
bool wait_until(Done done, int seconds = 60) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::vector<Json> json_lines(const std::string& text) {
  std::vector<Json> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(Json::parse(text.substr(start, nl - start), nullptr, false));
  }
  return lines;
}

const std::vector<std::string> kRelease = {"0102", "0003", "0010"};

std::vector<std::string> station(const std::vector<std::string>& more) {
  std::vector<std::string> args = {KDTOOL_PATH, "--virtual"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

}  // namespace

// Ctrl+C while two units are written starts no new unit, lets both finish,
// appends their records to a record file that already held a shift (and a
// line torn by a power cut) without touching what it held, and prints the
// totals; --summary then counts the old and the new units.
TEST(Station, CtrlCFinishesTheUnitsInFlightAndTheirRecordsAreAppended) {
  TempDir dir;
  write_file(dir.file("fw.bin"), make_image());
  const std::string old_shift =
      R"({"type":"record","schema":1,"at":"2026-12-07T08:00:10Z","host":"line1","unit":1,"bridge":{"kind":"custom",)"
      R"("id":"1209:7750","serial":"B1","path":"virtual:0"},"image":{"name":"fw.bin","size":114688},"release":null,)"
      R"("versions_before":null,"versions_after":null,"written":false,"verified":false,"result":"fail",)"
      R"("reason":"the controller stopped answering","hint":null,"elapsed_s":10.0})"
      "\n{\"type\":\"rec";
  write_file(dir.file("shift.jsonl"), std::vector<uint8_t>(old_shift.begin(), old_shift.end()));
  std::vector<std::string> args = station({"station", dir.file("fw.bin")});
  args.insert(args.end(), kRelease.begin(), kRelease.end());
  args.insert(args.end(), {"--record", dir.file("shift.jsonl"), "--csv", dir.file("shift.csv")});
  const RunningProcess running = start_process(args, {{"KDSIM_BRIDGES", "custom:2"}});
  ASSERT_TRUE(wait_until([&] {
    const std::string out = read_text_file(running.out_path);
    return has(out, "BOARDSIM0001: writing") && has(out, "BOARDSIM0002: writing");
  }));
  kill(running.pid, SIGINT);
  const ProcessResult r = finish_process(running);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "kdtool: Ctrl+C: no new units; 2 in flight finish")) << r.out;
  EXPECT_TRUE(has(r.out, "BOARDSIM0001: PASS ")) << r.out;
  EXPECT_TRUE(has(r.out, "units 2  passed 2  failed 0  yield 100.0 %")) << r.out;
  EXPECT_TRUE(has(r.out, "Station OK: 2 of 2 units passed; stopped by Ctrl+C")) << r.out;

  const std::string records = read_text_file(dir.file("shift.jsonl"));
  ASSERT_EQ(records.rfind(old_shift, 0), 0u) << "what the file held is kept";
  // The torn line is ended first, so that no new record is glued to it.
  ASSERT_EQ(records[old_shift.size()], '\n') << records;
  const std::vector<Json> lines = json_lines(records.substr(old_shift.size() + 1));
  ASSERT_EQ(lines.size(), 2u) << records;
  for (const Json& record : lines) {
    EXPECT_EQ(record["result"], "pass");
    EXPECT_EQ(record["verified"], true);
    EXPECT_EQ(record["image"]["size"], 0x1C000);
    EXPECT_EQ(record["release"]["core"], "01.02");
  }
  const std::string csv = read_text_file(dir.file("shift.csv"));
  EXPECT_EQ(csv.rfind("at,host,unit,bridge_kind,bridge_path,bridge_serial,", 0), 0u) << csv;
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3) << csv;

  const ProcessResult summary = run_process({KDTOOL_PATH, "station", "--summary", dir.file("shift.jsonl")});
  EXPECT_EQ(summary.exit_code, 0) << summary.err;
  EXPECT_TRUE(has(summary.out, "Units: 3  passed: 2  failed: 1  interrupted: 0\nYield: 66.7 %\n")) << summary.out;
  EXPECT_TRUE(has(summary.out, "Failed by reason:\n     1  the controller stopped answering\n")) << summary.out;
  EXPECT_TRUE(has(summary.out, "Lines that are not records (left out): 1 (line 2)")) << summary.out;
}

// Refused before anything is powered (exit 2), or no bridge (exit 3): a bad
// image, a record file that is a symbolic link, operands without versions,
// a summary of no file; and with --wait 0, no bridge at all.
TEST(Station, BadInputIsRefusedBeforeAnythingIsPowered) {
  TempDir dir;
  write_file(dir.file("fw.bin"), make_image());
  write_file(dir.file("short.bin"), make_image(0x1000));
  symlink(dir.file("elsewhere.jsonl").c_str(), dir.file("link.jsonl").c_str());
  const std::string fw = dir.file("fw.bin");
  struct Case {
    std::vector<std::string> args;
    EnvList env;
    int exit_code;
    std::string message;
  };
  const Case cases[] = {
      {{"station", dir.file("short.bin"), "0102", "0003", "0010"}, {}, 2, "short.bin"},
      {{"station", fw, "0102", "0003", "0010", "--record", dir.file("link.jsonl")}, {}, 2, "it is a symbolic link"},
      {{"station", fw, "0102"}, {}, 2, "IMAGE CORE_VER APP_VER PARA_VER go together"},
      {{"station", fw, "0102", "0003", "0010", "--trigger", "pedal"}, {}, 2, "--trigger"},
      {{"station", "--summary", dir.file("none.jsonl")}, {}, 2, "none.jsonl: cannot be read"},
      {{"station", fw, "0102", "0003", "0010", "--wait", "0"}, {{"KDSIM_BRIDGE", "none"}}, 3,
       "Device Not Found: no usable bridge"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = run_process(station(c.args), c.env);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args[1] << "\n" << r.out << r.err;
    EXPECT_TRUE(has(r.err, c.message)) << c.args[1] << "\n" << r.err;
  }
  struct stat info {};
  EXPECT_NE(lstat(dir.file("elsewhere.jsonl").c_str(), &info), 0) << "nothing written through the link";
}

#endif
