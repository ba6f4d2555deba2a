// CP2112 driver layer over the HID-to-SMBus library (platform/hidsmbus.h).
//
// Finds one CP2112 (0x10C4/0xEA90), opens it, and offers one operation per
// library request. The bridge's GPIO and SMBus configuration are mirrored in
// two records: the getters refresh them from the device (only while it is
// open) and return their address; callers change fields in place and call
// the matching setter, which sends the record.
//
// Every operation except FindDevice, UpdateDeviceInformation, open and init
// does nothing unless the device is open (open flag exactly 1) and then
// returns 0 (getters: their record, unrefreshed). Results: 1 success, 0
// failure. Nothing here prints to the console; every operation traces
// through EMUL_DEBUG_PRINT and every library status goes through
// HidSmbus_DecodeErrorStatus.
#pragma once

#include "platform/hidsmbus.h"

#include <cstddef>
#include <cstdint>

// The serial list has this many slots; FindDevice considers only the first
// CP2112_MAX_DEVICES devices of the enumeration and ignores any beyond them.
constexpr size_t CP2112_MAX_DEVICES = 10;
constexpr size_t CP2112_STRING_LENGTH = HID_SMBUS_DEVICE_STRLEN;

struct SmbusDevice {
  HID_SMBUS_DEVICE hDevice;                 // the library's handle
  uint32_t ulDeviceNum;                     // index in the enumeration
  char acSerial[CP2112_STRING_LENGTH];      // serial of the chosen device
  int32_t bOpened;                          // 1 while open
};

// One bit per pin GPIO.0 .. GPIO.7.
struct Cp2112Gpio {
  uint8_t ucDirection;     // set: output
  uint8_t ucMode;          // set: push-pull, clear: open-drain
  uint8_t ucLatchMask;     // pins a latch write changes
  uint8_t ucLatchValue;    // levels read or to be written
  uint8_t ucFunction;      // alternate-function enables
  uint8_t ucClockDivider;  // clock output divider
};
static_assert(sizeof(Cp2112Gpio) == 6, "six bytes, in the order the bridge lists them");

struct Cp2112Smbus {
  uint32_t ulBitRate;          // bits per second
  uint8_t ucAddress;           // the CP2112's own acknowledge address (8-bit form)
  int32_t bAutoReadRespond;    // read data returned as it arrives
  uint16_t usWriteTimeout;     // ms
  uint16_t usReadTimeout;      // ms
  int32_t bSclLowTimeout;      // enabled or not
  uint16_t usTransferRetries;  // retry count of the bridge
  uint32_t ulResponseTimeout;  // ms the library waits for a response report
};

extern SmbusDevice tSmbusDevice;
extern char m_strSmbusSerialStringList[CP2112_MAX_DEVICES][CP2112_STRING_LENGTH];
extern Cp2112Gpio tCP2112_GPIO;    // starts 00 00 FF 00 00 00
extern Cp2112Smbus tCP2112_SMBUS;  // starts all zero

// Chooses the last device, in enumeration order, whose serial string could
// be read, or which has none but a path: copies its serial (260 characters,
// empty for a device without one) and index out. 1 when one was chosen,
// else 0. The transport's restriction to one path or serial
// (hid_transport_restrict) limits what it sees.
int FindDevice(char* serial, uint32_t* device_number);
// Traces the device's attributes, part number and strings (opened: 1 asks
// the open handle, else the enumeration by device number).
void UpdateDeviceInformation(int32_t opened);

// 1 when a CP2112 was found, even when it could not be opened (then the open
// flag stays clear; see usb_drv_cp2112_is_open). 0 when none was found.
int usb_drv_cp2112_open(void);
int usb_drv_cp2112_init(void);
// Closes when open; a failed close leaves the flag set.
void usb_drv_cp2112_close(void);
// 1 while the device is open.
int usb_drv_cp2112_is_open(void);
// Why the last open failed ("" when it did not).
const char* usb_drv_cp2112_open_error(void);

Cp2112Gpio* usb_drv_cp2112_GetGpioConfig(void);
int usb_drv_cp2112_SetGpioConfig(void);
Cp2112Gpio* usb_drv_cp2112_ReadLatch(void);
int usb_drv_cp2112_WriteLatch(void);
// Refreshes the seven configuration fields, and the response timeout only
// when they were read.
Cp2112Smbus* usb_drv_cp2112_GetSmbusConfig(void);
// Sends the seven fields, then (only if that succeeded) the response timeout.
int usb_drv_cp2112_SetSmbusConfig(void);

// Transfers; `slave` is the 8-bit address byte.
int usb_drv_cp2112_I2C_ReadRequest(uint8_t slave, uint16_t count);
// Writes `reg` (2 bytes, high first), repeated start, reads `count`.
int usb_drv_cp2112_I2C_AddressReadRequest(uint8_t slave, uint16_t reg, uint16_t count);
// Collects `count` bytes of read responses (pieces of at most 61) into
// `dest`. 0 on any library error (bytes gathered so far stay in `dest`) or
// when a piece is larger than what is still outstanding.
int usb_drv_cp2122_I2C_GetReadResponse(uint8_t* dest, uint16_t count);
// The count reaches the library cut to 8 bits.
int usb_drv_cp2112_I2C_WriteRequest(uint8_t slave, const uint8_t* data, uint16_t count);
int usb_drv_cp2112_CancelTransfer(void);
// Asks for and traces the transfer status: 0 when the request could not be
// sent, else 1 (also when no response came).
int usb_drv_cp2112_GetTransferStatus(void);
// Whether the last transfer reached its target: the transfer status is asked
// for, again while the chip reports it busy (requests at least 1 ms apart),
// and 1 is returned only for "complete". A NACKed address, a timeout, a
// status that could not be had: 0. A chip still busy once the configured
// write timeout of tCP2112_SMBUS has passed since the first request (1000 ms
// when none is configured) is sent Cancel Transfer, and 0 returned. A write
// request returns once the report is out; only this tells whether the I2C
// write was acknowledged.
int usb_drv_cp2112_LastTransferCompleted(void);
// 1 when the last usb_drv_cp2112_LastTransferCompleted cancelled a transfer
// that kept the chip busy, else 0.
int usb_drv_cp2112_LastTransferCancelled(void);
