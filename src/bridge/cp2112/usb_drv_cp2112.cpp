#include "bridge/cp2112/usb_drv_cp2112.h"

#include "bridge/cp2112/cp2112_util.h"
#include "console/log.h"
#include "platform/hidsmbus_reports.h"
#include "platform/sleep.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

SmbusDevice tSmbusDevice = {nullptr, 0, {}, 0};
char m_strSmbusSerialStringList[CP2112_MAX_DEVICES][CP2112_STRING_LENGTH] = {};
Cp2112Gpio tCP2112_GPIO = {0x00, 0x00, 0xFF, 0x00, 0x00, 0x00};
Cp2112Smbus tCP2112_SMBUS = {0, 0, 0, 0, 0, 0, 0, 0};

namespace {

constexpr uint16_t kVid = HID_SMBUS_DEFAULT_VID;
constexpr uint16_t kPid = HID_SMBUS_DEFAULT_PID;
constexpr uint8_t kRegisterAddressSize = 2;
// A read response that keeps coming with no bytes (an error status each
// time) is given up after this many pieces in a row, so that a chip that
// answers but never delivers cannot hold the read for ever.
constexpr int kMaxEmptyPieces = 16;
// How long a transfer may keep the chip busy when no write timeout is
// configured (the chip's own would then never end it): its largest one.
constexpr uint16_t kBusyLimitWithoutTimeoutMs = CP2112_MAX_TIMEOUT_MS;
// Status requests while the chip answers busy start at least this far
// apart: a real chip's answer takes a USB round trip anyway.
constexpr auto kBusyPollInterval = std::chrono::milliseconds(1);

// Whether the last LastTransferCompleted gave up on a busy chip.
bool g_last_transfer_cancelled = false;

std::string& open_error() {
  static std::string text;
  return text;
}

bool is_open() { return tSmbusDevice.bOpened == 1; }

// Every library status passes through here.
HID_SMBUS_STATUS checked(HID_SMBUS_STATUS status) {
  HidSmbus_DecodeErrorStatus(status);
  return status;
}

void trace_strings_by_number(uint32_t device_number) {
  char text[CP2112_STRING_LENGTH];
  for (uint32_t option : {HID_SMBUS_GET_SERIAL_STR, HID_SMBUS_GET_PATH_STR, HID_SMBUS_GET_MANUFACTURER_STR,
                          HID_SMBUS_GET_PRODUCT_STR}) {
    text[0] = '\0';
    checked(HidSmbus_GetString(device_number, kVid, kPid, text, option));
    EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: string %u: %s\n", option, text);
  }
}

void trace_strings_opened() {
  char text[CP2112_STRING_LENGTH];
  for (uint32_t option : {HID_SMBUS_GET_SERIAL_STR, HID_SMBUS_GET_PATH_STR, HID_SMBUS_GET_MANUFACTURER_STR,
                          HID_SMBUS_GET_PRODUCT_STR}) {
    text[0] = '\0';
    checked(HidSmbus_GetOpenedString(tSmbusDevice.hDevice, text, option));
    EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: opened string %u: %s\n", option, text);
  }
}

}  // namespace

int FindDevice(char* serial, uint32_t* device_number) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: FindDevice\n");
  uint8_t major = 0;
  uint8_t minor = 0;
  int32_t release = 0;
  checked(HidSmbus_GetLibraryVersion(&major, &minor, &release));
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: library %u.%u release %d\n", major, minor, release);
  checked(HidSmbus_GetHidLibraryVersion(&major, &minor, &release));
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: HID library %u.%u release %d\n", major, minor, release);

  uint32_t count = 0;
  if (checked(HidSmbus_GetNumDevices(&count, kVid, kPid)) != HID_SMBUS_SUCCESS || count == 0) return 0;
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: %u device(s)\n", count);
  if (count > CP2112_MAX_DEVICES) {
    EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: only the first %zu devices are considered\n", CP2112_MAX_DEVICES);
    count = CP2112_MAX_DEVICES;
  }
  int found = 0;
  for (uint32_t i = 0; i < count; ++i) {
    char* slot = m_strSmbusSerialStringList[i];
    if (checked(HidSmbus_GetString(i, kVid, kPid, slot, HID_SMBUS_GET_SERIAL_STR)) != HID_SMBUS_SUCCESS) {
      // A chip without a serial is still one device, known by its path (a
      // restriction to one path leaves only it in the enumeration).
      char path[CP2112_STRING_LENGTH];
      std::memset(slot, 0, CP2112_STRING_LENGTH);
      if (checked(HidSmbus_GetString(i, kVid, kPid, path, HID_SMBUS_GET_PATH_STR)) != HID_SMBUS_SUCCESS) continue;
      EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: device %u has no serial, path %s\n", i, path);
    } else {
      EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: device %u serial %s\n", i, slot);
    }
    std::memcpy(serial, slot, CP2112_STRING_LENGTH);
    *device_number = i;
    found = 1;
  }
  return found;
}

