#include "bridge/cp2112/emulboard_cp2112_control.h"

#include "app/master.h"
#include "bridge/cp2112/usb_drv_cp2112.h"
#include "console/log.h"

#include <cstdio>
#include <cstring>
#include <string>

uint8_t appRecvBuffer[CP2112_READ_LIMIT] = {};
uint8_t appSendBuffer[64] = {};

namespace {

constexpr uint8_t kAllOutputs = 0xFF;
constexpr uint8_t kLatchMask = CP2112_PIN_INTR | CP2112_PIN_CE;
constexpr uint8_t kStartLatch = CP2112_PIN_INTR;  // INTR high, CE low

// The fixed SMBus configuration of this board.
constexpr uint32_t kBitRate = 400000;
constexpr int32_t kAutoReadRespond = 1;
constexpr uint16_t kWriteTimeoutMs = 100;
constexpr uint16_t kReadTimeoutMs = 100;
constexpr int32_t kSclLowTimeout = 1;
constexpr uint32_t kResponseTimeoutMs = 100;

constexpr uint16_t kRegisterBytes = 2;
constexpr uint16_t kWordBytes = 4;
constexpr const char* kUdevRule = "udev/70-fwdownload.rules";

void trace(const char* operation) { EMUL_DEBUG_PRINT(0, "emulboard_cp2112: %s\n", operation); }

uint8_t with_bit(uint8_t value, uint8_t bit, bool set) {
  return set ? static_cast<uint8_t>(value | bit) : static_cast<uint8_t>(value & ~bit);
}

// Direction: 1 turns the pin into an input (bit cleared), anything else an
// output.
int set_direction(uint8_t pin, uint8_t direction) {
  Cp2112Gpio* gpio = usb_drv_cp2112_GetGpioConfig();
  gpio->ucDirection = with_bit(gpio->ucDirection, pin, direction != 1);
  return usb_drv_cp2112_SetGpioConfig();
}

int set_level(uint8_t pin, uint8_t level) {
  Cp2112Gpio* gpio = usb_drv_cp2112_ReadLatch();
  gpio->ucLatchValue = with_bit(gpio->ucLatchValue, pin, level == 1);
  return usb_drv_cp2112_WriteLatch();
}

void put_register(uint16_t reg) {
  appSendBuffer[0] = static_cast<uint8_t>(reg >> 8);
  appSendBuffer[1] = static_cast<uint8_t>(reg);
}

// A CP2112 that is there but cannot be used would otherwise fail every
// transfer without a word; say what is wrong and how to mend it.
void report_unopened() {
  const std::string why = usb_drv_cp2112_open_error();
  std::printf("- SILABSCP2112 found but cannot be opened: %s.\n", why.empty() ? "reason unknown" : why.c_str());
  if (why.find("ermission") != std::string::npos && why.find("udev") == std::string::npos) {
    std::printf("  Install %s into /etc/udev/rules.d/, run \"sudo udevadm control --reload-rules && sudo udevadm "
                "trigger\" and replug the CP2112.\n",
                kUdevRule);
  }
}

}  // namespace

int emulboard_cp2112_init(void) {
  trace("emulboard_cp2112_init");
  if (usb_drv_cp2112_init() == 0) return 0;
  if (usb_drv_cp2112_is_open() != 1) {
    report_unopened();
    return 0;
  }
  usb_drv_cp2112_GetGpioConfig();
  Cp2112Gpio* gpio = usb_drv_cp2112_ReadLatch();
  gpio->ucDirection = kAllOutputs;
  gpio->ucLatchMask = kLatchMask;
  usb_drv_cp2112_SetGpioConfig();
  gpio->ucLatchValue = kStartLatch;
  usb_drv_cp2112_WriteLatch();
  emulboard_cp2112_set_ce_dir(1);
  return 1;
}

int emulboard_cp2112_set_i2c_slave_addr(uint32_t unused, uint32_t address7) {
  (void)unused;
  trace("emulboard_cp2112_set_i2c_slave_addr");
  g_slave_addr = static_cast<uint8_t>(address7 * 2);
  Cp2112Smbus* smbus = usb_drv_cp2112_GetSmbusConfig();
  smbus->ulBitRate = kBitRate;
  smbus->ucAddress = g_slave_addr;
  smbus->bAutoReadRespond = kAutoReadRespond;
  smbus->usWriteTimeout = kWriteTimeoutMs;
  smbus->usReadTimeout = kReadTimeoutMs;
  smbus->bSclLowTimeout = kSclLowTimeout;
  smbus->ulResponseTimeout = kResponseTimeoutMs;
  return usb_drv_cp2112_SetSmbusConfig();
}

