// Unplugging a virtual bridge in the middle of a run: wraps any virtual HID
// device and pulls it out once it has carried a given number of reports.
#pragma once

#include "platform/hid_virtual.h"

#include <memory>

// A device that behaves like `device` and disappears (enumeration no longer
// shows it, every transfer on an open handle fails) once `reports` HID
// reports have been carried: output, input and feature reports each count,
// an input read that found no report does not. 0 unplugs it at once.
std::shared_ptr<VirtualHidDevice> unplug_after_reports(std::shared_ptr<VirtualHidDevice> device, long reports);
