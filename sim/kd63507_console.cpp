// The virtual controller's registers behind the console keys: the packet
// byte, the two raw memory windows, the module configuration word, the PWM
// driver and ROIC parameter lists, mode requests and the flash-write test's
// program answers.
#include "kd63507.h"

#include <cstring>

namespace {

constexpr uint16_t kCmdResult = 6;
constexpr uint16_t kCmdCommand = 7;
constexpr uint8_t kIapProgram = 3;
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
  // A program command that the controller carried out (update mode) gets its
  // result; a refused one keeps ucResult 0, so a poll of it never ends.
  if (covers(kRegIapCommand + kCmdCommand) && regs_[kRegIapCommand + kCmdCommand] == kIapProgram &&
      program_commands_ > console_.programs_answered) {
    console_.programs_answered = program_commands_;
    const uint8_t* block = &regs_[kRegIapCommand];
    const uint32_t address = static_cast<uint32_t>(block[0]) | static_cast<uint32_t>(block[1]) << 8 |
                             static_cast<uint32_t>(block[2]) << 16 | static_cast<uint32_t>(block[3]) << 24;
    const uint32_t length = static_cast<uint32_t>(block[4]) | static_cast<uint32_t>(block[5]) << 8;
    const bool in_flash = length <= kIapWindowSize && address <= kFlashSize && length <= kFlashSize - address;
    const bool same = in_flash && std::memcmp(&flash_[address], &regs_[kRegIapWindow], length) == 0;
    regs_[kRegIapCommand + kCmdResult] = same ? 1 : 2;
  }
}