int emulboard_cp2112_set_i2c_speed(uint32_t bits_per_second) {
  trace("emulboard_cp2112_set_i2c_speed");
  usb_drv_cp2112_GetSmbusConfig()->ulBitRate = bits_per_second;
  return usb_drv_cp2112_SetSmbusConfig();
}

int emulboard_cp2112_poweron(int unused) {
  (void)unused;
  trace("emulboard_cp2112_poweron");
  return 1;
}

int emulboard_cp2112_shutdown(int unused) {
  (void)unused;
  trace("emulboard_cp2112_shutdown");
  return 1;
}

void emulboard_cp2112_set_vdd(void) { trace("emulboard_cp2112_set_vdd"); }

int emulboard_cp2112_set_ce_dir(uint8_t direction) {
  trace("emulboard_cp2112_set_ce_dir");
  return set_direction(CP2112_PIN_CE, direction);
}

int emulboard_cp2112_set_intr_dir(uint8_t direction) {
  trace("emulboard_cp2112_set_intr_dir");
  return set_direction(CP2112_PIN_INTR, direction);
}

int emulboard_cp2112_set_ce_value(uint8_t level) {
  trace("emulboard_cp2112_set_ce_value");
  return set_level(CP2112_PIN_CE, level);
}

int emulboard_cp2112_set_intr_value(uint8_t level) {
  trace("emulboard_cp2112_set_intr_value");
  usb_drv_cp2112_GetGpioConfig();
  return set_level(CP2112_PIN_INTR, level);
}

int emulboard_cp2112_read_intr(int unused) {
  (void)unused;
  trace("emulboard_cp2112_read_intr");
  return (usb_drv_cp2112_ReadLatch()->ucLatchValue & CP2112_PIN_INTR) != 0 ? 1 : 0;
}

int emulboard_cp2112_i2c_write(const uint8_t* data, uint16_t length) {
  trace("emulboard_cp2112_i2c_write");
  if (length > CP2112_WRITE_LIMIT) return 0;
  return usb_drv_cp2112_I2C_WriteRequest(g_slave_addr, data, length);
}

int emulboard_cp2112_i2c_read(uint8_t* buffer, uint16_t length) {
  trace("emulboard_cp2112_i2c_read");
  if (length > CP2112_READ_LIMIT) return 0;
  return _emulboard_cp2112_i2c_read(g_slave_addr, buffer, length);
}

int _emulboard_cp2112_i2c_read(uint8_t slave, uint8_t* buffer, uint16_t length) {
  trace("_emulboard_cp2112_i2c_read");
  if (length > CP2112_READ_LIMIT) return 0;  // appRecvBuffer holds no more
  if (usb_drv_cp2112_I2C_ReadRequest(slave, length) == 0) return 0;
  if (usb_drv_cp2122_I2C_GetReadResponse(appRecvBuffer, length) == 0) return 0;
  std::memcpy(buffer, appRecvBuffer, length);
  return 1;
}

int emulboard_cp2112_i2c_read_from(uint8_t* buffer, uint16_t length, uint16_t reg) {
  trace("emulboard_cp2112_i2c_read_from");
  if (length > CP2112_READ_LIMIT) return 0;
  put_register(reg);
  usb_drv_cp2112_I2C_WriteRequest(g_slave_addr, appSendBuffer, kRegisterBytes);
  return _emulboard_cp2112_i2c_read(g_slave_addr, buffer, length);
}

int _emulboard_cp2112_i2c_write_to(uint16_t reg, const uint8_t* word) {
  trace("_emulboard_cp2112_i2c_write_to");
  // The word goes behind g_sub_addr_ address bytes; a width that would not
  // leave room for it in appSendBuffer sends nothing.
  const int32_t at = g_sub_addr_;
  if (at < kRegisterBytes || at + kWordBytes > static_cast<int32_t>(sizeof appSendBuffer)) return 0;
  put_register(reg);
  std::memcpy(appSendBuffer + at, word, kWordBytes);
  return usb_drv_cp2112_I2C_WriteRequest(g_slave_addr, appSendBuffer, static_cast<uint16_t>(at + kWordBytes));
}

int emulboard_cp2112_transfer_acknowledged(void) {
  trace("emulboard_cp2112_transfer_acknowledged");
  return usb_drv_cp2112_LastTransferCompleted();
}
