#include "app/entry.h"

#include "app/iap_update.h"
#include "platform/terminal.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>

uint16_t img_vid = 0;
uint16_t img_pid = 0;
uint16_t img_core_ver = 0xFFFF;
uint16_t img_app_ver = 0xFFFF;
uint16_t img_para_ver = 0xFFFF;
uint8_t Download_Mode = 0;
uint8_t* BinaryBuffer = nullptr;
int8_t emul_board = 0;
std::atomic<uint8_t> gloop{1};
std::atomic<uint8_t> g_ctrl_c_presses{0};
bool g_exit_key_waits = true;
bool g_master_run_busy = false;

std::atomic<int> g_stop_signal{0};

void signal_handler(int signo) {
  // Async-signal context (on Windows the console's own thread): write(2)
  // only. terminal_startup() keeps stdout line buffered (on Windows the
  // console's handler writes stdout's buffer out first, under its lock) so
  // this lands after every complete line printed before it.
  int none = 0;
  g_stop_signal.compare_exchange_strong(none, signo);  // the first one ended the run
  ssize_t ignored = 0;
  if (signo == SIGINT) {
    static constexpr char kLine[] = "\n\n[Ctrl+C] User terminated running of program.\n\n";
    ignored = write(STDOUT_FILENO, kLine, sizeof kLine - 1);
  } else {
    static constexpr char kHead[] = "\n\n[";
    static constexpr char kTail[] = "] Stopping after the command in progress.\n\n";
    const char* name = terminal_stop_name(signo);
    ignored = write(STDOUT_FILENO, kHead, sizeof kHead - 1);
    ignored = write(STDOUT_FILENO, name, std::strlen(name));
    ignored = write(STDOUT_FILENO, kTail, sizeof kTail - 1);
  }
  (void)ignored;
  ++g_ctrl_c_presses;
  gloop = 0;
}

void print_console_app_message(uint8_t starting) {
  static constexpr char kRule[] = "===========================================================================";
  static_assert(sizeof kRule - 1 == 75);
  char status[20];
  std::memset(status, 0, sizeof status);
  if (starting == 0) std::strcpy(status, "Terminated");
  std::puts(kRule);
  std::puts("=====                  Pelmoranth FW Download Application             =====");
  std::puts(kRule);
  std::puts(status);
}

ImageLoad load_image(FILE* image) {
  long size = -1;
  if (std::fseek(image, 0, SEEK_END) == 0) size = std::ftell(image);
  std::fseek(image, 0, SEEK_SET);
  if (size != static_cast<long>(IMAGE_SIZE)) return ImageLoad::kWrongSize;
  Download_Mode = 1;
  if (BinaryBuffer == nullptr) BinaryBuffer = new (std::nothrow) uint8_t[IMAGE_SIZE];
  if (BinaryBuffer == nullptr || std::fread(BinaryBuffer, 1, IMAGE_SIZE, image) != IMAGE_SIZE) {
    return ImageLoad::kReadFailed;
  }
  return ImageLoad::kLoaded;
}

int update_exit_code(void) {
  switch (g_update_outcome) {
    case UPDATE_WRITTEN:
    case UPDATE_SAME_VERSION:
      return EXIT_UPDATED;
    default:
      return EXIT_UPDATE_FAILED;
  }
}
