#include "fixture.h"

#include "app/entry.h"
#include "console/safe_text.h"
#include "platform/file_open.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// A control file holds one line; anything much longer is not one.
constexpr size_t kMaxControlFile = 64 * 1024;

// The words of a line, split at blanks and tabs.
std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  size_t at = 0;
  while (true) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string::npos) return out;
    const size_t end = line.find_first_of(" \t", at);
    out.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end;
  }
}

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += (out.empty() ? "" : " ") + part;
  return out;
}

bool is_absolute(const std::string& path) {
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
  return path.size() >= 2 && path[1] == ':';  // a drive letter
}

// A module's FLASH, relative to the control file's folder unless absolute.
std::string beside(const std::string& control_path, const std::string& name) {
  if (is_absolute(name)) return name;
  const size_t slash = control_path.find_last_of("/\\");
  return slash == std::string::npos ? name : control_path.substr(0, slash + 1) + name;
}

}  // namespace

// What a line puts into the fixture, built whole before anything is swapped.
struct Fixture::Holding {
  bool unplugged = false;
  bool module = false;
  std::string flash_path;
  Kd63507Config config;
  std::vector<uint8_t> flash;  // empty: erased
};

Fixture::Fixture(std::string variable, std::string control_path, Kd63507Config board, ModuleSettings settings)
    : variable_(std::move(variable)),
      control_path_(std::move(control_path)),
      board_(std::move(board)),
      settings_(std::move(settings)) {}

int Fixture::fail(const std::string& what) const {
  std::fprintf(stderr, "%s: \"%s\": %s\n", variable_.c_str(), safe_text(control_path_).c_str(), what.c_str());
  return EXIT_BAD_INPUT;
}

// The one line of the control file, "" for an empty or absent file.
int Fixture::read_line(std::string* line) {
  line->clear();
  FILE* file = platform_fopen(control_path_.c_str(), "rb");
  if (file == nullptr) {
    if (errno == ENOENT) return 0;
    return fail(std::string("cannot read it: ") + std::strerror(errno));
  }
  std::string text(kMaxControlFile + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), file));
  const bool error = std::ferror(file) != 0;
  std::fclose(file);
  if (error) return fail("cannot read it");
  if (text.size() > kMaxControlFile) return fail("longer than 64 KiB (expected one line)");
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string one = text.substr(start, end - start);
    start = end + 1;
    if (!one.empty() && one.back() == '\r') one.pop_back();
    const std::vector<std::string> parts = words(one);
    if (parts.empty() || parts[0][0] == '#') continue;
    if (!line->empty()) return fail("more than one line (expected one: empty, unplugged or module FLASH ...)");
    *line = join(parts);
  }
  return 0;
}

int Fixture::parse(const std::string& line, Holding* next) {
  const std::vector<std::string> parts = words(line);
  if (parts.empty() || line == "empty") return 0;
  if (line == "unplugged") {
    next->unplugged = true;
    return 0;
  }
  if (parts[0] != "module" || parts.size() < 2) {
    return fail("invalid line \"" + safe_text(line) +
                "\" (expected empty, unplugged or module FLASH [SETTING=VALUE ...])");
  }
  next->module = true;
  next->flash_path = beside(control_path_, parts[1]);
  std::map<std::string, std::string> settings;
  for (size_t i = 2; i < parts.size(); ++i) {
    const size_t equals = parts[i].find('=');
    if (equals == std::string::npos || equals == 0) {
      return fail("invalid setting \"" + safe_text(parts[i]) +
                  "\" (expected SETTING=VALUE, for example VERSIONS=0001,0102,0003,0010)");
    }
    if (!settings.emplace(parts[i].substr(0, equals), parts[i].substr(equals + 1)).second) {
      return fail("\"" + safe_text(parts[i].substr(0, equals)) + "\" given twice");
    }
  }
  next->config = board_;
  const std::string where = variable_ + ": \"" + safe_text(control_path_) + "\": ";
  if (const int code = settings_(settings, where, next->config); code != 0) return code;

  FILE* file = platform_fopen(next->flash_path.c_str(), "rb");
  if (file == nullptr) {
    if (errno == ENOENT) return 0;  // a module never written: erased
    return fail("cannot open module flash \"" + safe_text(next->flash_path) + "\": " + std::strerror(errno));
  }
  next->flash.resize(VirtualKd63507::kFlashSize + 1);
  next->flash.resize(std::fread(next->flash.data(), 1, next->flash.size(), file));
  std::fclose(file);
  if (next->flash.size() != VirtualKd63507::kFlashSize) {
    return fail("module flash \"" + safe_text(next->flash_path) + "\" is not " +
                std::to_string(VirtualKd63507::kFlashSize) + " bytes long");
  }
  return 0;
}

int Fixture::refresh() {
  std::string line;
  if (const int code = read_line(&line); code != 0) return code;
  if (line.empty()) line = "empty";
  if (read_ && line == line_) return 0;
  Holding next;
  if (const int code = parse(line, &next); code != 0) return code;

  write_back();
  module_.reset();
  if (next.module) {
    module_ = std::make_unique<VirtualKd63507>(next.config);
    written_ = 0;
    module_->set_recording(false);  // a whole update would pile up every transfer
    module_->set_trace_file(trace_);
    if (!next.flash.empty()) std::memcpy(module_->flash().data(), next.flash.data(), next.flash.size());
    flash_path_ = next.flash_path;
  }
  if (bridge_ != nullptr) bridge_->unplugged = next.unplugged;
  read_ = true;
  line_ = line;
  return 0;
}

void Fixture::write_back() {
  if (!module_ || module_->flash_writes() == written_) return;
  const auto& flash = module_->flash();
  if (const int error = platform_replace_file(flash_path_.c_str(), flash.data(), flash.size()); error != 0) {
    std::fprintf(stderr, "%s: cannot write module flash \"%s\": %s\n", variable_.c_str(),
                 safe_text(flash_path_).c_str(), std::strerror(error));
    return;
  }
  written_ = module_->flash_writes();
}

void Fixture::set_trace_file(FILE* file) {
  trace_ = file;
  if (module_) module_->set_trace_file(file);
}

bool Fixture::i2c_write(uint8_t address7, const uint8_t* data, size_t length) {
  return module_ && module_->i2c_write(address7, data, length);
}

bool Fixture::i2c_read(uint8_t address7, uint8_t* data, size_t length) {
  return module_ && module_->i2c_read(address7, data, length);
}

void Fixture::powered_off() {
  if (module_) module_->powered_off();
}

void Fixture::at_time(std::chrono::steady_clock::time_point when) {
  if (module_) module_->at_time(when);
}
