// The virtual bridges of sim/ as devices another page script can talk to,
// report by report: a second instance of the module runs them, so that a
// stand-in for navigator.hid can carry every report of the engine's
// instance (through hid_webhid.cpp) to a virtual board and back. Only the
// browser tests use it; the engine's own runs never call these.
#include "platform/hid.h"
#include "platform/hid_virtual.h"
#include "sim_env.h"

#include <emscripten.h>

#include <vector>

namespace {

std::vector<HidHandle*> g_handles;

HidHandle* handle_of(int index) {
  if (index < 0 || static_cast<size_t>(index) >= g_handles.size()) return nullptr;
  return g_handles[static_cast<size_t>(index)];
}

}  // namespace

extern "C" {

// Builds the virtual hardware from the KDSIM_* settings of this instance and
// binds the virtual transport: the number of devices, or -1 (the reason is
// on stderr).
EMSCRIPTEN_KEEPALIVE int kdweb_devices_start(void) {
  if (kdsim_start() != 0) return -1;
  g_handles.assign(hid_virtual_devices().size(), nullptr);
  return static_cast<int>(g_handles.size());
}

// vid, pid, input, output and feature report lengths of device `index`.
EMSCRIPTEN_KEEPALIVE void kdweb_device_describe(int index, int* fields) {
  const HidDeviceInfo& info = hid_virtual_devices().at(static_cast<size_t>(index))->info;
  fields[0] = info.vendor_id;
  fields[1] = info.product_id;
  fields[2] = info.input_report_length;
  fields[3] = info.output_report_length;
  fields[4] = info.feature_report_length;
}

// Opens the device: 0, or -1.
EMSCRIPTEN_KEEPALIVE int kdweb_device_open(int index) {
  if (index < 0 || static_cast<size_t>(index) >= g_handles.size()) return -1;
  if (g_handles[static_cast<size_t>(index)] != nullptr) return 0;
  HidHandle* handle = hid_transport_open(hid_virtual_devices()[static_cast<size_t>(index)]->info.path);
  g_handles[static_cast<size_t>(index)] = handle;
  return handle != nullptr ? 0 : -1;
}

EMSCRIPTEN_KEEPALIVE void kdweb_device_close(int index) {
  hid_transport_close(handle_of(index));
  if (handle_of(index) != nullptr) g_handles[static_cast<size_t>(index)] = nullptr;
}

// Pulls the plug: the device fails every transfer from now on.
EMSCRIPTEN_KEEPALIVE void kdweb_device_unplug(int index) {
  hid_virtual_devices().at(static_cast<size_t>(index))->unplugged = true;
}

// The transfers, results as in platform/hid.h; an input report is only
// polled (no wait).
EMSCRIPTEN_KEEPALIVE int kdweb_device_output(int index, const uint8_t* data, int length) {
  return hid_transport_write(handle_of(index), data, static_cast<size_t>(length));
}
EMSCRIPTEN_KEEPALIVE int kdweb_device_input(int index, uint8_t* buffer, int length) {
  return hid_transport_read(handle_of(index), buffer, static_cast<size_t>(length), 0);
}
EMSCRIPTEN_KEEPALIVE int kdweb_device_set_feature(int index, const uint8_t* data, int length) {
  return hid_transport_send_feature(handle_of(index), data, static_cast<size_t>(length));
}
EMSCRIPTEN_KEEPALIVE int kdweb_device_get_feature(int index, uint8_t* buffer, int length) {
  return hid_transport_get_feature(handle_of(index), buffer, static_cast<size_t>(length));
}

}  // extern "C"
