#include "platform/hidsmbus.h"

#include "platform/hid.h"
#include "platform/hidsmbus_reports.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

struct HidSmbusDevice {
  HidHandle* hid = nullptr;
  HidDeviceInfo info;
  uint32_t response_timeout_ms = HID_SMBUS_DEFAULT_RESPONSE_TIMEOUT_MS;
  std::deque<Cp2112Report> read_queue;    // Data Read Responses not yet taken
  std::deque<Cp2112Report> status_queue;  // Transfer Status Responses not yet taken
  // A response of an earlier exchange may still be on its way (a wait timed
  // out, or the device was just opened): the next request settles first.
  bool unsettled = true;

  ~HidSmbusDevice() { hid_transport_close(hid); }
};

namespace {

constexpr uint8_t kLibraryMajor = 1;
constexpr uint8_t kLibraryMinor = 0;
constexpr uint8_t kHidLibraryMajor = 1;
constexpr uint8_t kHidLibraryMinor = 0;
constexpr int32_t kReleaseBuild = 1;
// Bounds on what one device may have waiting: a device that floods reports
// cannot grow the queues or keep a drain going for ever.
constexpr size_t kMaxQueued = 64;
constexpr int kMaxDrained = 256;

using Clock = std::chrono::steady_clock;

std::vector<std::unique_ptr<HidSmbusDevice>>& open_devices() {
  static std::vector<std::unique_ptr<HidSmbusDevice>> devices;
  return devices;
}

std::string& open_error() {
  static std::string text;
  return text;
}

// The handle when it is one of ours and still open, else nullptr.
HidSmbusDevice* live(HID_SMBUS_DEVICE device) {
  for (const auto& open : open_devices()) {
    if (open.get() == device) return device;
  }
  return nullptr;
}

HID_SMBUS_STATUS copy_string(char* text, const std::string& value) {
  if (value.empty()) return HID_SMBUS_DEVICE_ACCESS_ERROR;
  const size_t n = std::min(value.size(), HID_SMBUS_DEVICE_STRLEN - 1);
  std::memcpy(text, value.data(), n);
  text[n] = '\0';
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS string_of(const HidDeviceInfo& info, char* text, uint32_t option) {
  if (text == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  char number[8];
  switch (option) {
    case HID_SMBUS_GET_VID_STR:
      std::snprintf(number, sizeof number, "%04X", info.vendor_id);
      return copy_string(text, number);
    case HID_SMBUS_GET_PID_STR:
      std::snprintf(number, sizeof number, "%04X", info.product_id);
      return copy_string(text, number);
    case HID_SMBUS_GET_PATH_STR:
      return copy_string(text, info.path);
    case HID_SMBUS_GET_SERIAL_STR:
      return copy_string(text, info.serial);
    case HID_SMBUS_GET_MANUFACTURER_STR:
      return copy_string(text, info.manufacturer);
    case HID_SMBUS_GET_PRODUCT_STR:
      return copy_string(text, info.product);
    default:
      return HID_SMBUS_INVALID_PARAMETER;
  }
}

HID_SMBUS_STATUS find(uint32_t device_num, uint16_t vid, uint16_t pid, HidDeviceInfo* info) {
  const std::vector<HidDeviceInfo> found = hid_transport_enumerate(vid, pid);
  if (device_num >= found.size()) return HID_SMBUS_DEVICE_NOT_FOUND;
  *info = found[device_num];
  return HID_SMBUS_SUCCESS;
}

// Reads feature report `id`, asking for exactly its layout's `length`. An
// answer of any other length is a failure: a short one would leave fields
// that were never sent to be read as zeros.
HID_SMBUS_STATUS get_feature(HidSmbusDevice* device, uint8_t id, size_t length, Cp2112Report& report) {
  report.fill(0);
  report[0] = id;
  const int n = hid_transport_get_feature(device->hid, report.data(), length);
  return n == static_cast<int>(length) ? HID_SMBUS_SUCCESS : HID_SMBUS_DEVICE_IO_FAILED;
}

HID_SMBUS_STATUS send_feature(HidSmbusDevice* device, const Cp2112Report& report, size_t length) {
  const int n = hid_transport_send_feature(device->hid, report.data(), length);
  return n == static_cast<int>(length) ? HID_SMBUS_SUCCESS : HID_SMBUS_DEVICE_IO_FAILED;
}

HID_SMBUS_STATUS send_output(HidSmbusDevice* device, const Cp2112Report& report, size_t length,
                             HID_SMBUS_STATUS on_failure) {
  const int n = hid_transport_write(device->hid, report.data(), length);
  return n == static_cast<int>(length) ? HID_SMBUS_SUCCESS : on_failure;
}

void file_report(HidSmbusDevice* device, const Cp2112Report& report) {
  std::deque<Cp2112Report>* queue = nullptr;
  if (report[0] == CP2112_RPT_READ_RESPONSE) queue = &device->read_queue;
  if (report[0] == CP2112_RPT_STATUS_RESPONSE) queue = &device->status_queue;
  if (queue == nullptr) return;  // no other input report carries anything for us
  if (queue->size() == kMaxQueued) queue->pop_front();
  queue->push_back(report);
}

// Takes in every input report already waiting, without waiting for more.
HID_SMBUS_STATUS take_in_waiting(HidSmbusDevice* device) {
  for (int i = 0; i < kMaxDrained; ++i) {
    Cp2112Report report{};
    const int n = hid_transport_read(device->hid, report.data(), report.size(), 0);
    if (n == 0) return HID_SMBUS_SUCCESS;
    if (n < 0) return HID_SMBUS_READ_ERROR;
    file_report(device, report);
  }
  return HID_SMBUS_SUCCESS;
}

// Waits until `queue` holds a report, for at most the response timeout.
HID_SMBUS_STATUS wait_for(HidSmbusDevice* device, const std::deque<Cp2112Report>& queue) {
  const bool unlimited = device->response_timeout_ms == 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(device->response_timeout_ms);
  while (queue.empty()) {
    int wait_ms = -1;
    if (!unlimited) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return HID_SMBUS_READ_TIMED_OUT;
      wait_ms = static_cast<int>(left);
    }
    Cp2112Report report{};
    const int n = hid_transport_read(device->hid, report.data(), report.size(), wait_ms);
    if (n < 0) return HID_SMBUS_READ_ERROR;
    if (n == 0) return HID_SMBUS_READ_TIMED_OUT;
    file_report(device, report);
  }
  return HID_SMBUS_SUCCESS;
}

bool valid_slave(uint8_t slave) { return slave >= 0x02 && slave <= 0xFE && (slave & 1) == 0; }

// Makes sure nothing an earlier exchange caused can still arrive. The chip
// sends its input reports in order, so once the answer to a status request
// sent now is in, every report it produced before is in too; all of them are
// dropped. Until that answer comes, the device stays unsettled.
HID_SMBUS_STATUS settle(HidSmbusDevice* device) {
  if (!device->unsettled) return HID_SMBUS_SUCCESS;
  HID_SMBUS_STATUS status = take_in_waiting(device);
  if (status != HID_SMBUS_SUCCESS) return status;
  device->status_queue.clear();
  Cp2112Report report;
  status = send_output(device, report, cp2112_encode_status_request(report), HID_SMBUS_DEVICE_IO_FAILED);
  if (status == HID_SMBUS_SUCCESS) status = wait_for(device, device->status_queue);
  if (status != HID_SMBUS_SUCCESS) return status;
  device->read_queue.clear();
  device->status_queue.clear();
  device->unsettled = false;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS start_read(HidSmbusDevice* device, const Cp2112Report& report, size_t length) {
  // Responses still waiting belong to an earlier exchange: never hand them
  // out as this one's data.
  HID_SMBUS_STATUS status = settle(device);
  if (status != HID_SMBUS_SUCCESS) return status;
  status = take_in_waiting(device);
  if (status != HID_SMBUS_SUCCESS) return status;
  device->read_queue.clear();
  return send_output(device, report, length, HID_SMBUS_DEVICE_IO_FAILED);
}

}  // namespace

HID_SMBUS_STATUS HidSmbus_GetLibraryVersion(uint8_t* major, uint8_t* minor, int32_t* release) {
  if (major == nullptr || minor == nullptr || release == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  *major = kLibraryMajor;
  *minor = kLibraryMinor;
  *release = kReleaseBuild;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_GetHidLibraryVersion(uint8_t* major, uint8_t* minor, int32_t* release) {
  if (major == nullptr || minor == nullptr || release == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  *major = kHidLibraryMajor;
  *minor = kHidLibraryMinor;
  *release = kReleaseBuild;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_GetNumDevices(uint32_t* count, uint16_t vid, uint16_t pid) {
  if (count == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  *count = static_cast<uint32_t>(hid_transport_enumerate(vid, pid).size());
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_GetString(uint32_t device_num, uint16_t vid, uint16_t pid, char* text, uint32_t option) {
  if (text == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  HidDeviceInfo info;
  const HID_SMBUS_STATUS status = find(device_num, vid, pid, &info);
  return status != HID_SMBUS_SUCCESS ? status : string_of(info, text, option);
}

HID_SMBUS_STATUS HidSmbus_GetAttributes(uint32_t device_num, uint16_t vid, uint16_t pid, uint16_t* device_vid,
                                        uint16_t* device_pid, uint16_t* release) {
  if (device_vid == nullptr || device_pid == nullptr || release == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  HidDeviceInfo info;
  const HID_SMBUS_STATUS status = find(device_num, vid, pid, &info);
  if (status != HID_SMBUS_SUCCESS) return status;
  *device_vid = info.vendor_id;
  *device_pid = info.product_id;
  *release = info.release_number;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_Open(HID_SMBUS_DEVICE* device, uint32_t device_num, uint16_t vid, uint16_t pid) {
  open_error().clear();
  if (device == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  auto opened = std::make_unique<HidSmbusDevice>();
  HID_SMBUS_STATUS status = find(device_num, vid, pid, &opened->info);
  if (status != HID_SMBUS_SUCCESS) {
    open_error() = "no such device";
    return status;
  }
  std::string why;
  opened->hid = hid_transport_open(opened->info.path, &why);
  if (opened->hid == nullptr) {
    open_error() = why.empty() ? "the device could not be opened" : why;
    return HID_SMBUS_DEVICE_ACCESS_ERROR;
  }
  Cp2112Report report;
  uint8_t part = 0;
  uint8_t version = 0;
  if (get_feature(opened.get(), CP2112_RPT_VERSION, CP2112_LEN_VERSION, report) != HID_SMBUS_SUCCESS ||
      !cp2112_decode_version(report.data(), CP2112_LEN_VERSION, &part, &version)) {
    open_error() = "the device did not report its part number";
    return HID_SMBUS_DEVICE_IO_FAILED;
  }
  if (part != CP2112_PART_NUMBER) {
    char text[64];
    std::snprintf(text, sizeof text, "part number 0x%02X is not a CP2112", part);
    open_error() = text;
    return HID_SMBUS_DEVICE_NOT_SUPPORTED;
  }
  // Reports a configuring chip sends on its own are of no use to anyone.
  status = take_in_waiting(opened.get());
  if (status != HID_SMBUS_SUCCESS) {
    open_error() = "the device stopped answering";
    return status;
  }
  opened->read_queue.clear();
  opened->status_queue.clear();
  *device = opened.get();
  open_devices().push_back(std::move(opened));
  return HID_SMBUS_SUCCESS;
}

const char* HidSmbus_GetOpenErrorText(void) { return open_error().c_str(); }

HID_SMBUS_STATUS HidSmbus_Close(HID_SMBUS_DEVICE device) {
  auto& devices = open_devices();
  const auto it = std::find_if(devices.begin(), devices.end(), [device](const auto& open) { return open.get() == device; });
  if (it == devices.end()) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  devices.erase(it);
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_IsOpened(HID_SMBUS_DEVICE device, int32_t* opened) {
  if (opened == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  *opened = live(device) != nullptr ? 1 : 0;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_GetOpenedAttributes(HID_SMBUS_DEVICE device, uint16_t* device_vid, uint16_t* device_pid,
                                              uint16_t* release) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (device_vid == nullptr || device_pid == nullptr || release == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  *device_vid = open->info.vendor_id;
  *device_pid = open->info.product_id;
  *release = open->info.release_number;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_GetOpenedString(HID_SMBUS_DEVICE device, char* text, uint32_t option) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  return string_of(open->info, text, option);
}

HID_SMBUS_STATUS HidSmbus_GetPartNumber(HID_SMBUS_DEVICE device, uint8_t* part_number, uint8_t* version) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (part_number == nullptr || version == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  Cp2112Report report;
  const HID_SMBUS_STATUS status = get_feature(open, CP2112_RPT_VERSION, CP2112_LEN_VERSION, report);
  if (status != HID_SMBUS_SUCCESS) return status;
  return cp2112_decode_version(report.data(), CP2112_LEN_VERSION, part_number, version) ? HID_SMBUS_SUCCESS
                                                                                    : HID_SMBUS_DEVICE_IO_FAILED;
}

HID_SMBUS_STATUS HidSmbus_SetSmbusConfig(HID_SMBUS_DEVICE device, uint32_t bit_rate, uint8_t address,
                                         int32_t auto_read_respond, uint16_t write_timeout, uint16_t read_timeout,
                                         int32_t scl_low_timeout, uint16_t transfer_retries) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (bit_rate == 0 || !valid_slave(address) || write_timeout > CP2112_MAX_TIMEOUT_MS ||
      read_timeout > CP2112_MAX_TIMEOUT_MS || transfer_retries > CP2112_MAX_RETRIES) {
    return HID_SMBUS_INVALID_PARAMETER;
  }
  Cp2112SmbusConfig config;
  config.bit_rate = bit_rate;
  config.address = address;
  config.auto_send_read = auto_read_respond != 0;
  config.write_timeout = write_timeout;
  config.read_timeout = read_timeout;
  config.scl_low_timeout = scl_low_timeout != 0;
  config.retry_limit = transfer_retries;
  Cp2112Report report;
  return send_feature(open, report, cp2112_encode_smbus_config(report, config));
}

HID_SMBUS_STATUS HidSmbus_GetSmbusConfig(HID_SMBUS_DEVICE device, uint32_t* bit_rate, uint8_t* address,
                                         int32_t* auto_read_respond, uint16_t* write_timeout, uint16_t* read_timeout,
                                         int32_t* scl_low_timeout, uint16_t* transfer_retries) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (bit_rate == nullptr || address == nullptr || auto_read_respond == nullptr || write_timeout == nullptr ||
      read_timeout == nullptr || scl_low_timeout == nullptr || transfer_retries == nullptr) {
    return HID_SMBUS_INVALID_PARAMETER;
  }
  Cp2112Report report;
  Cp2112SmbusConfig config;
  const HID_SMBUS_STATUS status = get_feature(open, CP2112_RPT_SMBUS_CONFIG, CP2112_LEN_SMBUS_CONFIG, report);
  if (status != HID_SMBUS_SUCCESS) return status;
  if (!cp2112_decode_smbus_config(report.data(), CP2112_LEN_SMBUS_CONFIG, &config)) return HID_SMBUS_DEVICE_IO_FAILED;
  *bit_rate = config.bit_rate;
  *address = config.address;
  *auto_read_respond = config.auto_send_read ? 1 : 0;
  *write_timeout = config.write_timeout;
  *read_timeout = config.read_timeout;
  *scl_low_timeout = config.scl_low_timeout ? 1 : 0;
  *transfer_retries = config.retry_limit != 0 ? config.retry_limit : HID_SMBUS_BOUNDED_RETRIES;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_SetTimeouts(HID_SMBUS_DEVICE device, uint32_t response_timeout) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  open->response_timeout_ms = response_timeout;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_GetTimeouts(HID_SMBUS_DEVICE device, uint32_t* response_timeout) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (response_timeout == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  *response_timeout = open->response_timeout_ms;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_SetGpioConfig(HID_SMBUS_DEVICE device, uint8_t direction, uint8_t mode, uint8_t alt_function,
                                        uint8_t clock_divider) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  Cp2112Report report;
  return send_feature(open, report, cp2112_encode_gpio_config(report, {direction, mode, alt_function, clock_divider}));
}

HID_SMBUS_STATUS HidSmbus_GetGpioConfig(HID_SMBUS_DEVICE device, uint8_t* direction, uint8_t* mode,
                                        uint8_t* alt_function, uint8_t* clock_divider) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (direction == nullptr || mode == nullptr || alt_function == nullptr || clock_divider == nullptr) {
    return HID_SMBUS_INVALID_PARAMETER;
  }
  Cp2112Report report;
  Cp2112GpioConfig config;
  const HID_SMBUS_STATUS status = get_feature(open, CP2112_RPT_GPIO_CONFIG, CP2112_LEN_GPIO_CONFIG, report);
  if (status != HID_SMBUS_SUCCESS) return status;
  if (!cp2112_decode_gpio_config(report.data(), CP2112_LEN_GPIO_CONFIG, &config)) return HID_SMBUS_DEVICE_IO_FAILED;
  *direction = config.direction;
  *mode = config.drive;
  *alt_function = config.alt_function;
  *clock_divider = config.clock_divider;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_ReadLatch(HID_SMBUS_DEVICE device, uint8_t* latch_value) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (latch_value == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  Cp2112Report report;
  const HID_SMBUS_STATUS status = get_feature(open, CP2112_RPT_GET_GPIO, CP2112_LEN_GET_GPIO, report);
  if (status != HID_SMBUS_SUCCESS) return status;
  return cp2112_decode_get_gpio(report.data(), CP2112_LEN_GET_GPIO, latch_value) ? HID_SMBUS_SUCCESS
                                                                           : HID_SMBUS_DEVICE_IO_FAILED;
}

HID_SMBUS_STATUS HidSmbus_WriteLatch(HID_SMBUS_DEVICE device, uint8_t latch_value, uint8_t latch_mask) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  Cp2112Report report;
  return send_feature(open, report, cp2112_encode_set_gpio(report, latch_value, latch_mask));
}

HID_SMBUS_STATUS HidSmbus_ReadRequest(HID_SMBUS_DEVICE device, uint8_t slave_address, uint16_t count) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (!valid_slave(slave_address)) return HID_SMBUS_INVALID_PARAMETER;
  Cp2112Report report;
  const size_t length = cp2112_encode_read_request(report, slave_address, count);
  if (length == 0) return HID_SMBUS_INVALID_REQUEST_LENGTH;
  return start_read(open, report, length);
}

HID_SMBUS_STATUS HidSmbus_AddressReadRequest(HID_SMBUS_DEVICE device, uint8_t slave_address, uint16_t count,
                                             uint8_t target_address_size, const uint8_t* target_address) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (!valid_slave(slave_address) || target_address == nullptr || target_address_size == 0 ||
      target_address_size > CP2112_MAX_TARGET_ADDRESS) {
    return HID_SMBUS_INVALID_PARAMETER;
  }
  Cp2112Report report;
  const size_t length =
      cp2112_encode_write_read_request(report, slave_address, count, target_address, target_address_size);
  if (length == 0) return HID_SMBUS_INVALID_REQUEST_LENGTH;
  return start_read(open, report, length);
}

HID_SMBUS_STATUS HidSmbus_ForceReadResponse(HID_SMBUS_DEVICE device, uint16_t count) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  Cp2112Report report;
  const size_t length = cp2112_encode_force_send(report, count);
  if (length == 0) return HID_SMBUS_INVALID_REQUEST_LENGTH;
  return send_output(open, report, length, HID_SMBUS_DEVICE_IO_FAILED);
}

HID_SMBUS_STATUS HidSmbus_GetReadResponse(HID_SMBUS_DEVICE device, uint8_t* status, uint8_t* buffer,
                                          uint8_t buffer_size, uint8_t* count) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (status == nullptr || buffer == nullptr || count == nullptr || buffer_size < CP2112_MAX_RESPONSE_DATA) {
    return HID_SMBUS_INVALID_PARAMETER;
  }
  *status = 0;
  *count = 0;
  const HID_SMBUS_STATUS waited = wait_for(open, open->read_queue);
  if (waited == HID_SMBUS_READ_TIMED_OUT) {
    // Stop the transfer; its response may still come, so the next request
    // settles before it goes out.
    Cp2112Report cancel;
    send_output(open, cancel, cp2112_encode_cancel(cancel), HID_SMBUS_DEVICE_IO_FAILED);
    open->unsettled = true;
  }
  if (waited != HID_SMBUS_SUCCESS) return waited;
  const Cp2112Report report = open->read_queue.front();
  open->read_queue.pop_front();
  Cp2112ReadResponse response;
  if (!cp2112_decode_read_response(report.data(), report.size(), &response)) return HID_SMBUS_READ_ERROR;
  std::memcpy(buffer, response.data, response.count);
  *status = response.status;
  *count = response.count;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_WriteRequest(HID_SMBUS_DEVICE device, uint8_t slave_address, const uint8_t* buffer,
                                       uint8_t count) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (!valid_slave(slave_address) || buffer == nullptr) return HID_SMBUS_INVALID_PARAMETER;
  Cp2112Report report;
  const size_t length = cp2112_encode_data_write(report, slave_address, buffer, count);
  if (length == 0) return HID_SMBUS_INVALID_REQUEST_LENGTH;
  const HID_SMBUS_STATUS status = take_in_waiting(open);
  if (status != HID_SMBUS_SUCCESS) return status;
  return send_output(open, report, length, HID_SMBUS_WRITE_ERROR);
}

HID_SMBUS_STATUS HidSmbus_TransferStatusRequest(HID_SMBUS_DEVICE device) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  const HID_SMBUS_STATUS status = take_in_waiting(open);
  if (status != HID_SMBUS_SUCCESS) return status;
  open->status_queue.clear();
  Cp2112Report report;
  return send_output(open, report, cp2112_encode_status_request(report), HID_SMBUS_DEVICE_IO_FAILED);
}

HID_SMBUS_STATUS HidSmbus_GetTransferStatusResponse(HID_SMBUS_DEVICE device, uint8_t* status,
                                                    uint8_t* detailed_status, uint16_t* retries,
                                                    uint16_t* bytes_read) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  if (status == nullptr || detailed_status == nullptr || retries == nullptr || bytes_read == nullptr) {
    return HID_SMBUS_INVALID_PARAMETER;
  }
  const HID_SMBUS_STATUS waited = wait_for(open, open->status_queue);
  if (waited == HID_SMBUS_READ_TIMED_OUT) open->unsettled = true;
  if (waited != HID_SMBUS_SUCCESS) return waited;
  const Cp2112Report report = open->status_queue.front();
  open->status_queue.pop_front();
  Cp2112TransferStatus decoded;
  if (!cp2112_decode_transfer_status(report.data(), report.size(), &decoded)) return HID_SMBUS_READ_ERROR;
  *status = decoded.status0;
  *detailed_status = decoded.status1;
  *retries = decoded.retries;
  *bytes_read = decoded.bytes_read;
  return HID_SMBUS_SUCCESS;
}

HID_SMBUS_STATUS HidSmbus_CancelTransfer(HID_SMBUS_DEVICE device) {
  HidSmbusDevice* open = live(device);
  if (open == nullptr) return HID_SMBUS_INVALID_DEVICE_OBJECT;
  Cp2112Report report;
  HID_SMBUS_STATUS status = send_output(open, report, cp2112_encode_cancel(report), HID_SMBUS_DEVICE_IO_FAILED);
  if (status != HID_SMBUS_SUCCESS) return status;
  status = take_in_waiting(open);
  open->read_queue.clear();
  return status;
}
