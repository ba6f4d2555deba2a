// A fixture on a production line: a bridge that stays on the bench and a
// touch module that the operator puts in and takes out, many times in a run.
// What the fixture holds now is one line of a control file, which a test
// rewrites (atomically) while the processes run:
//
//   empty                               the bridge, no controller behind it
//   unplugged                           not even the bridge
//   module FLASH [SETTING=VALUE ...]    a controller whose 128 KiB flash is
//                                       the file FLASH (relative: to the
//                                       control file's folder; absent: erased)
//
// An absent or empty file (blank lines and # comments aside) is `empty`.
// The file is read when the process enumerates the bridge and when it opens
// it; a line different from the last one takes the module out and puts a new
// one in. A module's flash goes back to its file (replaced atomically) when
// the module is taken out or the process ends, and only when this process
// changed the flash: a process that only read leaves the file alone.
#pragma once

#include "i2c_target.h"
#include "kd63507.h"
#include "platform/hid_virtual.h"

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

// Applies a module line's SETTING=VALUE words to the configuration of its
// controller (which starts as the board's). 0, or the exit code after a
// message on stderr whose every line starts with `where`.
using ModuleSettings = std::function<int(const std::map<std::string, std::string>& settings, const std::string& where,
                                         Kd63507Config& config)>;

// The fixture is the I2C target of its bridge: the transfers reach the
// module's controller, or nothing acknowledges them while it holds none.
class Fixture : public I2cTarget {
 public:
  // `variable` names the setting that gave `control_path`, for messages;
  // `board` is the configuration a module's controller starts from.
  Fixture(std::string variable, std::string control_path, Kd63507Config board, ModuleSettings settings);

  // The bridge the control file plugs in and out.
  void set_bridge(VirtualHidDevice* bridge) { bridge_ = bridge; }
  // Reads the control file and, when its line changed, swaps the module.
  // 0, or a message on stderr and the exit code (nothing changed then).
  int refresh();
  // Writes the module's flash back to its file if this process changed it.
  void write_back();
  // The trace file every module's controller writes (KDSIM_TRACE).
  void set_trace_file(FILE* file);
  VirtualKd63507* module() { return module_.get(); }

  bool i2c_write(uint8_t address7, const uint8_t* data, size_t length) override;
  bool i2c_read(uint8_t address7, uint8_t* data, size_t length) override;
  bool interrupt_asserted() const override { return module_ && module_->interrupt_asserted(); }
  void powered_off() override;
  void at_time(std::chrono::steady_clock::time_point when) override;

 private:
  struct Holding;
  int read_line(std::string* line);
  int parse(const std::string& line, Holding* next);
  int fail(const std::string& what) const;

  std::string variable_;
  std::string control_path_;
  Kd63507Config board_;
  ModuleSettings settings_;
  VirtualHidDevice* bridge_ = nullptr;
  bool read_ = false;
  std::string line_;  // the line in force, its words joined by one blank
  std::unique_ptr<VirtualKd63507> module_;
  std::string flash_path_;
  int written_ = 0;  // the module's flash writes when its file was last written
  FILE* trace_ = nullptr;
};
