// HID transport backend over hidapi 0.13 (hidraw).
//
// hidapi 0.13 offers no call for report lengths: they come from the report
// descriptor that the kernel exposes in sysfs, which any user may read even
// when the device node itself is closed to them.
#include "platform/hid.h"

#include "app/entry.h"
#include "platform/hid_report_descriptor.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

struct HidapiHandle : HidHandle {
  hid_device* device = nullptr;
  // Our own descriptor on the node, holding an exclusive flock: hidraw lets
  // any number of programs open a node, so two tools driving the same bridge
  // at once are kept apart this way.
  int lock_fd = -1;
  // hidraw hands unnumbered input reports over without the ID byte; the
  // transport promises it, so it is put back in front.
  bool numbered_reports = true;
};

HidapiHandle* own(HidHandle* handle) { return static_cast<HidapiHandle*>(handle); }

constexpr size_t kMaxDescriptorSize = 4096;  // the kernel's HID_MAX_DESCRIPTOR_SIZE
constexpr char kUdevFix[] =
    "install udev/70-fwdownload.rules into /etc/udev/rules.d/, run "
    "\"sudo udevadm control --reload-rules && sudo udevadm trigger\" and replug the board";

std::string utf8_from_wide(const wchar_t* text) {
  std::string out;
  if (text == nullptr) return out;
  for (; *text != L'\0'; ++text) {
    const uint32_t c = static_cast<uint32_t>(*text);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x110000) {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// /dev/hidraw3 -> /sys/class/hidraw/hidraw3/device/report_descriptor
HidReportLengths lengths_for_node(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string node = slash == std::string::npos ? path : path.substr(slash + 1);
  if (node.empty()) return {};
  const std::string sysfs = "/sys/class/hidraw/" + node + "/device/report_descriptor";
  FILE* file = std::fopen(sysfs.c_str(), "rb");
  if (file == nullptr) return {};
  std::vector<uint8_t> descriptor(kMaxDescriptorSize);
  const size_t got = std::fread(descriptor.data(), 1, descriptor.size(), file);
  std::fclose(file);
  if (got == 0) return {};
  return hid_report_lengths(descriptor.data(), got);
}

std::string open_failure(const std::string& path, int error) {
  if (error == EACCES || error == EPERM) return "permission denied on " + path + ": " + kUdevFix;
  if (error == ENOENT || error == ENODEV || error == ENXIO) return path + " is gone (board unplugged?)";
  if (error == EWOULDBLOCK) return path + " is in use by another fwdownload or kdtool";
  return path + ": " + std::strerror(error);
}

int hidapi_startup(void) {
  if (hid_init() != 0) {
    std::fputs("The HID library (hidapi) could not be started.\n", stderr);
    return EXIT_NO_BRIDGE;
  }
  return 0;
}

// hidapi reads the strings from sysfs without asking the device.
std::vector<HidDeviceInfo> hidapi_enumerate(uint16_t vendor_id, uint16_t product_id, const std::string& path) {
  std::vector<HidDeviceInfo> found;
  hid_device_info* list = hid_enumerate(vendor_id, product_id);
  for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    HidDeviceInfo info;
    info.path = entry->path != nullptr ? entry->path : "";
    if (!path.empty() && info.path != path) continue;
    info.vendor_id = entry->vendor_id;
    info.product_id = entry->product_id;
    info.release_number = entry->release_number;
    info.serial = utf8_from_wide(entry->serial_number);
    info.manufacturer = utf8_from_wide(entry->manufacturer_string);
    info.product = utf8_from_wide(entry->product_string);
    const HidReportLengths lengths = lengths_for_node(info.path);
    info.input_report_length = lengths.input;
    info.output_report_length = lengths.output;
    info.feature_report_length = lengths.feature;
    found.push_back(std::move(info));
  }
  hid_free_enumeration(list);
  return found;
}

HidHandle* hidapi_open(const std::string& path, std::string* why) {
  // Opening the node ourselves first tells a missing permission (the usual
  // case on a fresh machine) apart from everything else.
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (why) *why = open_failure(path, errno);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (why) *why = open_failure(path, error);
    return nullptr;
  }
  hid_device* device = hid_open_path(path.c_str());
  if (device == nullptr) {
    const wchar_t* text = hid_error(nullptr);
    ::close(fd);
    if (why) *why = path + ": hidapi could not open it" + (text ? " (" + utf8_from_wide(text) + ")" : "");
    return nullptr;
  }
  const HidReportLengths lengths = lengths_for_node(path);
  auto* handle = new HidapiHandle;
  handle->device = device;
  handle->lock_fd = fd;
  handle->numbered_reports = !lengths.valid || lengths.numbered_reports;
  return handle;
}

void hidapi_close(HidHandle* base) {
  HidapiHandle* handle = own(base);
  if (handle == nullptr) return;
  if (handle->device != nullptr) hid_close(handle->device);
  if (handle->lock_fd >= 0) ::close(handle->lock_fd);
  delete handle;
}

int hidapi_write(HidHandle* base, const uint8_t* data, size_t length) {
  HidapiHandle* handle = own(base);
  if (handle == nullptr || data == nullptr || length == 0) return -1;
  return hid_write(handle->device, data, length);
}

int hidapi_read(HidHandle* base, uint8_t* buffer, size_t length, int timeout_ms) {
  HidapiHandle* handle = own(base);
  if (handle == nullptr || buffer == nullptr || length == 0) return -1;
  if (handle->numbered_reports) return hid_read_timeout(handle->device, buffer, length, timeout_ms);
  const int got = hid_read_timeout(handle->device, buffer + 1, length - 1, timeout_ms);
  if (got <= 0) return got;
  buffer[0] = 0;
  return got + 1;
}

int hidapi_send_feature(HidHandle* base, const uint8_t* data, size_t length) {
  HidapiHandle* handle = own(base);
  if (handle == nullptr || data == nullptr || length == 0) return -1;
  return hid_send_feature_report(handle->device, data, length);
}

int hidapi_get_feature(HidHandle* base, uint8_t* buffer, size_t length) {
  HidapiHandle* handle = own(base);
  if (handle == nullptr || buffer == nullptr || length == 0) return -1;
  return hid_get_feature_report(handle->device, buffer, length);
}

}  // namespace

const HidTransport hid_transport_system = {
    "hidapi",     hidapi_startup, hidapi_enumerate,    hidapi_open,       hidapi_close,
    hidapi_write, hidapi_read,    hidapi_send_feature, hidapi_get_feature,
};