void UpdateDeviceInformation(int32_t opened) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: UpdateDeviceInformation %d\n", opened);
  uint16_t vid = 0;
  uint16_t pid = 0;
  uint16_t release = 0;
  int32_t handle_open = 0;
  if (opened == 1 && checked(HidSmbus_IsOpened(tSmbusDevice.hDevice, &handle_open)) == HID_SMBUS_SUCCESS &&
      handle_open == 1) {
    checked(HidSmbus_GetOpenedAttributes(tSmbusDevice.hDevice, &vid, &pid, &release));
    EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: VID %04X PID %04X release %04X\n", vid, pid, release);
    uint8_t part = 0;
    uint8_t version = 0;
    checked(HidSmbus_GetPartNumber(tSmbusDevice.hDevice, &part, &version));
    EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: part number %02X version %02X\n", part, version);
    trace_strings_opened();
    return;
  }
  checked(HidSmbus_GetAttributes(tSmbusDevice.ulDeviceNum, kVid, kPid, &vid, &pid, &release));
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: VID %04X PID %04X release %04X\n", vid, pid, release);
  trace_strings_by_number(tSmbusDevice.ulDeviceNum);
}

int usb_drv_cp2112_open(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_open\n");
  // Opening again without a close would leak the handle held so far.
  if (is_open()) usb_drv_cp2112_close();
  open_error().clear();
  if (FindDevice(tSmbusDevice.acSerial, &tSmbusDevice.ulDeviceNum) != 1) return 0;
  UpdateDeviceInformation(0);
  const HID_SMBUS_STATUS status = checked(HidSmbus_Open(&tSmbusDevice.hDevice, tSmbusDevice.ulDeviceNum, kVid, kPid));
  if (status == HID_SMBUS_SUCCESS) {
    tSmbusDevice.bOpened = 1;
    UpdateDeviceInformation(1);
  } else {
    open_error() = HidSmbus_GetOpenErrorText();
    EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: open failed: %s\n", open_error().c_str());
  }
  return 1;
}

int usb_drv_cp2112_init(void) { return usb_drv_cp2112_open(); }

void usb_drv_cp2112_close(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_close\n");
  if (!is_open()) return;
  if (checked(HidSmbus_Close(tSmbusDevice.hDevice)) == HID_SMBUS_SUCCESS) tSmbusDevice.bOpened = 0;
}

int usb_drv_cp2112_is_open(void) { return is_open() ? 1 : 0; }

const char* usb_drv_cp2112_open_error(void) { return open_error().c_str(); }

Cp2112Gpio* usb_drv_cp2112_GetGpioConfig(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_GetGpioConfig\n");
  if (!is_open()) return &tCP2112_GPIO;
  uint8_t direction = 0;
  uint8_t mode = 0;
  uint8_t function = 0;
  uint8_t divider = 0;
  if (checked(HidSmbus_GetGpioConfig(tSmbusDevice.hDevice, &direction, &mode, &function, &divider)) ==
      HID_SMBUS_SUCCESS) {
    tCP2112_GPIO.ucDirection = direction;
    tCP2112_GPIO.ucMode = mode;
    tCP2112_GPIO.ucFunction = function;
    tCP2112_GPIO.ucClockDivider = divider;
    EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: direction %02X mode %02X function %02X divider %02X\n", direction, mode,
                     function, divider);
  }
  return &tCP2112_GPIO;
}

int usb_drv_cp2112_SetGpioConfig(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_SetGpioConfig %02X %02X %02X %02X\n", tCP2112_GPIO.ucDirection,
                   tCP2112_GPIO.ucMode, tCP2112_GPIO.ucFunction, tCP2112_GPIO.ucClockDivider);
  if (!is_open()) return 0;
  return checked(HidSmbus_SetGpioConfig(tSmbusDevice.hDevice, tCP2112_GPIO.ucDirection, tCP2112_GPIO.ucMode,
                                        tCP2112_GPIO.ucFunction, tCP2112_GPIO.ucClockDivider)) == HID_SMBUS_SUCCESS;
}

