#include "app/master.h"

#include "bridge/cp2112/emulboard_cp2112_control.h"
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "bridge/hidboard/emulboard_qbm7750_control.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "console/log.h"
#include "platform/sleep.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>

emul_i2c_write_t emul_i2c_write = nullptr;
emul_i2c_read_t emul_i2c_read = nullptr;
emul_i2c_set_slave_addr_t emul_i2c_set_slave_addr = nullptr;
emul_i2c_set_speed_t emul_i2c_set_speed = nullptr;
emul_read_intr_t emul_read_intr = nullptr;
emul_set_intr_dir_t emul_set_intr_dir = nullptr;
emul_set_intr_t emul_set_intr = nullptr;
emul_tkey_power_t emul_tkey_power_on = nullptr;
emul_tkey_power_t emul_tkey_power_off = nullptr;
emul_i2c_tkey_set_ce_t emul_i2c_tkey_set_ce = nullptr;
emul_i2c_usb_close_t emul_i2c_usb_close = nullptr;

int32_t g_sub_addr_ = 2;
uint8_t g_slave_addr = 0;

namespace {

// The controller's wake-up packet: a fixed preamble it recognises in any mode.
constexpr uint8_t kStartPacket[22] = {0x5A, 0xA5, 0x4B, 0x44, 0x36, 0x33, 0x35, 0x30, 0x37, 0x00, 0x01,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA5, 0x5A};
constexpr uint8_t kStartPacketTrailer = 0x00;
constexpr uint32_t kLastSearchAddress = 127;

// Frames address + data into one buffer and hands it to the bridge.
int write_framed(uint32_t reg, const uint8_t* data, uint16_t count) {
  const int32_t width = g_sub_addr_ > 0 ? g_sub_addr_ : 0;
  const size_t total = static_cast<size_t>(width) + count;
  std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[total == 0 ? 1 : total]);
  if (!frame) return 0;
  // Most significant byte first: the last address byte takes the low byte.
  const int32_t signed_reg = static_cast<int32_t>(reg);
  for (int32_t i = 0; i < width; ++i) {
    const int32_t shift = 8 * (width - 1 - i);
    // The address shifts arithmetically; past its 32 bits only the sign is left.
    frame[static_cast<size_t>(i)] = static_cast<uint8_t>(signed_reg >> (shift < 32 ? shift : 31));
  }
  if (count != 0) std::memcpy(frame.get() + width, data, count);
  return (emul_i2c_write(frame.get(), static_cast<uint16_t>(total)) & 0xFF) != 0 ? 1 : 0;
}

}  // namespace

void app_download_init(uint8_t board) {
  switch (board) {
    case BOARD_CP2112:
      emul_i2c_write = emulboard_cp2112_i2c_write;
      emul_i2c_read = emulboard_cp2112_i2c_read;
      emul_i2c_set_slave_addr = emulboard_cp2112_set_i2c_slave_addr;
      emul_i2c_set_speed = emulboard_cp2112_set_i2c_speed;
      emul_read_intr = emulboard_cp2112_read_intr;
      emul_set_intr_dir = emulboard_cp2112_set_intr_dir;
      emul_set_intr = emulboard_cp2112_set_intr_value;
      emul_tkey_power_on = emulboard_cp2112_poweron;
      emul_tkey_power_off = emulboard_cp2112_shutdown;
      emul_i2c_tkey_set_ce = emulboard_cp2112_set_ce_value;
      emul_i2c_usb_close = usb_drv_cp2112_close;
      break;
    case BOARD_HIDBOARD:
      emul_i2c_write = emulboard_qbm7750_usb_write;
      emul_i2c_read = emulboard_qbm7750_usb_read;
      emul_i2c_set_slave_addr = emulboard_qbm7750_set_i2c_slave_addr;
      emul_i2c_set_speed = emulboard_qbm7750_set_i2c_speed;
      emul_read_intr = emulboard_qbm7750_read_intr;
      emul_set_intr_dir = emulboard_qbm7750_set_intr_dir;
      emul_set_intr = emulboard_qbm7750_set_intr_value;
      emul_tkey_power_on = emulboard_qbm7750_poweron;
      emul_tkey_power_off = emulboard_qbm7750_shutdown;
      emul_i2c_tkey_set_ce = emulboard_qbm7750_set_ce_value;
      emul_i2c_usb_close = usb_drv_qbm7750_close;
      break;
    default:
      emul_i2c_write = nullptr;
      emul_i2c_read = nullptr;
      emul_i2c_set_slave_addr = nullptr;
      emul_i2c_set_speed = nullptr;
      emul_read_intr = nullptr;
      emul_set_intr_dir = nullptr;
      emul_set_intr = nullptr;
      emul_tkey_power_on = nullptr;
      emul_tkey_power_off = nullptr;
      emul_i2c_tkey_set_ce = nullptr;
      emul_i2c_usb_close = nullptr;
      break;
  }
}

int i2c_write_to(uint16_t reg, const uint8_t* data, uint16_t count) { return write_framed(reg, data, count); }

int i2c_write(int32_t count, uint32_t reg, ...) {
  const uint16_t n = count > 0 ? static_cast<uint16_t>(count) : 0;
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[n == 0 ? 1 : n]);
  if (!data) return 0;
  va_list args;
  va_start(args, reg);
  for (uint16_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(va_arg(args, int));
  va_end(args);
  return write_framed(reg, data.get(), n);
}

int i2c_read_from(uint16_t reg, uint8_t* buffer, uint16_t count) {
  const int written = i2c_write(0, reg);
  const int read = emul_i2c_read(buffer, count) & 0xFF;
  return written != 0 && read != 0 ? 1 : 0;
}

uint32_t emul_max_read_length(void) {
  if (emul_i2c_read == emulboard_cp2112_i2c_read) return 128;
  if (emul_i2c_read != nullptr) return 0xFFFF;
  return 0;
}

int i2c_read_from_long(uint16_t reg, uint8_t* buffer, uint32_t count) {
  if (count != 0) std::memset(buffer, 0, count);
  const uint32_t limit = emul_max_read_length();
  if (limit == 0 || i2c_write(0, reg) == 0) return 0;
  for (uint32_t done = 0; done < count;) {
    const uint16_t piece = static_cast<uint16_t>(count - done < limit ? count - done : limit);
    if ((emul_i2c_read(buffer + done, piece) & 0xFF) == 0) return 0;
    done += piece;
  }
  return 1;
}

int i2c_read(uint8_t* buffer, uint16_t count) { return emul_i2c_read(buffer, count); }

void emul_usdelay(uint32_t ms) { platform_sleep_ms(ms); }

int master_Send_StartPacket(void) {
  uint32_t candidate = 1;
  while ((emul_i2c_write(kStartPacket, sizeof kStartPacket) & 0xFF) == 0) {
    if (candidate > kLastSearchAddress) {
      log_printf(0, "No device answered the start packet at any address (0x01 to 0x7F).\n");
      return 0;
    }
    g_slave_addr = static_cast<uint8_t>(candidate);
    emul_i2c_set_slave_addr(0, candidate);
    ++candidate;
  }
  log_printf(0, "slave address is 0x%02X.\n", g_slave_addr >> 1);
  return emul_i2c_write(&kStartPacketTrailer, 1);
}
