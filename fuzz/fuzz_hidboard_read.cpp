// libFuzzer target: a custom board that answers with fuzzer-chosen input
// reports and declares fuzzer-chosen report lengths, driven through the
// board's open, read and write paths. Every caller buffer is exactly as long
// as asked, so the sanitizers catch any byte written past it.
#include "app/entry.h"
#include "bridge/hidboard/emulboard_qbm7750_control.h"
#include "fuzz_reports.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The open names what it finds on stdout; keep the run quiet and fast.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  auto board = std::make_shared<FuzzedHidDevice>(&input);
  board->info.vendor_id = img_vid = 0x1209;
  board->info.product_id = img_pid = 0x7750;
  board->info.input_report_length = input.ConsumeIntegralInRange<uint16_t>(0, 200);
  board->info.output_report_length = input.ConsumeIntegralInRange<uint16_t>(0, 200);
  hid_virtual_detach_all();
  hid_virtual_attach(board);
  if (emulboard_qbm7750_init() == 1) {
    emulboard_qbm7750_set_i2c_slave_addr(0, input.ConsumeIntegral<uint8_t>());
    for (int op = 0; op < 8 && input.remaining_bytes() > 0; ++op) {
      const uint16_t length = input.ConsumeIntegralInRange<uint16_t>(0, 300);
      std::vector<uint8_t> buffer(length);
      if (input.ConsumeBool()) {
        emulboard_qbm7750_usb_read(buffer.data(), length);
      } else {
        emulboard_qbm7750_usb_write(buffer.data(), length);
      }
    }
  }
  emulboard_qbm7750_close();
  hid_virtual_detach_all();
  return 0;
}
