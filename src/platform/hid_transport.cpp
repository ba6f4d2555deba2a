// The HID transport's dispatch: the bound backend and the one-device limit.
#include "platform/hid.h"

#include <utility>
#include <vector>

namespace {

const HidTransport* g_backend = nullptr;
std::string g_only_path;
std::string g_only_serial;
struct OpenDevice {
  HidHandle* handle;
  HidDeviceInfo info;
};
std::vector<OpenDevice> g_open;

bool allowed(const HidDeviceInfo& info) {
  return (g_only_path.empty() || info.path == g_only_path) && (g_only_serial.empty() || info.serial == g_only_serial);
}

}  // namespace

int hid_transport_start(const HidTransport* backend) {
  g_backend = backend;
  return backend != nullptr ? backend->startup() : 0;
}

const HidTransport* hid_transport_bound(void) { return g_backend; }

void hid_transport_restrict(const std::string& path, const std::string& serial) {
  g_only_path = path;
  g_only_serial = serial;
}

std::vector<HidDeviceInfo> hid_transport_enumerate(uint16_t vendor_id, uint16_t product_id) {
  if (g_backend == nullptr) return {};
  std::vector<HidDeviceInfo> found = g_backend->enumerate(vendor_id, product_id, g_only_path);
  std::vector<HidDeviceInfo> kept;
  for (HidDeviceInfo& info : found) {
    if (allowed(info)) kept.push_back(std::move(info));
  }
  return kept;
}

namespace {
bool g_lost = false;  // a transfer failed since the last open
}  // namespace

HidHandle* hid_transport_open(const std::string& path, std::string* why) {
  if (g_backend == nullptr) {
    if (why) *why = "no HID transport";
    return nullptr;
  }
  // The serial is known only from enumeration: a path outside the limit
  // must not open, whatever its name.
  HidDeviceInfo listed;
  for (HidDeviceInfo& info : g_backend->enumerate(0, 0, path)) {
    if (info.path == path && allowed(info)) listed = std::move(info);
  }
  if (listed.path.empty() && (!g_only_path.empty() || !g_only_serial.empty())) {
    if (why) *why = path + " is not the device asked for";
    return nullptr;
  }
  listed.path = path;
  HidHandle* handle = g_backend->open(path, why);
  if (handle != nullptr) {
    g_open.push_back({handle, std::move(listed)});
    g_lost = false;
  }
  return handle;
}

void hid_transport_close(HidHandle* handle) {
  if (g_backend == nullptr || handle == nullptr) return;
  std::erase_if(g_open, [handle](const OpenDevice& open) { return open.handle == handle; });
  g_backend->close(handle);
}

std::vector<HidDeviceInfo> hid_transport_opened(void) {
  std::vector<HidDeviceInfo> infos;
  for (const OpenDevice& open : g_open) infos.push_back(open.info);
  return infos;
}

namespace {

int noted(int result) {
  if (result < 0) g_lost = true;
  return result;
}

}  // namespace

bool hid_transport_lost(void) { return g_lost; }

void hid_transport_forget_lost(void) { g_lost = false; }

int hid_transport_write(HidHandle* handle, const uint8_t* data, size_t length) {
  return g_backend != nullptr ? noted(g_backend->write(handle, data, length)) : -1;
}

int hid_transport_read(HidHandle* handle, uint8_t* buffer, size_t length, int timeout_ms) {
  return g_backend != nullptr ? noted(g_backend->read(handle, buffer, length, timeout_ms)) : -1;
}

int hid_transport_send_feature(HidHandle* handle, const uint8_t* data, size_t length) {
  return g_backend != nullptr ? noted(g_backend->send_feature(handle, data, length)) : -1;
}

int hid_transport_get_feature(HidHandle* handle, uint8_t* buffer, size_t length) {
  return g_backend != nullptr ? noted(g_backend->get_feature(handle, buffer, length)) : -1;
}
