#include "bridge/hidboard/usb_drv_qbm7750.h"

#include "app/entry.h"
#include "console/log.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

tHIDDevice g_device;
// What enumeration showed for the device now in hDevice.
HidDeviceInfo g_device_info;
// Paths turned down during the current open (could not be opened, or not
// usable): neither pair's search opens them again.
std::vector<std::string> g_turned_down;
// How long the next discard waits for its first report (see
// usb_drv_qbm7750_discard_input).
int g_first_discard_wait_ms = 0;

bool turned_down(const std::string& path) {
  return std::find(g_turned_down.begin(), g_turned_down.end(), path) != g_turned_down.end();
}

// Skips the device in hDevice: names it and why, closes it.
void turn_down(const char* reason) {
  std::printf("HID device %04X:%04X (%s): %s, skipped.\n", g_device_info.vendor_id, g_device_info.product_id,
              g_device_info.path.c_str(), reason);
  g_turned_down.push_back(g_device_info.path);
  g_device.hDevice.reset();
}

}  // namespace

int OpenHidDevice(uint16_t vendor_id, uint16_t product_id) {
  EMUL_DEBUG_PRINT(0, "OpenHidDevice: VID 0x%04X PID 0x%04X", vendor_id, product_id);
  for (const HidDeviceInfo& info : hid_transport_enumerate(vendor_id, product_id)) {
    // An identifier of 0 would match anything in the enumeration call.
    if (info.vendor_id != vendor_id || info.product_id != product_id) continue;
    if (turned_down(info.path)) continue;
    std::string why;
    HidHandle* handle = hid_transport_open(info.path, &why);
    if (handle == nullptr) {
      std::printf("Cannot open HID device %04X:%04X: %s\n", info.vendor_id, info.product_id, why.c_str());
      g_turned_down.push_back(info.path);
      continue;
    }
    g_device.hDevice.reset(handle);
    g_device_info = info;
    EMUL_DEBUG_PRINT(0, "OpenHidDevice: opened %s handle %p", info.path.c_str(), static_cast<void*>(handle));
    return 1;
  }
  return 0;
}

int GetHidReportLength(HidHandle* handle) {
  if (handle == nullptr || handle != g_device.hDevice.get()) return 0;
  char text[260];
  std::snprintf(text, sizeof text, "VendorID : 0x%08x, ProductID : 0x%08x, VersionNumber : 0x%08x \n",
                g_device_info.vendor_id, g_device_info.product_id, g_device_info.release_number);
  std::puts(text);
  if (g_device_info.input_report_length == 0 && g_device_info.output_report_length == 0) {
    // The report descriptor could not be read or parsed.
    std::puts("HidD_GetPreparsedData Error ");
    return 0;
  }
  std::snprintf(text, sizeof text, "InputReportByteLength : 0x%08x \n", g_device_info.input_report_length);
  std::puts(text);
  g_device.g_InputLength = g_device_info.input_report_length;
  std::snprintf(text, sizeof text, "OutputReportByteLength : 0x%08x \n", g_device_info.output_report_length);
  std::puts(text);
  g_device.g_OutputLength = g_device_info.output_report_length;
  return 1;
}

int usb_drv_qbm7750_open(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_qbm7750_open");
  usb_drv_qbm7750_close();  // a second open starts over
  g_turned_down.clear();
  for (int fallback = 0; fallback <= 1; ++fallback) {
    uint16_t vendor_id = img_vid;
    uint16_t product_id = img_pid;
    if (fallback) {
      g_device.wVID = QBM7750_FALLBACK_VID;
      g_device.wPID = QBM7750_FALLBACK_PID;
      vendor_id = g_device.wVID;
      product_id = g_device.wPID;
    }
    while (OpenHidDevice(vendor_id, product_id) != 0) {
      if (fallback) std::printf("VID:0x%08X PID:0x%08X\n", g_device.wVID, g_device.wPID);
      if (GetHidReportLength(g_device.hDevice.get()) == 0) {
        turn_down("report lengths unknown");
        continue;
      }
      if (g_device.g_InputLength < QBM7750_MIN_REPORT_LENGTH || g_device.g_OutputLength < QBM7750_MIN_REPORT_LENGTH) {
        turn_down("reports shorter than 64 bytes");
        continue;
      }
      g_device.bOpened = 1;
      g_device.bAltIds = fallback;
      g_device.pInputReport = std::make_unique<uint8_t[]>(g_device.g_InputLength);
      g_device.pOutputReport = std::make_unique<uint8_t[]>(g_device.g_OutputLength);
      g_first_discard_wait_ms = QBM7750_LEFTOVER_AT_OPEN_MS;
      return 1;
    }
  }
  return 0;
}

tHIDDevice* usb_drv_qbm7750_init(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_qbm7750_init");
  usb_drv_qbm7750_open();
  return &g_device;
}

void usb_drv_qbm7750_close(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_qbm7750_close: opened %d", static_cast<int>(g_device.bOpened));
  if (g_device.bOpened != 1) return;
  g_device.hDevice.reset();
  g_device.pInputReport.reset();
  g_device.pOutputReport.reset();
  g_device.bOpened = 0;
}

int usb_drv_qbm7750_write(const uint8_t* report, uint16_t length) {
  if (g_device.bOpened != 1) return 0;
  const int sent = hid_transport_write(g_device.hDevice.get(), report, length);
  EMUL_DEBUG_PRINT(0, "usb_drv_qbm7750_write: length %u handle %p result %d", length,
                   static_cast<void*>(g_device.hDevice.get()), sent);
  return sent == static_cast<int>(length) && length != 0 ? 1 : 0;
}

int usb_drv_qbm7750_read(uint8_t* buffer, uint16_t length) {
  if (g_device.bOpened != 1) return 0;
  const int got = hid_transport_read(g_device.hDevice.get(), buffer, length, QBM7750_READ_TIMEOUT_MS);
  EMUL_DEBUG_PRINT(0, "usb_drv_qbm7750_read: length %u handle %p result %d", length,
                   static_cast<void*>(g_device.hDevice.get()), got);
  // The answer may still come: the next discard waits for it.
  if (got == 0) g_first_discard_wait_ms = QBM7750_LATE_ANSWER_MS;
  return got > 0 ? 1 : 0;
}

int usb_drv_qbm7750_discard_input(void) {
  if (g_device.bOpened != 1) return 0;
  int wait_ms = g_first_discard_wait_ms;
  for (int taken = 0; taken < QBM7750_MAX_DISCARDED; ++taken) {
    const int got =
        hid_transport_read(g_device.hDevice.get(), g_device.pInputReport.get(), g_device.g_InputLength, wait_ms);
    if (got < 0) return 0;
    if (got == 0) {
      g_first_discard_wait_ms = 0;
      return 1;
    }
    EMUL_DEBUG_PRINT(0, "usb_drv_qbm7750_discard_input: stale report of %d bytes dropped", got);
    wait_ms = 0;  // the late answer is in; anything else is already waiting
  }
  return 0;
}
