// The virtual controller's registers behind the console keys: the packet
// byte, the two raw memory windows, the module configuration word, the PWM
// driver and ROIC parameter lists and mode requests.
#include "kd63507.h"

#include <cstring>

namespace {

constexpr uint8_t kPacketByte = 0x5A;
constexpr uint8_t kModuleConf[4] = {0x00, 0x00, 0x80, 0x00};  // noise immunity off, OSC 128
constexpr uint16_t kDumpAWords = 220;
constexpr uint16_t kDumpBWords = 50;
constexpr uint16_t kPwmCount = 14;
constexpr uint16_t kRoicCount = 46;

}  // namespace

void VirtualKd63507::console_seed() {
  auto put16 = [&](uint16_t reg, uint16_t value) {
    regs_[reg] = static_cast<uint8_t>(value);
    regs_[static_cast<uint16_t>(reg + 1)] = static_cast<uint8_t>(value >> 8);
  };
  regs_[kRegPacket] = kPacketByte;
  // Every word differs from its neighbours, and the first words of the second
  // and later CP2112 pieces (bytes 128, 256, 384) are non-zero.
  for (uint16_t i = 0; i < kDumpAWords; ++i) put16(static_cast<uint16_t>(kRegDumpA + 2 * i), static_cast<uint16_t>(1000 + 7 * i));
  for (uint16_t i = 0; i < kDumpBWords; ++i) put16(static_cast<uint16_t>(kRegDumpB + 2 * i), static_cast<uint16_t>(0xA000 + i));
  std::memcpy(&regs_[kRegModuleConf], kModuleConf, sizeof kModuleConf);
  for (uint16_t i = 0; i < kPwmCount; ++i) put16(static_cast<uint16_t>(kRegPwmList + 2 * i), static_cast<uint16_t>(100 + i));
  for (uint16_t i = 0; i < kRoicCount; ++i) {
    put16(static_cast<uint16_t>(kRegRoicList + 4 * i), static_cast<uint16_t>(0x1000 + i));
    put16(static_cast<uint16_t>(kRegRoicList + 4 * i + 2), static_cast<uint16_t>(0x2000 + i));
  }
}

void VirtualKd63507::console_on_write(uint16_t first, size_t count) {
  auto covers = [&](uint16_t reg) { return count > 0 && static_cast<uint16_t>(reg - first) < count; };
  if (first == kRegMode && count == 1) console_.mode_requests.push_back(regs_[kRegMode]);
  if (covers(kRegModuleConf + 3) && regs_[kRegModuleConf + 3] == 1) {
    ++console_.module_config_reads;
    regs_[kRegModuleConf + 3] = 0;  // served
  }
}