Cp2112Gpio* usb_drv_cp2112_ReadLatch(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_ReadLatch\n");
  if (!is_open()) return &tCP2112_GPIO;
  uint8_t latch = 0;
  if (checked(HidSmbus_ReadLatch(tSmbusDevice.hDevice, &latch)) == HID_SMBUS_SUCCESS) {
    tCP2112_GPIO.ucLatchValue = latch;
    EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: latch %02X\n", latch);
  }
  return &tCP2112_GPIO;
}

int usb_drv_cp2112_WriteLatch(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_WriteLatch %02X mask %02X\n", tCP2112_GPIO.ucLatchValue,
                   tCP2112_GPIO.ucLatchMask);
  if (!is_open()) return 0;
  return checked(HidSmbus_WriteLatch(tSmbusDevice.hDevice, tCP2112_GPIO.ucLatchValue, tCP2112_GPIO.ucLatchMask)) ==
         HID_SMBUS_SUCCESS;
}

Cp2112Smbus* usb_drv_cp2112_GetSmbusConfig(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_GetSmbusConfig\n");
  if (!is_open()) return &tCP2112_SMBUS;
  Cp2112Smbus read = tCP2112_SMBUS;
  if (checked(HidSmbus_GetSmbusConfig(tSmbusDevice.hDevice, &read.ulBitRate, &read.ucAddress, &read.bAutoReadRespond,
                                      &read.usWriteTimeout, &read.usReadTimeout, &read.bSclLowTimeout,
                                      &read.usTransferRetries)) != HID_SMBUS_SUCCESS) {
    return &tCP2112_SMBUS;
  }
  if (checked(HidSmbus_GetTimeouts(tSmbusDevice.hDevice, &read.ulResponseTimeout)) != HID_SMBUS_SUCCESS) {
    read.ulResponseTimeout = tCP2112_SMBUS.ulResponseTimeout;
  }
  tCP2112_SMBUS = read;
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: rate %u address %02X auto %d timeouts %u/%u scl %d retries %u response %u\n",
                   read.ulBitRate, read.ucAddress, read.bAutoReadRespond, read.usWriteTimeout, read.usReadTimeout,
                   read.bSclLowTimeout, read.usTransferRetries, read.ulResponseTimeout);
  return &tCP2112_SMBUS;
}

int usb_drv_cp2112_SetSmbusConfig(void) {
  const Cp2112Smbus& c = tCP2112_SMBUS;
  EMUL_DEBUG_PRINT(0,
                   "usb_drv_cp2112: usb_drv_cp2112_SetSmbusConfig rate %u address %02X auto %d timeouts %u/%u "
                   "scl %d retries %u response %u\n",
                   c.ulBitRate, c.ucAddress, c.bAutoReadRespond, c.usWriteTimeout, c.usReadTimeout, c.bSclLowTimeout,
                   c.usTransferRetries, c.ulResponseTimeout);
  if (!is_open()) return 0;
  if (checked(HidSmbus_SetSmbusConfig(tSmbusDevice.hDevice, c.ulBitRate, c.ucAddress, c.bAutoReadRespond,
                                      c.usWriteTimeout, c.usReadTimeout, c.bSclLowTimeout, c.usTransferRetries)) !=
      HID_SMBUS_SUCCESS) {
    return 0;
  }
  return checked(HidSmbus_SetTimeouts(tSmbusDevice.hDevice, c.ulResponseTimeout)) == HID_SMBUS_SUCCESS;
}

int usb_drv_cp2112_I2C_ReadRequest(uint8_t slave, uint16_t count) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_I2C_ReadRequest %02X %u\n", slave, count);
  if (!is_open()) return 0;
  return checked(HidSmbus_ReadRequest(tSmbusDevice.hDevice, slave, count)) == HID_SMBUS_SUCCESS;
}

int usb_drv_cp2112_I2C_AddressReadRequest(uint8_t slave, uint16_t reg, uint16_t count) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_I2C_AddressReadRequest %02X %04X %u\n", slave, reg, count);
  if (!is_open()) return 0;
  const uint8_t target[kRegisterAddressSize] = {static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg)};
  return checked(HidSmbus_AddressReadRequest(tSmbusDevice.hDevice, slave, count, kRegisterAddressSize, target)) ==
         HID_SMBUS_SUCCESS;
}

