// libFuzzer target: a CP2112 whose feature reports and input reports
// (Data Read Responses, Transfer Status Responses, anything else) are chosen
// by the fuzzer, driven through the driver layer and the HID-to-SMBus
// library: open, configuration, reads of fuzzer-chosen lengths into buffers
// of exactly that length, transfer-status exchanges, GPIO reads.
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "fuzz_reports.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  auto chip = std::make_shared<FuzzedHidDevice>(&input);
  chip->info.vendor_id = HID_SMBUS_DEFAULT_VID;
  chip->info.product_id = HID_SMBUS_DEFAULT_PID;
  chip->info.serial = "FUZZ";
  chip->info.input_report_length = chip->info.output_report_length = chip->info.feature_report_length = 64;
  hid_virtual_detach_all();
  hid_virtual_attach(chip);
  if (usb_drv_cp2112_open() == 1 && usb_drv_cp2112_is_open() == 1) {
    usb_drv_cp2112_GetSmbusConfig();
    usb_drv_cp2112_SetSmbusConfig();
    for (int op = 0; op < 8 && input.remaining_bytes() > 0; ++op) {
      switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {
          const uint16_t length = input.ConsumeIntegralInRange<uint16_t>(1, 512);
          std::vector<uint8_t> buffer(length);
          if (usb_drv_cp2112_I2C_ReadRequest(0x68, length) == 1) usb_drv_cp2122_I2C_GetReadResponse(buffer.data(), length);
          break;
        }
        case 1:
          usb_drv_cp2112_GetTransferStatus();
          break;
        case 2:
          usb_drv_cp2112_ReadLatch();
          usb_drv_cp2112_GetGpioConfig();
          break;
        default:
          usb_drv_cp2112_CancelTransfer();
          break;
      }
    }
  }
  usb_drv_cp2112_close();
  hid_virtual_detach_all();
  return 0;
}
