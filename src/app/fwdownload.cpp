// fwdownload: the update on the host's own HID devices.
#include "app/entry.h"
#include "platform/file_open.h"
#include "platform/hid.h"

namespace {

int start_system_transport() { return hid_transport_start(&hid_transport_system); }

}  // namespace

int main(int argc, char** argv) {
  argv = platform_utf8_argv(&argc, argv);
  return fwdownload_main(argc, argv, start_system_transport);
}
