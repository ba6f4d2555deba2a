// The tests run the tool's code on the virtual HID bus: bind its backend
// once, before any test, as fwdownload-sim's start-up does.
#include "platform/hid_virtual.h"

namespace {

const int kBound = hid_transport_start(&hid_transport_virtual);

}  // namespace
