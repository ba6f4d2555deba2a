// kdtool's update, verify, dump, program, erase and reset: the file checks
// before any bridge is opened, the run on the bridge, and how it is told.
//
// A run that writes or checks a file names it first, with its size and
// SHA-256 (of the file as it is, as sha256sum gives it): the first line of
// the run, and "image" in the start object.
//
// Four ways of telling, chosen once per run:
//   text  the library lines as they come, then one verdict line (in a pipe,
//         on a dumb terminal, and with --verbose)
//   live  stdout is a terminal (and neither NO_COLOR, --no-color nor
//         TERM=dumb): one line redrawn in place with the operation, a bar,
//         percent, bytes, rate and time left, then the verdict. The library
//         writes into a pipe that a thread of ours drains: the verdict
//         carries what its lines would say.
//   quiet --quiet: the verdict alone (the library's lines drained the same
//         way).
//   json  stdout carries JSON Lines alone (start, progress, end objects);
//         the library lines and the verdict go to stderr.
// A verdict that leaves something to do is followed by one "Hint: " line.
#include "app/entry.h"
#include "app/flash_commands.h"
#include "app/iap_update.h"
#include "app/iap_verify.h"
#include "kdtool/kdtool.h"
#include "kdtool/json.h"
#include "app/master.h"
#include "app/reset.h"
#include "app/run_outcome.h"
#include "app/sha256.h"
#include "console/safe_text.h"
#include "console/util_console.h"
#include "hex/hex_image.h"
#include "platform/file_open.h"
#include "platform/hid.h"
#include "platform/terminal.h"

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>  // _pipe
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kFlashSize = 0x20000;
constexpr uint32_t kEraseSize = 0x1000;
constexpr auto kFrameInterval = std::chrono::milliseconds(100);  // ten frames or progress objects a second
constexpr auto kWaitingAfter = std::chrono::seconds(1);
constexpr int kBarWidth = 16;

