// kdtool COMMAND --all: the bridges. The listing child's boards, and the
// command line of each board's child (see all.h).
#include "kdtool/all_internal.h"

#ifndef _WIN32

#include "app/entry.h"
#include "console/safe_text.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kdtool_all {

namespace {

std::string hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

}  // namespace

// The listing with the same bridge filters, from a `kdtool --json list` of
// ours: the one place that decides which bridges there are and which can be
// used.
std::vector<Board> list_bridges(const KdtoolOptions& options, const std::string& exe, int* code, std::string* why) {
  std::vector<std::string> args = {exe, "--json"};
  if (options.virtual_hardware) args.push_back("--virtual");
  if (options.bridge != BridgeChoice::kAny) {
    args.insert(args.end(), {"--bridge", options.bridge == BridgeChoice::kCustom ? "custom" : "cp2112"});
  }
  if (options.vid != 0) args.insert(args.end(), {"--vid", hex4(options.vid), "--pid", hex4(options.pid)});
  args.push_back("list");
  Child child;
  if (!spawn(args, &child, why)) {
    *code = EXIT_BAD_INPUT;
    *why = "cannot start " + exe + ": " + *why;
    return {};
  }
  std::string out, err;
  const Clock::time_point limit = Clock::now() + kListLimit;
  while ((child.out >= 0 || child.err >= 0) && Clock::now() < limit) {
    pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    if (poll(fds, 2, kPollMs) < 0 && errno != EINTR) break;
    if (child.out >= 0) drain(&child.out, &out);
    if (child.err >= 0) drain(&child.err, &err);
  }
  if (child.out >= 0 || child.err >= 0) kill(child.pid, SIGKILL);
  for (int* fd : {&child.out, &child.err}) {
    if (*fd >= 0) close(*fd);
  }
  int status = 0;
  waitpid(child.pid, &status, 0);  // ended, or killed just above
  // Its own error lines (a bad KDSIM_* setting, say) are the user's to see;
  // the virtual hardware's first line has been printed by us already.
  for (size_t start = 0, nl; (nl = err.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::string line = err.substr(start, nl - start + 1);
    if (line.rfind("kdtool: VIRTUAL hardware", 0) != 0) std::fputs(line.c_str(), stderr);
  }
  const Json doc = Json::parse(out, nullptr, false);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !doc.is_object() || !doc.contains("bridges")) {
    *code = WIFEXITED(status) && WEXITSTATUS(status) == EXIT_BAD_INPUT ? EXIT_BAD_INPUT : EXIT_NO_BRIDGE;
    *why = "the bridges could not be listed (" + status_text(status) + ")";
    return {};
  }
  std::vector<Board> boards;
  for (const Json& b : doc["bridges"]) {
    Board board;
    board.bridge = b.value("bridge", Json::object());
    board.serial = board.bridge.value("serial", "");
    board.path = board.bridge.value("path", "");
    board.kind = board.bridge.value("kind", "");
    board.index = static_cast<int>(boards.size()) + 1;
    board.label = safe_text(board.serial.empty() ? board.path : board.serial);
    if (!b.value("usable", false)) {
      board.problem = b["problem"].is_string() ? b["problem"].get<std::string>() : "cannot be used";
      // Attached but not flashed is a failure on a line, unless asked
      // otherwise; a device that is no bridge of ours is left out.
      const bool refused = board.problem.rfind("cannot be opened", 0) == 0;
      board.result = refused && !g_all.skip_busy ? "failed" : "skipped";
      board.reason = safe_text(board.problem);
    }
    boards.push_back(std::move(board));
  }
  // Two boards with one serial: each is still told apart by its path.
  for (Board& b : boards) {
    for (const Board& other : boards) {
      if (&other != &b && !b.serial.empty() && other.serial == b.serial) b.repeated = true;
    }
    if (b.repeated) b.label += " (" + safe_text(b.path) + ")";
  }
  *code = 0;
  return boards;
}

// The child's command line: ours without --all, --log-dir, --skip-busy,
// --no-verify, --json and --no-color, with --json and the board's --path (a
// path is one bridge; two boards may share a serial) in front, and an
// update's --verify unless --no-verify.
std::vector<std::string> child_args(const std::string& exe, const Board& board, const std::string& command, int argc,
                                    char** argv) {
  std::vector<std::string> args = {exe, "--json", "--path", board.path};
  bool verify = command == "update" && !g_all.no_verify;
  for (int i = 1; i < argc && verify; ++i) verify = std::strcmp(argv[i], "--verify") != 0;
  bool operands_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!operands_only) {
      if (arg == "--") operands_only = true;
      if (arg == command && verify) {
        args.insert(args.end(), {arg, "--verify"});
        verify = false;
        continue;
      }
      if (arg == "--all" || arg == "--json" || arg == "--no-color" || arg == "--skip-busy" || arg == "--no-verify" ||
          arg.rfind("--log-dir=", 0) == 0) {
        continue;
      }
      if (arg == "--log-dir") {
        ++i;
        continue;
      }
    }
    args.push_back(arg);
  }
  return args;
}

}  // namespace kdtool_all

#endif
