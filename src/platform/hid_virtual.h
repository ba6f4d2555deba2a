// Virtual HID backend: the registry of virtual devices that hid_virtual.cpp
// presents through the HID transport (hid.h) once hid_transport_virtual is
// bound. The virtual bridges of sim/ derive from VirtualHidDevice and are
// attached here by the tests or by the KDSIM_* start-up (sim/sim_env.h).
#pragma once

#include "platform/hid.h"

#include <functional>
#include <memory>

class VirtualHidDevice {
 public:
  virtual ~VirtualHidDevice() = default;

  // What enumeration shows; `path` is assigned on attach when left empty.
  HidDeviceInfo info;

  // A device that is unplugged disappears from enumeration and every
  // transfer on an open handle fails.
  bool unplugged = false;
  // Simulates a node the user may not open (permission denied), and one
  // that another program holds open (in use).
  bool refuse_open = false;
  bool in_use = false;

  // The transport's calls, routed here while the device is open. Results as
  // in hid.h.
  virtual int output_report(const uint8_t* data, size_t length) = 0;
  virtual int input_report(uint8_t* buffer, size_t length, int timeout_ms) = 0;
  virtual int set_feature(const uint8_t* data, size_t length) {
    (void)data;
    (void)length;
    return -1;
  }
  virtual int get_feature(uint8_t* buffer, size_t length) {
    (void)buffer;
    (void)length;
    return -1;
  }
  // Runs once, just before the first transfer on an open handle reaches
  // the device (opening and closing alone, as a listing does, do not run
  // it): the KDSIM_* start-up loads a board's own files only then.
  std::function<void()> before_first_transfer;
  // Runs whenever enumeration reaches this device and whenever it is
  // opened, before either looks at it: sim/ sets it on a board whose
  // module and plugging a control file decides, to read that file again.
  std::function<void()> refresh;

  // Called when a handle to this device is opened or closed.
  virtual void opened() {}
  virtual void closed() {}

  // Number of handles currently open on this device.
  int open_count = 0;
};

// The backend's table of operations.
extern const HidTransport hid_transport_virtual;

// Adds a device at the end of the enumeration order.
void hid_virtual_attach(std::shared_ptr<VirtualHidDevice> device);
// Removes every device (handles still open on them fail from then on).
void hid_virtual_detach_all(void);
// The attached devices, in enumeration order.
const std::vector<std::shared_ptr<VirtualHidDevice>>& hid_virtual_devices(void);