void write_fd(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const auto n = write(fd, text.data() + done, static_cast<unsigned>(text.size() - done));
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int make_pipe(int fds[2]) {
#ifdef _WIN32
  return _pipe(fds, 4096, _O_BINARY);
#else
  return pipe(fds);
#endif
}

// ---- How the run is told -------------------------------------------------

enum class Mode { kText, kLive, kQuiet, kJson };

class Telling {
 public:
  Telling(Mode mode, std::string operation, uint32_t total)
      : mode_(mode), operation_(std::move(operation)), total_(total) {
    started_ = last_progress_ = Clock::now();
    if (mode_ == Mode::kText) return;
    std::fflush(stdout);
    out_ = dup(STDOUT_FILENO);
    if (mode_ == Mode::kJson) {
      dup2(STDERR_FILENO, STDOUT_FILENO);
      return;
    }
    int columns = 0, rows = 0;
    if (terminal_screen_size(&columns, &rows) && columns > 20) width_ = columns - 1;
    int fds[2];
    if (out_ < 0 || make_pipe(fds) != 0) {
      mode_ = Mode::kText;
      return;
    }
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    reader_ = std::thread([fd = fds[0]] { pump(fd); });
    if (mode_ == Mode::kLive) ticker_ = std::thread([this] { tick(); });
  }

  // Back to the stdout it found; the frame is wiped for the verdict.
  ~Telling() { restore(); }
  Telling(const Telling&) = delete;
  Telling& operator=(const Telling&) = delete;

  Mode mode() const { return mode_; }
  uint32_t done() const { return done_; }

  void restore() {
    if (out_ < 0) return;
    std::fflush(stdout);
    dup2(out_, STDOUT_FILENO);  // closes the pipe's last writer: the reader sees its end
    if (reader_.joinable()) reader_.join();
    if (mode_ == Mode::kLive) {
      std::lock_guard<std::mutex> lock(mutex_);
      draw();  // where the run ended, before the verdict takes its place
    }
    stop_ = true;
    if (ticker_.joinable()) ticker_.join();
    if (mode_ == Mode::kLive) {
      std::lock_guard<std::mutex> lock(mutex_);
      wipe();
    }
    close(out_);
    out_ = -1;
  }

  void progress(uint32_t done, uint32_t total) {
    const Clock::time_point now = Clock::now();
    done_ = done;
    total_ = total;
    last_progress_ = now;
    if (!first_progress_) {
      rate_from_ = now;
      rate_base_ = done;
      first_progress_ = true;  // after them: the ticker reads them once this is set
    }
    if (mode_ == Mode::kJson && (now - last_json_ >= kFrameInterval || done == total)) {
      last_json_ = now;
      emit(Json{{"type", "progress"}, {"done", done}, {"total", total}});
    }
  }

  // One JSON object as one line on stdout (json mode only).
  void emit(const Json& object) const {
    if (mode_ == Mode::kJson) write_fd(out_ >= 0 ? out_ : STDOUT_FILENO, kdtool_json_text(object) + "\n");
  }

  double elapsed_s() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

 private:
  // The library's lines, drained until the run gives stdout back.
  static void pump(int fd) {
    char chunk[512];
    while (read(fd, chunk, sizeof chunk) > 0) {
    }
    close(fd);
  }

  void tick() {
    while (!stop_) {
      std::this_thread::sleep_for(kFrameInterval);
      std::lock_guard<std::mutex> lock(mutex_);
      draw();
    }
  }

  void wipe() {
    if (shown_ == 0) return;
    write_fd(out_, "\r" + std::string(shown_, ' ') + "\r");
    shown_ = 0;
  }

  // Called with the mutex held.
  void draw() {
    if (stop_ || out_ < 0) return;
    const bool any = first_progress_;
    const std::string frame = kdtool_progress_frame(operation_, done_, total_,
                                                    any ? Clock::now() - rate_from_ : Clock::duration{},
                                                    any ? done_ - rate_base_ : 0, Clock::now() - last_progress_.load(), any)
                                  .substr(0, static_cast<size_t>(width_));
    std::string text = "\r" + frame;
    if (frame.size() < shown_) text += std::string(shown_ - frame.size(), ' ') + "\r" + frame;
    write_fd(out_, text);
    shown_ = frame.size();
  }

 public:
  // One frame of the line in place.
  static std::string kdtool_progress_frame(const std::string& operation, uint32_t done, uint32_t total,
                                           Clock::duration rate_time, uint32_t rate_bytes, Clock::duration quiet,
                                           bool any_progress) {
    const double fraction = total != 0 ? static_cast<double>(done) / total : 0.0;
    const int filled = static_cast<int>(fraction * kBarWidth);
    // Under 4 KiB whole KiB say too little ("0/1 KiB"): bytes then.
    const bool bytes = total < 4096;
    char head[160];
    std::snprintf(head, sizeof head, "%s [%s%s] %3d%%  %u/%u %s", operation.c_str(),
                  std::string(static_cast<size_t>(filled), '#').c_str(),
                  std::string(static_cast<size_t>(kBarWidth - filled), '.').c_str(), static_cast<int>(fraction * 100),
                  bytes ? done : done / 1024, bytes ? total : (total + 1023) / 1024, bytes ? "B" : "KiB");
    std::string frame = head;
    const auto quiet_s = std::chrono::duration_cast<std::chrono::seconds>(quiet).count();
    if (quiet >= kWaitingAfter) {
      return frame + "  waiting for the controller (" + std::to_string(quiet_s) + " s)";
    }
    const double seconds = std::chrono::duration<double>(rate_time).count();
    if (!any_progress || seconds < 0.2 || rate_bytes == 0) return frame;
    const double rate = rate_bytes / 1024.0 / seconds;
    const long left = static_cast<long>((total - done) / 1024.0 / rate + 0.5);
    char tail[64];
    std::snprintf(tail, sizeof tail, "  %.1f KiB/s  %ld:%02ld left", rate, left / 60, left % 60);
    return frame + tail;
  }

 private:
  Mode mode_;
  std::string operation_;
  int out_ = -1;  // the real stdout while ours is redirected
  int width_ = 79;
  size_t shown_ = 0;
  std::mutex mutex_;
  std::thread reader_;
  std::thread ticker_;
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> done_{0};
  std::atomic<uint32_t> total_{0};
  std::atomic<bool> first_progress_{false};
  std::atomic<Clock::time_point> last_progress_{};
  Clock::time_point started_{};
  Clock::time_point rate_from_{};
  uint32_t rate_base_ = 0;
  Clock::time_point last_json_{};
};

Telling* g_telling = nullptr;

void progress_sink(uint32_t done, uint32_t total) {
  if (g_telling != nullptr) g_telling->progress(done, total);
}

Mode choose_mode(const KdtoolOptions& options) {
  if (options.json) return Mode::kJson;
  if (options.quiet) return Mode::kQuiet;
  // The trace comes line by line: no line in place among them.
  return !options.verbose && terminal_colour_wanted() && terminal_stdout_is_tty() ? Mode::kLive : Mode::kText;
}

// ---- The file checks -----------------------------------------------------

struct Plan {
  std::string file;            // as given
  std::vector<uint8_t> bytes;  // update, program, verify: what goes to (or is checked against) the flash
  bool hex = false;
  uint32_t at = 0;             // verify and dump: the first flash address
  uint32_t total = 0;          // the bytes the progress counts
  uint64_t file_size = 0;      // update, program, verify: the file as it is
  std::string file_sha256;
};

// A refusal of a file: one line on stderr, exit 2.
struct Refusal {
  std::string reason;
};

std::string system_reason() { return std::strerror(errno); }

// A readable regular file of 1 to `limit` bytes, read whole.
std::vector<uint8_t> read_raw(const std::string& path, uint32_t limit, const char* what) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) throw Refusal{path + ": " + system_reason()};
  if (!S_ISREG(info.st_mode)) throw Refusal{path + ": not a regular file"};
  const std::unique_ptr<FILE, int (*)(FILE*)> in(platform_fopen(path.c_str(), "rb"), std::fclose);
  if (!in) throw Refusal{path + ": " + system_reason()};
  if (info.st_size == 0) throw Refusal{path + ": the file is empty"};
  if (info.st_size > static_cast<long long>(limit)) {
    char text[96];
    std::snprintf(text, sizeof text, ": %s is at most 0x%X bytes, the file has 0x%llX", what, limit,
                  static_cast<unsigned long long>(info.st_size));
    throw Refusal{path + text};
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size));
  if (std::fread(bytes.data(), 1, bytes.size(), in.get()) != bytes.size() || std::fgetc(in.get()) != EOF) {
    throw Refusal{path + ": the file could not be read whole"};
  }
  return bytes;
}

