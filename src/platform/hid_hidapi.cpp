// HID transport backend over hidapi (hidraw). Placeholder: presents no device.
#include "platform/hid.h"

int hid_transport_startup(void) { return 0; }
std::vector<HidDeviceInfo> hid_transport_enumerate(uint16_t, uint16_t) { return {}; }
HidHandle* hid_transport_open(const std::string&, std::string* why) {
  if (why) *why = "no such device";
  return nullptr;
}
void hid_transport_close(HidHandle*) {}
int hid_transport_write(HidHandle*, const uint8_t*, size_t) { return -1; }
int hid_transport_read(HidHandle*, uint8_t*, size_t, int) { return -1; }
int hid_transport_send_feature(HidHandle*, const uint8_t*, size_t) { return -1; }
int hid_transport_get_feature(HidHandle*, uint8_t*, size_t) { return -1; }
