// HID transport backend over Windows SetupAPI and the HID class driver
// (hid.dll): no driver of our own, no HID library.
//
// Windows moves whole reports only: a write or a feature report must be
// exactly the device's report length, so shorter ones are padded with zeros.
// Reads are overlapped so that a wait for an input report has a bound.
#include "platform/hid.h"

#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kWriteTimeoutMs = 1000;  // a report the device does not take by then is a failure
constexpr size_t kStringChars = 127;     // a USB string descriptor holds at most 126 UTF-16 units

// Owns a kernel handle; closing twice is safe.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Owns a SetupAPI device information set.
class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  ~DeviceInfoSet() {
    if (valid()) SetupDiDestroyDeviceInfoList(set_);
  }
  bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

struct ReportLengths {
  uint16_t input = 0;
  uint16_t output = 0;
  uint16_t feature = 0;
};

ReportLengths report_lengths(HANDLE device) {
  ReportLengths lengths;
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(device, &preparsed)) return lengths;
  HIDP_CAPS caps{};
  if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
    lengths.input = caps.InputReportByteLength;
    lengths.output = caps.OutputReportByteLength;
    lengths.feature = caps.FeatureReportByteLength;
  }
  HidD_FreePreparsedData(preparsed);
  return lengths;
}

std::string utf8_from_wide(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<size_t>(size - 1));
  return out;
}

using StringQuery = BOOLEAN(__stdcall*)(HANDLE, PVOID, ULONG);
std::string device_string(HANDLE device, StringQuery query) {
  wchar_t text[kStringChars + 1] = {};
  if (!query(device, text, sizeof text - sizeof text[0])) return {};
  return utf8_from_wide(text);
}

// The device path of one interface of the set; empty when it cannot be read.
std::string interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface) {
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(set, interface, nullptr, 0, &required, nullptr);
  if (required <= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return {};
  // DWORD-aligned storage for the record: its size field, then the path.
  std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
  // The record's fixed part: 8 bytes in a 64-bit process, 5 in a 32-bit one.
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(set, interface, detail, required, nullptr, nullptr)) return {};
  return detail->DevicePath;
}

std::string open_failure(const std::string& path, DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return path + " is in use by another program";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
      return path + " is gone (board unplugged?)";
    default:
      return path + ": Windows error " + std::to_string(error);
  }
}

// Waits for an overlapped transfer for at most `timeout` ms, cancelling it
// when the time runs out. Returns the bytes moved, 0 when the time ran out
// with nothing moved, -1 on failure.
int finish(HANDLE device, OVERLAPPED* overlapped, DWORD timeout) {
  const DWORD waited = WaitForSingleObject(overlapped->hEvent, timeout);
  if (waited != WAIT_OBJECT_0) CancelIo(device);
  DWORD moved = 0;
  // Waits for the cancel to finish: the buffer and the record stay ours.
  if (GetOverlappedResult(device, overlapped, &moved, TRUE)) return static_cast<int>(moved);
  return waited == WAIT_TIMEOUT && GetLastError() == ERROR_OPERATION_ABORTED ? 0 : -1;
}

struct WinHidHandle : HidHandle {
  Handle device;
  Handle read_event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  Handle write_event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  ReportLengths lengths;
  std::vector<uint8_t> report;  // one report of the longest kind
};

WinHidHandle* own(HidHandle* handle) { return static_cast<WinHidHandle*>(handle); }

int win32_startup(void) { return 0; }

// Vendor, product and path are matched before anything is asked of a device:
// HidD_Get*String sends a request to the device and has no time limit, so a
// stuck HID device elsewhere on the system must never be asked.
std::vector<HidDeviceInfo> win32_enumerate(uint16_t vendor_id, uint16_t product_id, const std::string& wanted) {
  std::vector<HidDeviceInfo> found;
  GUID hid_guid;
  HidD_GetHidGuid(&hid_guid);
  DeviceInfoSet set(SetupDiGetClassDevsA(&hid_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set.valid()) return found;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interface{};
    interface.cbSize = sizeof interface;  // 32 in a 64-bit process, 28 in a 32-bit one
    if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hid_guid, index, &interface)) break;
    const std::string path = interface_path(set.get(), &interface);
    if (path.empty() || (!wanted.empty() && path != wanted)) continue;
    // Opened without access rights: attributes and capabilities can be read
    // even from devices that the system or another program holds (keyboards,
    // mice, a board in use).
    Handle device(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr));
    if (!device.valid()) continue;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(device.get(), &attributes)) continue;
    if (vendor_id != 0 && attributes.VendorID != vendor_id) continue;
    if (product_id != 0 && attributes.ProductID != product_id) continue;
    HidDeviceInfo info;
    info.path = path;
    info.vendor_id = attributes.VendorID;
    info.product_id = attributes.ProductID;
    info.release_number = attributes.VersionNumber;
    info.serial = device_string(device.get(), HidD_GetSerialNumberString);
    info.manufacturer = device_string(device.get(), HidD_GetManufacturerString);
    info.product = device_string(device.get(), HidD_GetProductString);
    const ReportLengths lengths = report_lengths(device.get());
    info.input_report_length = lengths.input;
    info.output_report_length = lengths.output;
    info.feature_report_length = lengths.feature;
    found.push_back(std::move(info));
  }
  return found;
}