HexImage read_hex(const std::string& path, uint32_t lo) {
  HexImage image;
  std::string error;
  if (!hex_image_read(path.c_str(), lo, HEX_FLASH_HI, &image, &error)) throw Refusal{error};
  return image;
}

// A text file given as a raw image (a HEX file under another name that
// does not start with ':', notes, a wrong file) would be written to the
// flash as it is: refused unless --raw says it is meant.
void refuse_text(const Plan& plan, const KdtoolOptions& options) {
  if (!options.raw && hex_image_looks_like_text(plan.bytes.data(), plan.bytes.size())) {
    throw Refusal{safe_text(plan.file) + ": looks like text, not a firmware image (--raw takes it as it is)"};
  }
}

// The size and SHA-256 of the file itself (a HEX file's text, not the image
// made of it), so that they can be compared with the file's published sum.
void digest_file(Plan& plan) {
  const std::vector<uint8_t> bytes = plan.hex ? read_raw(plan.file, 1u << 30, "a file") : plan.bytes;
  plan.file_size = bytes.size();
  plan.file_sha256 = sha256_hex(bytes.data(), bytes.size());
}

Plan check_files(const KdtoolOptions& options) {
  Plan plan;
  const std::string& command = options.command;
  if (command == "reset") return plan;
  if (command == "erase") {
    plan.at = 0x2000;
    plan.total = kEraseSize;
    return plan;
  }
  plan.file = options.operands[0];
  const char* path = plan.file.c_str();
  if (command == "dump") {
    plan.at = options.at;
    plan.total = options.length;
    // The dump writes a new file beside FILE and renames it over FILE: the
    // folder must take one. FILE itself is not touched here.
    if (const int error = platform_replace_check(path); error != 0) {
      throw Refusal{"cannot write " + safe_text(plan.file) + ": " + std::strerror(error)};
    }
    return plan;
  }
  struct stat info {};
  plan.hex = !options.raw && stat(path, &info) == 0 && S_ISREG(info.st_mode) && hex_image_file_is_hex(path);
  if (command == "update") {
    if (plan.hex) {
      const HexImage image = read_hex(plan.file, HEX_UPDATE_LO);
      hex_image_flatten(image, HEX_UPDATE_LO, HEX_UPDATE_SIZE, &plan.bytes);
    } else {
      plan.bytes = read_raw(plan.file, kFlashSize, "the flash");
      refuse_text(plan, options);
      if (plan.bytes.size() != IMAGE_SIZE) {
        char size[48];
        std::snprintf(size, sizeof size, " has 0x%zX", plan.bytes.size());
        throw Refusal{plan.file + ": an image is exactly 0x1C000 bytes (or a HEX file within 4000..1FFFF); " +
                      plan.file.substr(plan.file.find_last_of("/\\") + 1) + size};
      }
    }
    plan.total = IMAGE_SIZE;
    digest_file(plan);
    return plan;
  }
  if (plan.hex) {
    const HexImage image = read_hex(plan.file, HEX_FLASH_LO);
    plan.at = command == "program" ? 0 : image.lowest;
    if (command == "verify" && options.at_given && options.at != image.lowest) {
      char text[160];
      std::snprintf(text, sizeof text, "--at %X: %s starts at flash address %X", options.at, path, image.lowest);
      throw Refusal{text};
    }
    hex_image_flatten(image, plan.at, image.end - plan.at, &plan.bytes);
  } else {
    plan.at = command == "program" ? 0 : options.at;
    plan.bytes = read_raw(plan.file, kFlashSize - plan.at, command == "program" ? "the flash" : "the flash from --at");
  }
  if (!plan.hex) refuse_text(plan, options);
  plan.total = static_cast<uint32_t>(plan.bytes.size());
  digest_file(plan);
  return plan;
}

}  // namespace

