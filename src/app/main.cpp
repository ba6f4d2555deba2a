// fwdownload: writes a firmware image into the touch controller.
//
//   fwdownload IMAGE VID PID CORE_VER APP_VER PARA_VER SLAVE_ADDR
//
// fwdownload (fwdownload.cpp) and fwdownload-sim (sim/fwdownload_sim.cpp)
// are this run on their own HID transport. Exit codes: see app/entry.h.
#include "app/bringup.h"
#include "app/entry.h"
#include "app/iap_update.h"
#include "app/master.h"
#include "app/run_outcome.h"
#include "console/util_console.h"
#include "platform/file_open.h"
#include "platform/sleep.h"
#include "platform/terminal.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kArgumentCount = 8;  // program name and seven positions

// Reads a position as hexadecimal, the way the tool always has: an optional
// "0x", digits up to the first non-digit, nothing at all reading as 0.
unsigned long read_hex(const char* text) { return std::strtoul(text, nullptr, 16); }

// A person at the keyboard gets the time to read; a closed or redirected
// input counts as a key at once.
void wait_for_key() {
  while (console_chk_input_history() == 0) platform_sleep_ms(10);
}

int end_with_key(const char* message, int exit_code) {
  std::puts(message);
  std::puts("Please press any key exit!!!");
  wait_for_key();
  return exit_code;
}

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

}  // namespace

int fwdownload_main(int argc, char** argv, int (*start_transport)(void)) {
  terminal_startup();

  if (argc < kArgumentCount) {
    std::printf("Usage: %s IMAGE VID PID CORE_VER APP_VER PARA_VER SLAVE_ADDR\n",
                argc > 0 ? argv[0] : "fwdownload");
    std::printf("  all numbers hexadecimal; SLAVE_ADDR 0 selects 0x34\n");
    return EXIT_BAD_INPUT;
  }
  if (const int code = start_transport(); code != 0) return code;

  img_core_ver = 0xFFFF;
  img_app_ver = 0xFFFF;
  img_para_ver = 0xFFFF;

  std::unique_ptr<FILE, FileCloser> image(platform_fopen(argv[1], "rb"));
  if (!image) return end_with_key("Image file open error.", EXIT_BAD_INPUT);

  img_vid = static_cast<uint16_t>(read_hex(argv[2]));
  if (img_vid == 0) return end_with_key("VID read error.", EXIT_BAD_INPUT);
  img_pid = static_cast<uint16_t>(read_hex(argv[3]));
  if (img_pid == 0) return end_with_key("PID read error.", EXIT_BAD_INPUT);
  img_core_ver = static_cast<uint16_t>(read_hex(argv[4]));
  img_app_ver = static_cast<uint16_t>(read_hex(argv[5]));
  img_para_ver = static_cast<uint16_t>(read_hex(argv[6]));
  const unsigned long slave = read_hex(argv[7]);
  // Only 7-bit addresses: cutting a larger one to 7 or 8 bits would update
  // another device than the one named.
  if (slave > 0x7F) {
    std::printf("SLAVE_ADDR %s is not a 7-bit I2C address (01 to 7F; 0 selects 34).\n", argv[7]);
    std::printf("Usage: %s IMAGE VID PID CORE_VER APP_VER PARA_VER SLAVE_ADDR\n", argv[0]);
    return EXIT_BAD_INPUT;
  }
  g_slave_addr = slave != 0 ? static_cast<uint8_t>(slave) : DEFAULT_SLAVE_ADDR;

  const ImageLoad loaded = load_image(image.get());
  if (loaded == ImageLoad::kWrongSize) return end_with_key("Image file size error.", EXIT_BAD_INPUT);
  if (loaded == ImageLoad::kReadFailed) return end_with_key("Image file read error.", EXIT_BAD_INPUT);
  image.reset();

  if (!terminal_catch_ctrl_c(signal_handler)) return -1;
  terminal_keep_running_without_reader();  // `| head` must not cut the update in half

  print_console_app_message(1);

  if (bridge_select(BridgeChoice::kAny) == BOARD_NONE) {
    std::puts("Device Not Found.");
    std::puts("Please press any key exit!!!");
    wait_for_key();
    target_shut_down();
    print_console_app_message(0);
    return EXIT_NO_BRIDGE;
  }
  target_bring_up();

  g_run_reason_line = true;  // what ended a failed update, before "Flash Writing Fail!!!"
  emulboard_cp2112_program_to_flash_using_iapmode_Customer();

  target_shut_down();
  print_console_app_message(0);

  return update_exit_code();
}
