// kdtool COMMAND --all --log-dir DIR: the per-board logs, their names, their
// header and their closing (see all.h).
#include "kdtool/all_internal.h"

#include "app/version.h"
#include "console/safe_text.h"
#include "platform/file_open.h"

#include <cctype>
#include <cerrno>
#include <cstring>

namespace kdtool_all {

namespace {

// A board's part of a file name: its serial (or path) with anything but
// letters, digits, '-' and '.' as '_', at most 64 characters.
std::string file_label(const Board& board) {
  std::string name = (board.serial.empty() ? board.path : board.serial).substr(0, 64);
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
  }
  return name;
}

// The run's UTC time in the given strftime format.
std::string utc_text(std::time_t when, const char* format) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[40];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

}  // namespace

std::string quoted_command_line(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = safe_text(argv[i]);
    const bool plain = !arg.empty() && arg.find_first_of(" \t'\"") == std::string::npos;
    line += (i != 0 ? " " : "") + (plain ? arg : "'" + arg + "'");
  }
  return line;
}

// Creates the board's log new: never over an existing file, never through a
// symlink. False (with log_error set) when it cannot be.
bool open_log(Board& b, const std::string& dir, const std::string& command, const LogHeader& header) {
  b.log_name = dir + "/" + utc_text(header.when, "%Y%m%dT%H%M%SZ") + "-" + file_label(b) + "-" +
               std::to_string(b.index) + ".log";
  b.log = platform_fopen_new(b.log_name.c_str());
  if (b.log == nullptr) {
    b.log_error = std::string("cannot be created: ") + std::strerror(errno);
    return false;
  }
  std::fprintf(b.log, "time: %s\nversion: kdtool %s\ncommand line: %s\n",
               utc_text(header.when, "%Y-%m-%dT%H:%M:%SZ").c_str(), KDTOOL_VERSION, header.command_line.c_str());
  if (!header.image.empty()) std::fprintf(b.log, "image: %s\n", header.image.c_str());
  std::fprintf(b.log, "bridge: %s, serial %s, path %s\ncommand: %s\n\n", b.kind.c_str(),
               b.serial.empty() ? "(none)" : safe_text(b.serial).c_str(), safe_text(b.path).c_str(), command.c_str());
  return true;
}

// Closes the log; false (with log_error set) when it is not whole.
bool close_log(Board& b) {
  if (b.log == nullptr) return b.log_error.empty();
  const bool failed = std::ferror(b.log) != 0;
  const int saved = errno;
  const bool closed = std::fclose(b.log) == 0;
  b.log = nullptr;
  if (failed || !closed) b.log_error = std::string("could not be written whole: ") + std::strerror(failed ? saved : errno);
  return b.log_error.empty();
}

}  // namespace kdtool_all