bool kdtool_check_files(const KdtoolOptions& options, std::string* reason) {
  try {
    check_files(options);
    return true;
  } catch (const Refusal& refusal) {
    *reason = refusal.reason;
    return false;
  }
}

namespace {

std::string hex5(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%05X", address);
  return text;
}

const char* title(const std::string& command) {
  return command == "update" ? "Update" : command == "verify" ? "Verify" : command == "dump" ? "Dump"
         : command == "program" ? "Program" : command == "reset" ? "Reset" : "Erase";
}

Json versions_json(bool read, const ControllerVersions& v) {
  if (!read) return Json();
  return Json{{"core", controller_version_text(v.core)},
              {"app", controller_version_text(v.app)},
              {"para", controller_version_text(v.para)}};
}

std::string versions_text(const ControllerVersions& v) {
  return "core " + controller_version_text(v.core) + ", app " + controller_version_text(v.app) + ", para " +
         controller_version_text(v.para);
}

// A reset asked for (the reset command, or --reset at the end of dump,
// program and erase) and how it went.
struct ResetDone {
  bool asked = false;
  bool ok = false;
  ControllerVersions versions;
  std::string reason;

  void run() {
    asked = true;
    if (hid_transport_lost()) {
      reason = RUN_BRIDGE_UNPLUGGED;
      return;
    }
    ok = target_reset(&versions, &reason);
    if (!ok && hid_transport_lost()) reason = RUN_BRIDGE_UNPLUGGED;
  }
  std::string line() const { return ok ? "Reset OK: " + versions_text(versions) : "Reset FAILED: " + reason; }
  Json json() const {
    return Json{{"ok", ok}, {"versions", versions_json(ok, versions)}, {"reason", ok ? Json() : Json(reason)}};
  }
};

}  // namespace

