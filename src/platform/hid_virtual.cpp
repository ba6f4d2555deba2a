// HID transport backend over the virtual devices of sim/.
#include "platform/hid_virtual.h"

#include <algorithm>

namespace {

struct VirtualHandle : HidHandle {
  std::shared_ptr<VirtualHidDevice> device;
};

std::vector<std::shared_ptr<VirtualHidDevice>>& registry() {
  static std::vector<std::shared_ptr<VirtualHidDevice>> devices;
  return devices;
}

// A handle whose device was unplugged or detached fails every call.
VirtualHidDevice* live(HidHandle* base) {
  auto* handle = static_cast<VirtualHandle*>(base);
  if (handle == nullptr || !handle->device || handle->device->unplugged) return nullptr;
  const auto& devices = registry();
  if (std::find(devices.begin(), devices.end(), handle->device) == devices.end()) return nullptr;
  if (handle->device->before_first_transfer) {
    const std::function<void()> first = std::move(handle->device->before_first_transfer);
    handle->device->before_first_transfer = nullptr;
    first();
  }
  return handle->device.get();
}

// The virtual hardware is built by whoever attaches it (the KDSIM_* start-up
// of fwdownload-sim and kdtool --virtual, or a test).
int virtual_startup(void) { return 0; }

std::vector<HidDeviceInfo> virtual_enumerate(uint16_t vendor_id, uint16_t product_id, const std::string& path) {
  std::vector<HidDeviceInfo> found;
  for (const auto& device : registry()) {
    if (!path.empty() && device->info.path != path) continue;
    if (vendor_id != 0 && device->info.vendor_id != vendor_id) continue;
    if (product_id != 0 && device->info.product_id != product_id) continue;
    if (device->refresh) device->refresh();
    if (device->unplugged) continue;
    found.push_back(device->info);
  }
  return found;
}

HidHandle* virtual_open(const std::string& path, std::string* why) {
  for (const auto& device : registry()) {
    if (device->info.path != path) continue;
    if (device->refresh) device->refresh();
    if (device->unplugged) continue;
    if (device->refuse_open || device->in_use) {
      if (why) *why = device->in_use ? "in use by another program" : "permission denied";
      return nullptr;
    }
    ++device->open_count;
    device->opened();
    auto* handle = new VirtualHandle;
    handle->device = device;
    return handle;
  }
  if (why) *why = "no such device";
  return nullptr;
}

void virtual_close(HidHandle* base) {
  auto* handle = static_cast<VirtualHandle*>(base);
  if (handle == nullptr) return;
  if (handle->device) {
    --handle->device->open_count;
    handle->device->closed();
  }
  delete handle;
}

int virtual_write(HidHandle* handle, const uint8_t* data, size_t length) {
  VirtualHidDevice* device = live(handle);
  return device ? device->output_report(data, length) : -1;
}

int virtual_read(HidHandle* handle, uint8_t* buffer, size_t length, int timeout_ms) {
  VirtualHidDevice* device = live(handle);
  return device ? device->input_report(buffer, length, timeout_ms) : -1;
}

int virtual_send_feature(HidHandle* handle, const uint8_t* data, size_t length) {
  VirtualHidDevice* device = live(handle);
  return device ? device->set_feature(data, length) : -1;
}

int virtual_get_feature(HidHandle* handle, uint8_t* buffer, size_t length) {
  VirtualHidDevice* device = live(handle);
  return device ? device->get_feature(buffer, length) : -1;
}

}  // namespace

const HidTransport hid_transport_virtual = {
    "virtual",     virtual_startup, virtual_enumerate,    virtual_open,       virtual_close,
    virtual_write, virtual_read,    virtual_send_feature, virtual_get_feature,
};

void hid_virtual_attach(std::shared_ptr<VirtualHidDevice> device) {
  if (device->info.path.empty()) {
    device->info.path = "virtual:" + std::to_string(registry().size());
  }
  registry().push_back(std::move(device));
}

void hid_virtual_detach_all(void) { registry().clear(); }

const std::vector<std::shared_ptr<VirtualHidDevice>>& hid_virtual_devices(void) { return registry(); }
