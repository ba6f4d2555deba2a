// HID transport backend over the virtual devices of sim/.
#include "platform/hid_virtual.h"

#include "sim_env.h"

#include <algorithm>

struct HidHandle {
  std::shared_ptr<VirtualHidDevice> device;
};

namespace {

std::vector<std::shared_ptr<VirtualHidDevice>>& registry() {
  static std::vector<std::shared_ptr<VirtualHidDevice>> devices;
  return devices;
}

// A handle whose device was unplugged or detached fails every call.
VirtualHidDevice* live(HidHandle* handle) {
  if (handle == nullptr || !handle->device || handle->device->unplugged) return nullptr;
  const auto& devices = registry();
  if (std::find(devices.begin(), devices.end(), handle->device) == devices.end()) return nullptr;
  return handle->device.get();
}

}  // namespace

void hid_virtual_attach(std::shared_ptr<VirtualHidDevice> device) {
  if (device->info.path.empty()) {
    device->info.path = "virtual:" + std::to_string(registry().size());
  }
  registry().push_back(std::move(device));
}

void hid_virtual_detach_all(void) { registry().clear(); }

const std::vector<std::shared_ptr<VirtualHidDevice>>& hid_virtual_devices(void) { return registry(); }

int hid_transport_startup(void) { return kdsim_setup_from_environment(); }

std::vector<HidDeviceInfo> hid_transport_enumerate(uint16_t vendor_id, uint16_t product_id) {
  std::vector<HidDeviceInfo> found;
  for (const auto& device : registry()) {
    if (device->unplugged) continue;
    if (vendor_id != 0 && device->info.vendor_id != vendor_id) continue;
    if (product_id != 0 && device->info.product_id != product_id) continue;
    found.push_back(device->info);
  }
  return found;
}

HidHandle* hid_transport_open(const std::string& path, std::string* why) {
  for (const auto& device : registry()) {
    if (device->unplugged || device->info.path != path) continue;
    if (device->refuse_open) {
      if (why) *why = "permission denied";
      return nullptr;
    }
    ++device->open_count;
    device->opened();
    return new HidHandle{device};
  }
  if (why) *why = "no such device";
  return nullptr;
}

void hid_transport_close(HidHandle* handle) {
  if (handle == nullptr) return;
  if (handle->device) {
    --handle->device->open_count;
    handle->device->closed();
  }
  delete handle;
}

int hid_transport_write(HidHandle* handle, const uint8_t* data, size_t length) {
  VirtualHidDevice* device = live(handle);
  return device ? device->output_report(data, length) : -1;
}

int hid_transport_read(HidHandle* handle, uint8_t* buffer, size_t length, int timeout_ms) {
  VirtualHidDevice* device = live(handle);
  return device ? device->input_report(buffer, length, timeout_ms) : -1;
}

int hid_transport_send_feature(HidHandle* handle, const uint8_t* data, size_t length) {
  VirtualHidDevice* device = live(handle);
  return device ? device->set_feature(data, length) : -1;
}

int hid_transport_get_feature(HidHandle* handle, uint8_t* buffer, size_t length) {
  VirtualHidDevice* device = live(handle);
  return device ? device->get_feature(buffer, length) : -1;
}