void kdtool_json_failure(int exit_code, const std::string& reason, const std::string& hint) {
  std::fflush(stdout);
  write_fd(STDOUT_FILENO,
           kdtool_json_text(kdtool_json_end(false, exit_code, reason, kdtool_json_elapsed_since_start(), hint)) + "\n");
}

int kdtool_run_operation(const KdtoolOptions& original) {
  KdtoolOptions options = original;
  const std::string& command = options.command;
  Plan plan;
  try {
    plan = check_files(options);
  } catch (const Refusal& refusal) {
    std::fprintf(stderr, "kdtool: %s\n", safe_text(refusal.reason).c_str());
    if (options.json) kdtool_json_failure(EXIT_BAD_INPUT, refusal.reason);
    return EXIT_BAD_INPUT;
  }
  const bool isp = command == "dump" || command == "program" || command == "erase";
  if (isp && options.bridge == BridgeChoice::kAny) options.bridge = BridgeChoice::kCp2112;
  const bool named = command == "update" || command == "verify" || command == "program";
  if (named && !options.quiet) {
    std::fflush(stdout);
    std::fprintf(options.json ? stderr : stdout, "%s %s: %llu bytes, SHA-256 %s\n", command.c_str(),
                 safe_text(plan.file).c_str(), static_cast<unsigned long long>(plan.file_size),
                 plan.file_sha256.c_str());
    std::fflush(options.json ? stderr : stdout);
  }

  Telling telling(choose_mode(options), command, plan.total);
  g_telling = &telling;
  run_reason_clear();
  run_progress_set_sink(progress_sink, telling.mode() == Mode::kLive || telling.mode() == Mode::kQuiet);
  g_run_reason_line = false;  // the verdict carries the reason

  if (!kdtool_select_bridge(options)) {
    telling.restore();
    const char* hint = run_reason_hint(run_reason_class());
    if (options.json) kdtool_json_failure(EXIT_NO_BRIDGE, run_reason(), hint != nullptr ? hint : "");
    return EXIT_NO_BRIDGE;
  }
  const std::vector<HidDeviceInfo> opened = hid_transport_opened();
  Json start{{"type", "start"}, {"schema", KDTOOL_JSON_SCHEMA}, {"command", command}, {"at", kdtool_json_utc_now()}};
  start["bridge"] = opened.empty() ? Json()
                                   : kdtool_json_bridge(emul_board == BOARD_CP2112 ? "cp2112" : "custom",
                                                        opened.front().vendor_id, opened.front().product_id,
                                                        opened.front().serial, opened.front().path);
  // The file that goes to (or is checked against) the flash is the image;
  // the one a dump writes is its output.
  if (command == "dump") {
    start["output"] = plan.file;
  } else if (named) {
    // The file as given: its SHA-256 is what sha256sum says of it.
    start["image"] = Json{{"name", plan.file}, {"size", plan.file_size}, {"sha256", plan.file_sha256}};
  }
  if (command != "update" && command != "reset") start["flash_address"] = hex5(plan.at);
  start["total"] = plan.total;
  telling.emit(start);

  target_bring_up();
  g_unattended_ready_limit_ms = KDTOOL_UNATTENDED_READY_LIMIT_MS;  // nobody is at the keyboard to end a wait
  int code = EXIT_UPDATE_FAILED;
  uint32_t where = plan.at;
  KdtoolVerify verified;
  verified.keep_going = options.keep_going;
  ResetDone reset;
  bool after_read = false;
  ControllerVersions after;
  if (command == "update") {
    if (BinaryBuffer == nullptr) BinaryBuffer = new uint8_t[IMAGE_SIZE];
    std::memcpy(BinaryBuffer, plan.bytes.data(), IMAGE_SIZE);
    Download_Mode = 1;
    g_exit_key_waits = false;  // several updates may run at once from a script
    g_verify_after_write = options.verify_after_write;
    emulboard_cp2112_program_to_flash_using_iapmode_Customer(options.force);
    code = update_exit_code();
    // The versions the controller runs once it is back from its reset.
    if (g_update_outcome == UPDATE_WRITTEN) after_read = controller_wait_back(RESET_COME_BACK_MS, &after);
  } else if (command == "reset") {
    reset.run();
    code = reset.ok ? EXIT_UPDATED : EXIT_UPDATE_FAILED;
  } else if (command == "verify") {
    code = kdtool_cmd_verify(plan.file.c_str(), plan.at, &plan.bytes, &verified);
    where = verified.where;
  } else if (command == "dump") {
    code = kdtool_cmd_dump(plan.file.c_str(), plan.at, plan.total, &where);
  } else if (command == "program") {
    // The bytes checked above, from memory: the file is not read again.
    code = kdtool_cmd_program_image(plan.bytes, plan.file.c_str());
  } else {
    code = kdtool_cmd_erase();
  }
  if (options.reset_after && command != "reset" && code != EXIT_NO_BRIDGE) reset.run();
  target_shut_down();
  run_progress_set_sink(nullptr, false);
  telling.restore();
  g_telling = nullptr;

  // The verdict: one line for the person (stderr beside JSON), what to do
  // next when there is something, and the end object.
  const bool ok = code == EXIT_UPDATED;
  const bool mismatch = command == "verify" && verified.outcome == VERIFY_MISMATCH;
  std::string reason;
  if (!ok && code == EXIT_NO_BRIDGE) reason = "the command needs a CP2112 bridge";
  if (!ok && command == "reset") {
    reason = reset.reason;
  } else if (!ok && code != EXIT_NO_BRIDGE) {
    reason = mismatch ? "the flash differs from the file at " + hex5(where) + iap_verify_partial_unit(verified.filled_to)
                      : run_reason_settle();
  }
  std::string verdict;
  if (command == "verify") {
    if (code == EXIT_BAD_INPUT) {
      verdict = "";  // the file line has said why
    } else if (!verified.compared) {
      verdict = "Verify FAILED: " + reason;
    } else {
      verdict = iap_verify_verdict(verified.outcome, where, verified.filled_to);
      if (verified.keep_going && verified.mismatches.size() > 1) {
        verdict += " (" + std::to_string(verified.mismatches.size()) + " units differ)";
      }
    }
  } else if (command == "dump") {
    verdict = ok ? "Dump OK: " + std::to_string(plan.total) + " bytes in " + plan.file
                 : "Dump FAILED at " + hex5(where) + ": " + reason;
  } else if (command == "reset") {
    verdict = reset.line();
  } else {
    verdict = std::string(title(command)) + (ok ? " OK" : " FAILED: " + reason);
    // An update that found the release versions wrote nothing: say so.
    if (ok && command == "update" && g_update_outcome != UPDATE_WRITTEN) {
      verdict += ": the controller already has the release versions; nothing was written";
    }
    // What the controller runs now, and ran before.
    if (ok && command == "update" && g_update_outcome == UPDATE_WRITTEN) {
      verdict += after_read ? ": " + versions_text(after) : ": the versions could not be read after the reset";
      if (g_update_versions_read) {
        const ControllerVersions& was = g_update_versions_before;
        verdict += " (was " + controller_version_text(was.core) + ", " + controller_version_text(was.app) + ", " +
                   controller_version_text(was.para) + ")";
      }
    }
    // Nothing has looked at what a 128-byte procedure wrote.
    if (ok && command == "update" && g_update_outcome == UPDATE_WRITTEN && !g_update_units_checked &&
        !g_update_verified) {
      verdict += " (not verified: use --verify)";
    }
  }
  std::string hint;
  if (mismatch && !plan.hex && plan.bytes.size() == IMAGE_SIZE && where == plan.at && plan.at != HEX_UPDATE_LO) {
    // The likeliest mistake: an update image checked from the default address.
    char text[128];
    std::snprintf(text, sizeof text, "this file is the size of an update image, which starts at 0x%X: try --at %X",
                  HEX_UPDATE_LO, HEX_UPDATE_LO);
    hint = text;
  } else if (!ok && !mismatch) {
    RunReasonClass reason_class = run_reason_class();
    // Out of ISP mode only by a power cycle.
    if (isp && reason_class == RUN_CLASS_SILENT) reason_class = RUN_CLASS_NEVER_READY;
    if (const char* text = run_reason_hint(reason_class)) hint = text;
  }
  if (code != EXIT_NO_BRIDGE && !verdict.empty()) {
    FILE* to = options.json ? stderr : stdout;
    if (verified.keep_going && !options.quiet) {
      for (const uint32_t unit : verified.mismatches) std::fprintf(to, "Differs: the unit at %s\n", hex5(unit).c_str());
    }
    // Colours only with the live line: through the console layer, so that
    // Windows gets console attributes rather than escape sequences.
    const bool colour = telling.mode() == Mode::kLive;
    if (colour) console_set_font_color(ok ? COLOR_BRIGHT_GREEN : COLOR_BRIGHT_RED);
    std::fprintf(to, "%s\n", safe_text(verdict).c_str());
    if (colour) console_set_font_color(COLOR_BRIGHT_WHITE);
    if (!hint.empty()) std::fprintf(to, "Hint: %s\n", hint.c_str());
  }
  // --reset: after the operation's own verdict, on a line of its own; a
  // reset that failed fails the run.
  if (reset.asked && command != "reset") {
    std::fprintf(options.json ? stderr : stdout, "%s\n", safe_text(reset.line()).c_str());
    if (!reset.ok && code == EXIT_UPDATED) {
      code = EXIT_UPDATE_FAILED;
      reason = "the reset failed: " + reset.reason;
    }
  }
  Json end = kdtool_json_end(code == EXIT_UPDATED, code, reason, telling.elapsed_s(), hint);
  // Where a verify found the first difference; where a verify or a dump
  // stopped for any other reason.
  if ((command == "verify" || command == "dump") && !ok && code != EXIT_NO_BRIDGE) {
    end[mismatch ? "mismatch_address" : "failed_address"] = hex5(where);
  }
  if (command == "verify" && options.keep_going) {
    end["mismatch_addresses"] = Json::array();
    for (const uint32_t unit : verified.mismatches) end["mismatch_addresses"].push_back(hex5(unit));
  }
  if (command == "update") {
    end["written"] = g_update_outcome == UPDATE_WRITTEN;
    end["verified"] = g_update_verified;
    end["units_checked"] = g_update_units_checked;
    end["versions_before"] = versions_json(g_update_versions_read, g_update_versions_before);
    end["versions_after"] = versions_json(after_read, after);
  }
  if (command == "reset") end["versions"] = versions_json(reset.ok, reset.versions);
  if (reset.asked && command != "reset") end["reset"] = reset.json();
  if (options.json) write_fd(STDOUT_FILENO, kdtool_json_text(end) + "\n");
  return code;
}