int usb_drv_cp2122_I2C_GetReadResponse(uint8_t* dest, uint16_t count) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2122_I2C_GetReadResponse %u\n", count);
  if (!is_open()) return 0;
  uint16_t outstanding = count;
  size_t position = 0;
  int empty_pieces = 0;
  while (outstanding > 0) {
    // Each piece lands in a buffer of its own first: the destination only
    // has room for what is still outstanding.
    uint8_t piece[CP2112_MAX_RESPONSE_DATA];
    uint8_t transfer_status = 0;
    uint8_t delivered = 0;
    const HID_SMBUS_STATUS status = checked(
        HidSmbus_GetReadResponse(tSmbusDevice.hDevice, &transfer_status, piece, sizeof piece, &delivered));
    HidSmbus_DecodeTransferStatus(transfer_status);
    if (status != HID_SMBUS_SUCCESS) return 0;
    EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: %u byte(s), %u outstanding\n", delivered, outstanding);
    if (delivered > outstanding) {
      std::memcpy(dest + position, piece, outstanding);
      EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: response longer than requested\n");
      return 0;
    }
    std::memcpy(dest + position, piece, delivered);
    position += delivered;
    outstanding = static_cast<uint16_t>(outstanding - delivered);
    empty_pieces = delivered == 0 ? empty_pieces + 1 : 0;
    if (empty_pieces == kMaxEmptyPieces) return 0;
  }
  return 1;
}

int usb_drv_cp2112_I2C_WriteRequest(uint8_t slave, const uint8_t* data, uint16_t count) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_I2C_WriteRequest %02X %u\n", slave, count);
  if (!is_open()) return 0;
  return checked(HidSmbus_WriteRequest(tSmbusDevice.hDevice, slave, data, static_cast<uint8_t>(count))) ==
         HID_SMBUS_SUCCESS;
}

int usb_drv_cp2112_CancelTransfer(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_CancelTransfer\n");
  if (!is_open()) return 0;
  return checked(HidSmbus_CancelTransfer(tSmbusDevice.hDevice)) == HID_SMBUS_SUCCESS;
}

int usb_drv_cp2112_GetTransferStatus(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_GetTransferStatus\n");
  if (!is_open()) return 0;
  if (checked(HidSmbus_TransferStatusRequest(tSmbusDevice.hDevice)) != HID_SMBUS_SUCCESS) return 0;
  uint8_t status0 = 0;
  uint8_t status1 = 0;
  uint16_t retries = 0;
  uint16_t bytes_read = 0;
  if (checked(HidSmbus_GetTransferStatusResponse(tSmbusDevice.hDevice, &status0, &status1, &retries, &bytes_read)) ==
      HID_SMBUS_SUCCESS) {
    EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: retries %u, %u byte(s) read\n", retries, bytes_read);
    HidSmbus_DecodeTransferStatus2(status0, status1);
  }
  return 1;
}

int usb_drv_cp2112_LastTransferCompleted(void) {
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: usb_drv_cp2112_LastTransferCompleted\n");
  g_last_transfer_cancelled = false;
  if (!is_open()) return 0;
  using Clock = std::chrono::steady_clock;
  const uint16_t limit_ms =
      tCP2112_SMBUS.usWriteTimeout != 0 ? tCP2112_SMBUS.usWriteTimeout : kBusyLimitWithoutTimeoutMs;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    const Clock::time_point asked = Clock::now();
    if (checked(HidSmbus_TransferStatusRequest(tSmbusDevice.hDevice)) != HID_SMBUS_SUCCESS) return 0;
    uint8_t status0 = 0;
    uint8_t status1 = 0;
    uint16_t retries = 0;
    uint16_t bytes_read = 0;
    if (checked(HidSmbus_GetTransferStatusResponse(tSmbusDevice.hDevice, &status0, &status1, &retries,
                                                   &bytes_read)) != HID_SMBUS_SUCCESS) {
      return 0;
    }
    HidSmbus_DecodeTransferStatus2(status0, status1);
    if (status0 != CP2112_STATUS_BUSY) return status0 == CP2112_STATUS_COMPLETE ? 1 : 0;
    if (asked >= deadline) break;
    platform_sleep_until(asked + kBusyPollInterval);
  }
  // Busy past the write timeout: the chip did not end the transfer itself
  // (a bus held low, a chip that hangs). It is stopped, so that the next
  // request finds the chip idle instead of queued behind it.
  EMUL_DEBUG_PRINT(0, "usb_drv_cp2112: still busy after %u ms: cancelled\n", limit_ms);
  checked(HidSmbus_CancelTransfer(tSmbusDevice.hDevice));
  g_last_transfer_cancelled = true;
  return 0;
}

int usb_drv_cp2112_LastTransferCancelled(void) { return g_last_transfer_cancelled ? 1 : 0; }
