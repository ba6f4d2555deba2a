#include "bridge/hidboard/emulboard_qbm7750_control.h"

#include "console/log.h"

#include <algorithm>
#include <cstring>

const tHIDDevice* kptHIDDevice = nullptr;

namespace {

constexpr uint8_t kReportId = 0x09;
constexpr uint8_t kInitialAddressByte = 0x34 << 1;  // address 0x34, write
constexpr size_t kByteReportId = 0;
constexpr size_t kByteAddress = 1;
constexpr size_t kByteLengthLow = 2;
constexpr size_t kByteLengthHigh = 3;
constexpr size_t kByteData = 4;
constexpr uint8_t kDirectionRead = 0x01;
constexpr uint16_t kMaxTransfer = 60;
static_assert(kByteData + kMaxTransfer == QBM7750_MIN_REPORT_LENGTH);

bool board_open() { return kptHIDDevice != nullptr && kptHIDDevice->bOpened == 1; }

// Fills the request header of the persistent output report: the direction
// bit (the address bits stay) and the transfer length, low byte first.
void encode_request_header(uint8_t* report, bool read, uint16_t count) {
  report[kByteAddress] = static_cast<uint8_t>((report[kByteAddress] & ~kDirectionRead) | (read ? kDirectionRead : 0));
  report[kByteLengthLow] = static_cast<uint8_t>(count & 0xFF);
  report[kByteLengthHigh] = static_cast<uint8_t>(count >> 8);
}

// Byte 1 for a new 7-bit address: the address shifted into bits 7-1, the
// direction bit kept.
uint8_t address_byte(uint8_t current, uint32_t address7) {
  return static_cast<uint8_t>(((address7 << 1) & 0xFF) | (current & kDirectionRead));
}

}  // namespace

int emulboard_qbm7750_init(void) {
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_init");
  kptHIDDevice = usb_drv_qbm7750_init();
  if (kptHIDDevice->bOpened == 1) {
    kptHIDDevice->pOutputReport[kByteReportId] = kReportId;
    kptHIDDevice->pOutputReport[kByteAddress] = kInitialAddressByte;
  }
  return kptHIDDevice->bOpened;
}

void emulboard_qbm7750_close(void) {
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_close");
  usb_drv_qbm7750_close();
}

int emulboard_qbm7750_usb_write(const uint8_t* data, uint16_t length) {
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_usb_write: length %u", length);
  // A longer write cannot go out in one request; splitting it would change
  // the I2C transaction, so it is refused as a failure.
  if (length > kMaxTransfer || !board_open()) return 0;
  uint8_t* report = kptHIDDevice->pOutputReport.get();
  encode_request_header(report, false, length);
  if (length != 0) std::memcpy(report + kByteData, data, length);
  return usb_drv_qbm7750_write(report, kptHIDDevice->g_OutputLength);
}

int emulboard_qbm7750_usb_read(uint8_t* buffer, uint16_t length) {
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_usb_read: length %u", length);
  if (!board_open()) return 0;
  uint8_t* request = kptHIDDevice->pOutputReport.get();
  const uint8_t* answer = kptHIDDevice->pInputReport.get();
  uint16_t offset = 0;
  uint16_t remaining = length;
  // A read of 0 bytes is still one exchange.
  do {
    const uint16_t chunk = std::min(remaining, kMaxTransfer);
    if (length > kMaxTransfer) EMUL_DEBUG_PRINT(0, "Offset=%4d Remain=%4d\n", offset, remaining);
    encode_request_header(request, true, chunk);
    // What is waiting now answers an earlier request, never this one.
    if (usb_drv_qbm7750_discard_input() != 1) return 0;
    int result = usb_drv_qbm7750_write(request, kptHIDDevice->g_OutputLength);
    if (result != 1) return result;
    result = usb_drv_qbm7750_read(kptHIDDevice->pInputReport.get(), kptHIDDevice->g_InputLength);
    if (result != 1) return result;
    if (chunk != 0) std::memcpy(buffer + offset, answer + kByteData, chunk);
    remaining = static_cast<uint16_t>(remaining - chunk);
    offset = static_cast<uint16_t>(offset + chunk);
  } while (remaining > 0);
  return 1;
}

int emulboard_qbm7750_set_i2c_slave_addr(uint32_t unused, uint32_t address7) {
  (void)unused;
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_set_i2c_slave_addr: 0x%02X", address7);
  if (!board_open()) return 0;
  uint8_t& byte = kptHIDDevice->pOutputReport[kByteAddress];
  byte = address_byte(byte, address7);
  return 1;
}

int emulboard_qbm7750_set_i2c_speed(uint32_t bits_per_second) {
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_set_i2c_speed: %u", bits_per_second);
  return 0;
}

int emulboard_qbm7750_read_intr(int unused) {
  (void)unused;
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_read_intr");
  return 1;
}

int emulboard_qbm7750_set_intr_dir(uint8_t direction) {
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_set_intr_dir: %u", direction);
  return 0;
}

int emulboard_qbm7750_set_intr_value(uint8_t level) {
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_set_intr_value: %u", level);
  return 0;
}

int emulboard_qbm7750_poweron(int unused) {
  (void)unused;
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_poweron");
  return 1;
}

int emulboard_qbm7750_shutdown(int unused) {
  (void)unused;
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_shutdown");
  return 1;
}

int emulboard_qbm7750_set_ce_value(uint8_t level) {
  EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_set_ce_value: %u", level);
  return 0;
}

void emulboard_qbm7750_set_vdd(void) { EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_set_vdd"); }

void emulboard_qbm7750_set_ce_dir(void) { EMUL_DEBUG_PRINT(0, "emulboard_qbm7750_set_ce_dir"); }
