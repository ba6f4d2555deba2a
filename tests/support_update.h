// Shared rig for the tests of the controller operations and the update: the
// virtual controller bound into the bridge table through the direct bridge,
// a keyboard on a pipe, stdout captured into a file, a seeded image.
#pragma once

#include "app/entry.h"
#include "app/iap_update.h"
#include "app/master.h"
#include "diag/device_records.h"
#include "direct_bridge.h"
#include "kd63507.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace test_support {

// The keyboard: an empty pipe on stdin (no key waiting) that tests write
// keys into. A test process's own stdin may be /dev/null, where end of
// input would count as a key that is always waiting.
class KeyboardPipe {
 public:
  KeyboardPipe() {
    saved_ = dup(STDIN_FILENO);
    if (pipe(fds_) == 0) dup2(fds_[0], STDIN_FILENO);
  }
  ~KeyboardPipe() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
    close(fds_[0]);
    close(fds_[1]);
  }
  KeyboardPipe(const KeyboardPipe&) = delete;
  KeyboardPipe& operator=(const KeyboardPipe&) = delete;

  void press(const std::string& keys) const {
    ssize_t n = write(fds_[1], keys.data(), keys.size());
    (void)n;
  }

 private:
  int saved_ = -1;
  int fds_[2] = {-1, -1};
};

// Everything written to stdout (stdio and write(2) alike) while alive.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    file_ = std::tmpfile();
    if (file_ != nullptr) dup2(fileno(file_), STDOUT_FILENO);
  }
  ~StdoutCapture() { restore(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Stops capturing (if still on) and returns what was written.
  std::string text() {
    restore();
    std::string out;
    if (file_ == nullptr) return out;
    std::rewind(file_);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
  }
  int saved_ = -1;
  FILE* file_ = nullptr;
};

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

inline int count_lines(const std::string& text, const std::string& wanted) {
  int n = 0;
  for (const std::string& line : split_lines(text)) n += line == wanted ? 1 : 0;
  return n;
}

// A firmware image of pseudo-random bytes, the same for the same seed.
inline std::vector<uint8_t> make_image(uint32_t seed) {
  std::vector<uint8_t> image(IMAGE_SIZE);
  std::mt19937 rng(seed);
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(rng());
  return image;
}

// Sits between the bridge and the virtual controller and calls a hook after
// each transfer: lets a test act at a given point of the traffic (press a
// key, raise Ctrl+C, make the controller stop answering).
class HookedTarget : public I2cTarget {
 public:
  explicit HookedTarget(I2cTarget& inner) : inner_(inner) {}
  bool i2c_write(uint8_t address7, const uint8_t* data, size_t length) override {
    const bool acked = inner_.i2c_write(address7, data, length);
    if (after) after(false, length);
    return acked;
  }
  bool i2c_read(uint8_t address7, uint8_t* data, size_t length) override {
    const bool acked = !fail_reads_ && inner_.i2c_read(address7, data, length);
    if (fail_reads_ > 0) --fail_reads_;
    if (after) after(true, length);
    return acked;
  }
  // The next `n` reads are not acknowledged.
  void fail_next_reads(int n) { fail_reads_ = n; }

  std::function<void(bool read, size_t length)> after;

 private:
  I2cTarget& inner_;
  int fail_reads_ = 0;
};

// The process-wide state an update starts from.
inline void reset_globals() {
  gloop = 1;
  tSetter = {};
  tLogCtrl = {};
  g_update_outcome = UPDATE_NOT_RUN;
  FLASH_4KB_UPDATE_MODE = 0;
  img_core_ver = 0x0102;
  img_app_ver = 0x0003;
  img_para_ver = 0x0010;
}

// Loads `image` as the entry does and picks the procedure's bridge code.
inline void load_image(std::vector<uint8_t>& image, int8_t board) {
  Download_Mode = 1;
  BinaryBuffer = image.data();
  emul_board = board;
}

inline bool flash_holds_image(VirtualKd63507& kd, const std::vector<uint8_t>& image) {
  for (uint32_t a = 0; a < IAP_IMAGE_BASE; ++a) {
    if (kd.flash()[a] != 0xFF) return false;
  }
  for (uint32_t o = 0; o < image.size(); ++o) {
    if (kd.flash()[IAP_IMAGE_BASE + o] != image[o]) return false;
  }
  return true;
}

inline std::vector<uint8_t> bytes_of(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int value : list) out.push_back(static_cast<uint8_t>(value));
  return out;
}

}  // namespace test_support
