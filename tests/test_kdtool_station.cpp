// kdtool station on virtual boards: a stop in the middle of a shift, the
// record files and their summary, and the refusals before anything is
// powered.
#ifdef KDTOOL_PATH
#include "support_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <map>
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

// A fixture's control file, replaced in one step as the station may read
// it at any moment.
void put_in_fixture(const std::string& fixture, const std::string& line) {
  write_file(fixture + ".new", std::vector<uint8_t>(line.begin(), line.end()));
  std::rename((fixture + ".new").c_str(), fixture.c_str());
}

}  // namespace

// A shift on three fixtures (a custom board, two CP2112): twelve modules put
// in by an operator who takes each out after its verdict and puts the next
// one into whichever fixture is free, so that modules are swapped while the
// other fixtures flash. Module 3's controller vanishes, module 7 stores a
// unit wrongly (the verify catches it), module 5 is already current. Every
// record names its fixture and matches the module that was in it, no module
// is flashed twice, each flash file holds what the record says, and the
// totals and the exit code tell the two failures.
TEST(Station, PlaysAShiftOfTwelveModulesOnThreeFixtures) {
  TempDir dir;
  const std::vector<uint8_t> image = make_image();
  write_file(dir.file("fw.bin"), image);
  const std::map<int, std::string> faults = {
      {3, " VANISH_AFTER=300"}, {5, " VERSIONS=0001,0102,0003,0010"}, {7, " CORRUPT_UNIT=8000"}};
  std::deque<int> queue;
  for (int m = 1; m <= 12; ++m) queue.push_back(m);
  const std::vector<std::string> serials = {"BOARDSIM0001", "CP2112SIM0001", "CP2112SIM0002"};
  std::map<std::string, int> in_fixture;                   // serial: module, 0 none
  std::map<std::string, std::vector<int>> flashed_there;   // serial: its modules in order
  const auto next_module = [&](const std::string& serial) {
    const int m = queue.front();
    queue.pop_front();
    in_fixture[serial] = m;
    flashed_there[serial].push_back(m);
    const std::string fault = faults.count(m) != 0 ? faults.at(m) : "";
    put_in_fixture(dir.file(serial + ".fixture"), "module m" + std::to_string(m) + ".bin" + fault + "\n");
  };
  for (const std::string& serial : serials) next_module(serial);

  std::vector<std::string> args = station({"--json", "station", dir.file("fw.bin")});
  args.insert(args.end(), kRelease.begin(), kRelease.end());
  args.insert(args.end(), {"--count", "12", "--record", dir.file("shift.jsonl")});
  const RunningProcess running = start_process(
      args, {{"KDSIM_BRIDGES", "custom:1,cp2112:2"}, {"KDSIM_FIXTURE", dir.file("%s.fixture")}});
  // The operator: after a verdict the module comes out; once the station
  // has seen the fixture empty, the next module goes in.
  size_t seen = 0;
  int verdicts = 0;
  const bool shift_done = wait_until([&] {
    const std::string out = read_text_file(running.out_path);
    for (size_t nl; (nl = out.find('\n', seen)) != std::string::npos; seen = nl + 1) {
      const Json event = Json::parse(out.substr(seen, nl - seen), nullptr, false);
      if (!event.is_object() || event["type"] != "slot") continue;
      const std::string serial = event["bridge"]["serial"], state = event["state"];
      if (state == "pass" || state == "fail") {
        ++verdicts;
        EXPECT_NE(in_fixture[serial], 0) << "a verdict with no module in " << serial;
        in_fixture[serial] = 0;
        put_in_fixture(dir.file(serial + ".fixture"), "empty\n");
      } else if (state == "waiting" && !queue.empty()) {
        next_module(serial);
      }
    }
    return verdicts == 12;
  }, 240);
  const ProcessResult r = finish_process(running);
  ASSERT_TRUE(shift_done) << verdicts << " verdicts\n" << r.out << r.err;
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_TRUE(has(r.err, "units 12  passed 10  failed 2  yield 83.3 %")) << r.err;

  // The records, in each fixture's order, against the modules put there.
  std::map<std::string, std::vector<Json>> records;
  for (const Json& record : json_lines(read_text_file(dir.file("shift.jsonl")))) {
    records[record["bridge"]["serial"]].push_back(record);
  }
  int total = 0;
  for (const auto& [serial, modules] : flashed_there) {
    ASSERT_EQ(records[serial].size(), modules.size()) << serial;
    for (size_t i = 0; i < modules.size(); ++i) {
      const int m = modules[i];
      const Json& record = records[serial][i];
      const std::vector<uint8_t> flash = read_file(dir.file("m" + std::to_string(m) + ".bin"));
      const bool holds_image =
          flash.size() == 0x20000 && std::equal(image.begin(), image.end(), flash.begin() + 0x4000);
      ++total;
      SCOPED_TRACE("module " + std::to_string(m) + " in " + serial);
      if (m == 3) {
        EXPECT_EQ(record["result"], "fail");
        EXPECT_EQ(record["reason"], "the controller stopped answering");
        EXPECT_FALSE(holds_image);
      } else if (m == 7) {
        EXPECT_EQ(record["result"], "fail");
        EXPECT_EQ(record["verified"], false);
        ASSERT_EQ(flash.size(), 0x20000u);
        EXPECT_EQ(flash[0x8000], image[0x4000] ^ 1) << "the unit stored wrongly";
      } else if (m == 5) {
        EXPECT_EQ(record["result"], "pass");
        EXPECT_EQ(record["written"], false);
        EXPECT_TRUE(flash.empty()) << "nothing written to a current module";
      } else {
        EXPECT_EQ(record["result"], "pass");
        EXPECT_EQ(record["verified"], true);
        EXPECT_TRUE(holds_image);
      }
    }
  }
  EXPECT_EQ(total, 12);
}

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

// A record file that stops taking records (here: larger than the file size
// limit) stops the station before another unit starts: the unit whose
// record failed is not counted as recorded, and the run ends with 1.
TEST(Station, ARecordThatCannotBeWrittenStopsTheStation) {
  TempDir dir;
  write_file(dir.file("fw.bin"), make_image());
  write_file(dir.file("full.jsonl"), std::vector<uint8_t>(200000, '\n'));
  const std::string command = "trap '' XFSZ; ulimit -f 100; exec \"$0\" --virtual station \"$1\" 0102 0003 0010 "
                              "--count 3 --record \"$2\"";
  const ProcessResult r = run_process({"/bin/sh", "-c", command, KDTOOL_PATH, dir.file("fw.bin"), dir.file("full.jsonl")},
                                      {{"KDSIM_BRIDGES", "custom:1"}});
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "kdtool: --record " + dir.file("full.jsonl") + ": cannot be written: File too large: the "
                         "station stops after the units in flight")) << r.out;
  EXPECT_TRUE(has(r.out, "Station FAILED: 1 of 1 units passed; --record ")) << r.out;
  EXPECT_EQ(r.out.find("module found: flashing"), r.out.rfind("module found: flashing")) << "one unit only\n" << r.out;
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
