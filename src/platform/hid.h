// HID transport: the one seam between the program and USB HID devices.
//
// A backend is a table of operations (HidTransport). Each executable binds
// one at start-up with hid_transport_start, before any other call:
//   hid_transport_system   the host's own HID devices: hid_hidapi.cpp on
//                          Linux (hidapi/hidraw); a Windows build links its
//                          own definition (hid_win32.cpp). CMake links one.
//   hid_transport_virtual  the virtual bridges of sim/ (hid_virtual.h).
// The hid_transport_* functions below dispatch to the bound table; nothing
// above this header knows which backend it talks to. With no table bound
// nothing is found and nothing opens.
//
// Reports are byte buffers whose first byte is the report ID (0 for devices
// without numbered reports). Every length counts that ID byte, as the HID
// class counts report lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct HidDeviceInfo {
  std::string path;             // opaque; hand it to hid_transport_open
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t release_number = 0;  // bcdDevice
  std::string serial;           // UTF-8; empty when the device has none
  std::string manufacturer;
  std::string product;
  // Largest input / output / feature report, ID byte included; 0 when the
  // backend could not learn it (the device then cannot be used as a bridge).
  uint16_t input_report_length = 0;
  uint16_t output_report_length = 0;
  uint16_t feature_report_length = 0;
};

// An open device; owned by the caller until hid_transport_close. Each
// backend derives its own handle from this and is the only one to look
// inside it.
struct HidHandle {};

// One backend. Every slot is set; results and blocking as documented for the
// dispatching functions below.
struct HidTransport {
  const char* name;
  // Readies the backend. 0, or a message has been printed and the value is
  // the process exit code to end with.
  int (*startup)(void);
  // Devices of that vendor and product (0 matches any) and, when `path` is
  // not empty, at that path only: a backend that must ask each device for its
  // strings asks only the devices that match the rest.
  std::vector<HidDeviceInfo> (*enumerate)(uint16_t vendor_id, uint16_t product_id, const std::string& path);
  HidHandle* (*open)(const std::string& path, std::string* why);
  void (*close)(HidHandle* handle);
  int (*write)(HidHandle* handle, const uint8_t* data, size_t length);
  int (*read)(HidHandle* handle, uint8_t* buffer, size_t length, int timeout_ms);
  int (*send_feature)(HidHandle* handle, const uint8_t* data, size_t length);
  int (*get_feature)(HidHandle* handle, uint8_t* buffer, size_t length);
};

// The host's own HID devices (one definition per platform, linked by CMake).
extern const HidTransport hid_transport_system;

// Binds `backend` for the rest of the run and starts it: 0 when ready,
// otherwise a message has been printed and the value is the exit code.
int hid_transport_start(const HidTransport* backend);
// The bound backend; nullptr before hid_transport_start.
const HidTransport* hid_transport_bound(void);

// Limits the run to one device: from now on enumeration shows only devices
// whose path equals `path` (when not empty) and whose serial equals `serial`
// (when not empty), and only such a device opens. Both empty: no limit.
void hid_transport_restrict(const std::string& path, const std::string& serial);

// What enumeration showed for each device open now, in the order opened.
std::vector<HidDeviceInfo> hid_transport_opened(void);

// Lists the present HID devices, in the system's enumeration order. A vendor
// or product of 0 matches any. Never blocks on a device.
std::vector<HidDeviceInfo> hid_transport_enumerate(uint16_t vendor_id, uint16_t product_id);

// Opens a device path for exclusive reading and writing. Returns nullptr on
// failure and, when `why` is given, a one-line reason (for example the
// permission problem and how to fix it).
HidHandle* hid_transport_open(const std::string& path, std::string* why = nullptr);

// Closes the handle; nullptr is accepted and ignored.
void hid_transport_close(HidHandle* handle);

// Sends one output report (data[0] = report ID). Blocks until the report is
// handed to the device. Returns the bytes written, or -1 on failure (device
// gone, handle closed).
int hid_transport_write(HidHandle* handle, const uint8_t* data, size_t length);

// Waits up to timeout_ms milliseconds (-1: no limit) for one input report and
// copies at most `length` bytes of it, report ID first. Returns the bytes
// copied, 0 when the time ran out, -1 on failure.
int hid_transport_read(HidHandle* handle, uint8_t* buffer, size_t length, int timeout_ms);

// True once a transfer on an open device has failed (-1) since the last
// open: the device is gone or its handle broke, so whatever failed after it
// failed for that reason.
bool hid_transport_lost(void);
// Forgets a device lost earlier, for a bridge that starts without opening a
// HID device (the virtual direct bridge of sim/).
void hid_transport_forget_lost(void);

// Feature reports. For a get, buffer[0] holds the wanted report ID on entry.
// Both return the bytes transferred (ID included) or -1 on failure.
int hid_transport_send_feature(HidHandle* handle, const uint8_t* data, size_t length);
int hid_transport_get_feature(HidHandle* handle, uint8_t* buffer, size_t length);
