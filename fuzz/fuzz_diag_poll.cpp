// libFuzzer target: the diagnostic console's polls against a virtual
// controller whose event packets, image format, finger regions and log
// header hold any bytes, with any event format and interrupt type. The
// sanitizers watch every access of the packet, region and matrix handling.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/entry.h"
#include "app/master.h"
#include "diag/device_records.h"
#include "diag/master_TCIP.h"
#include "direct_bridge.h"
#include "kd63507.h"

namespace {

// Takes the next `count` input bytes (fewer at the end of the input).
struct Input {
  const uint8_t *data;
  size_t size;
  uint8_t byte() { return take(1).empty() ? 0 : data[-1]; }
  std::vector<uint8_t> take(size_t count) {
    const size_t n = count < size ? count : size;
    std::vector<uint8_t> out(data, data + n);
    data += n;
    size -= n;
    return out;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The console talks on stdout; keep the run quiet and fast.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in{data, size};
  VirtualKd63507 kd;
  kd.set_recording(false);
  direct_bridge_bind(&kd);
  gloop = 1;
  tSetter = {};
  tSetter.ucEventInterruptType = in.byte() % 4;
  tEventFormat = {};
  tEventFormat.usPacketFormatId = in.byte() % 3;
  tEventFormat.ucPacketItemSize = in.byte();
  tImageInfo.usBufferAddr = static_cast<uint16_t>(in.byte() << 8 | in.byte());
  tLogInfo.usBufferAddr = static_cast<uint16_t>(in.byte() << 8 | in.byte());
  tImageCtrl.ucRequest = in.byte() % 6;
  i2c_write_to(REG_IMAGE_CTRL, &tImageCtrl.ucRequest, 1);
  tLogCtrl = {};
  tLogCtrl.bLogEnable = in.byte() & 1;
  i2c_write_to(REG_LOG_CTRL, reinterpret_cast<const uint8_t *>(&tLogCtrl), sizeof tLogCtrl);

  auto place = [&](uint16_t reg, size_t count) {
    const std::vector<uint8_t> bytes = in.take(count);
    std::copy(bytes.begin(), bytes.end(), kd.registers().begin() + reg);
  };
  place(0x0C20, 6);     // image format record
  place(0x0C30, 1);     // region count
  place(0x0C31, 1020);  // regions
  place(0x1020, 6);     // log header
  while (in.size > 0) {
    const size_t length = 1 + in.byte() % 128;
    kd.diag().queue_event(in.take(length));
  }
  for (int poll = 0; poll < 8 && gloop != 0; ++poll) master_run();
  return 0;
}