HidHandle* win32_open(const std::string& path, std::string* why) {
  // Share mode 0: no other program talks to the bridge while we do.
  auto* handle = new WinHidHandle;
  handle->device.reset(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
  if (!handle->device.valid()) {
    if (why) *why = open_failure(path, GetLastError());
    delete handle;
    return nullptr;
  }
  handle->lengths = report_lengths(handle->device.get());
  handle->report.assign(std::max({handle->lengths.input, handle->lengths.output, handle->lengths.feature}), 0);
  if (!handle->read_event.valid() || !handle->write_event.valid()) {
    if (why) *why = path + ": no event for overlapped transfers";
    delete handle;
    return nullptr;
  }
  return handle;
}

void win32_close(HidHandle* handle) { delete own(handle); }

int win32_write(HidHandle* base, const uint8_t* data, size_t length) {
  WinHidHandle* handle = own(base);
  if (handle == nullptr || data == nullptr || length == 0 || length > handle->lengths.output) return -1;
  std::fill(handle->report.begin(), handle->report.end(), 0);
  std::memcpy(handle->report.data(), data, length);
  OVERLAPPED overlapped{};
  overlapped.hEvent = handle->write_event.get();
  ResetEvent(overlapped.hEvent);
  if (!WriteFile(handle->device.get(), handle->report.data(), handle->lengths.output, nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    return -1;
  }
  const int moved = finish(handle->device.get(), &overlapped, kWriteTimeoutMs);
  return moved == handle->lengths.output ? static_cast<int>(length) : -1;
}

int win32_read(HidHandle* base, uint8_t* buffer, size_t length, int timeout_ms) {
  WinHidHandle* handle = own(base);
  if (handle == nullptr || buffer == nullptr || length == 0 || handle->lengths.input == 0) return -1;
  if (timeout_ms != 0) std::fflush(stdout);  // a wait: what was printed shows first
  OVERLAPPED overlapped{};
  overlapped.hEvent = handle->read_event.get();
  ResetEvent(overlapped.hEvent);
  if (!ReadFile(handle->device.get(), handle->report.data(), handle->lengths.input, nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    return -1;
  }
  const int moved = finish(handle->device.get(), &overlapped, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
  if (moved <= 0) return moved;
  const size_t copied = std::min(length, static_cast<size_t>(moved));
  std::memcpy(buffer, handle->report.data(), copied);
  return static_cast<int>(copied);
}

int win32_send_feature(HidHandle* base, const uint8_t* data, size_t length) {
  WinHidHandle* handle = own(base);
  if (handle == nullptr || data == nullptr || length == 0 || length > handle->lengths.feature) return -1;
  std::fill(handle->report.begin(), handle->report.end(), 0);
  std::memcpy(handle->report.data(), data, length);
  if (!HidD_SetFeature(handle->device.get(), handle->report.data(), handle->lengths.feature)) return -1;
  return static_cast<int>(length);
}

int win32_get_feature(HidHandle* base, uint8_t* buffer, size_t length) {
  WinHidHandle* handle = own(base);
  if (handle == nullptr || buffer == nullptr || length == 0 || handle->lengths.feature == 0) return -1;
  std::fill(handle->report.begin(), handle->report.end(), 0);
  handle->report[0] = buffer[0];
  if (!HidD_GetFeature(handle->device.get(), handle->report.data(), handle->lengths.feature)) return -1;
  const size_t copied = std::min(length, static_cast<size_t>(handle->lengths.feature));
  std::memcpy(buffer, handle->report.data(), copied);
  return static_cast<int>(copied);
}

}  // namespace

const HidTransport hid_transport_system = {
    "windows",   win32_startup, win32_enumerate,    win32_open,       win32_close,
    win32_write, win32_read,    win32_send_feature, win32_get_feature,
};
