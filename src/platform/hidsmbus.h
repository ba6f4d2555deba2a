// HID-to-SMBus library: the CP2112 driven through its HID reports.
//
// Our own implementation of the HidSmbus_* calls the CP2112 driver layer
// (bridge/cp2112/usb_drv_cp2112) uses, with the vendor library's argument
// forms and status codes, built on the HID transport (platform/hid.h) and
// the report layouts of platform/hidsmbus_reports.h.
//
// Every call returns a status: HID_SMBUS_SUCCESS (0) or one of the codes
// below. Slave addresses are the 8-bit form (7-bit address << 1, even,
// 0x02..0xFE). Strings are NUL-terminated and at most
// HID_SMBUS_DEVICE_STRLEN characters including the NUL.
//
// Waiting: the only calls that wait for the device are
// HidSmbus_GetReadResponse and HidSmbus_GetTransferStatusResponse; each waits
// at most the response timeout (HidSmbus_SetTimeouts, 1000 ms after open;
// 0 waits without limit, as the vendor's library does). Feature and output
// reports block only as long as the transport's transfer does.
//
// Feature reports read (version, SMBus configuration, GPIO configuration and
// values) are asked for with their layout's length; an answer of any other
// length is HID_SMBUS_DEVICE_IO_FAILED and nothing of it is returned.
//
// Input reports: the device pushes Data Read Response (0x13) and Transfer
// Status Response (0x16) reports. The library files them in two queues per
// device. Before a read request the library takes in every report already
// waiting and empties the read queue, so a response that arrived late for an
// earlier, failed exchange is never taken for the new one; a status request
// does the same with the status queue, a cancel with the read queue.
// A response may also arrive after that drain: when a wait for a response
// timed out (GetReadResponse then also sends Cancel Transfer), and right after
// an open, the next read request first settles the device: it sends
// a Transfer Status Request and waits (response timeout) for its answer,
// dropping everything that arrives before it. The chip answers in order, so
// nothing older can follow. When that answer does not come, the request is
// not sent and fails with the wait's status (HID_SMBUS_READ_TIMED_OUT).
#pragma once

#include <cstddef>
#include <cstdint>

using HID_SMBUS_STATUS = int32_t;
struct HidSmbusDevice;
using HID_SMBUS_DEVICE = HidSmbusDevice*;

constexpr HID_SMBUS_STATUS HID_SMBUS_SUCCESS = 0x00;
constexpr HID_SMBUS_STATUS HID_SMBUS_DEVICE_NOT_FOUND = 0x01;       // no device at that index
constexpr HID_SMBUS_STATUS HID_SMBUS_INVALID_HANDLE = 0x02;
constexpr HID_SMBUS_STATUS HID_SMBUS_INVALID_DEVICE_OBJECT = 0x03;  // handle not open
constexpr HID_SMBUS_STATUS HID_SMBUS_INVALID_PARAMETER = 0x04;      // null pointer, value out of range
constexpr HID_SMBUS_STATUS HID_SMBUS_INVALID_REQUEST_LENGTH = 0x05;  // read/write count out of range
constexpr HID_SMBUS_STATUS HID_SMBUS_READ_ERROR = 0x10;              // input reports failed
constexpr HID_SMBUS_STATUS HID_SMBUS_WRITE_ERROR = 0x11;             // Data Write report failed
constexpr HID_SMBUS_STATUS HID_SMBUS_READ_TIMED_OUT = 0x12;          // no response in time
constexpr HID_SMBUS_STATUS HID_SMBUS_WRITE_TIMED_OUT = 0x13;
constexpr HID_SMBUS_STATUS HID_SMBUS_DEVICE_IO_FAILED = 0x14;        // feature/output report failed
constexpr HID_SMBUS_STATUS HID_SMBUS_DEVICE_ACCESS_ERROR = 0x15;     // could not open or read
constexpr HID_SMBUS_STATUS HID_SMBUS_DEVICE_NOT_SUPPORTED = 0x16;    // part number is not a CP2112
constexpr HID_SMBUS_STATUS HID_SMBUS_UNKNOWN_ERROR = 0xFF;

constexpr size_t HID_SMBUS_DEVICE_STRLEN = 260;

// String options of HidSmbus_GetString / HidSmbus_GetOpenedString.
constexpr uint32_t HID_SMBUS_GET_VID_STR = 1;        // "%04X"
constexpr uint32_t HID_SMBUS_GET_PID_STR = 2;        // "%04X"
constexpr uint32_t HID_SMBUS_GET_PATH_STR = 3;
constexpr uint32_t HID_SMBUS_GET_SERIAL_STR = 4;
constexpr uint32_t HID_SMBUS_GET_MANUFACTURER_STR = 5;
constexpr uint32_t HID_SMBUS_GET_PRODUCT_STR = 6;

constexpr uint16_t HID_SMBUS_DEFAULT_VID = 0x10C4;
constexpr uint16_t HID_SMBUS_DEFAULT_PID = 0xEA90;
constexpr uint32_t HID_SMBUS_DEFAULT_RESPONSE_TIMEOUT_MS = 1000;
// What HidSmbus_GetSmbusConfig reports in place of a retry limit of 0: the
// chip would otherwise retry a NACKed transfer for ever and never answer
// again. A caller that writes the configuration back thus bounds it.
constexpr uint16_t HID_SMBUS_BOUNDED_RETRIES = 3;

// Library identity (host only).
HID_SMBUS_STATUS HidSmbus_GetLibraryVersion(uint8_t* major, uint8_t* minor, int32_t* release);
HID_SMBUS_STATUS HidSmbus_GetHidLibraryVersion(uint8_t* major, uint8_t* minor, int32_t* release);

// Enumeration by vendor/product (host only; no report is exchanged). Device
// numbers index the transport's enumeration order at the time of the call.
HID_SMBUS_STATUS HidSmbus_GetNumDevices(uint32_t* count, uint16_t vid, uint16_t pid);
// A string the device does not have (empty) is HID_SMBUS_DEVICE_ACCESS_ERROR.
HID_SMBUS_STATUS HidSmbus_GetString(uint32_t device_num, uint16_t vid, uint16_t pid, char* text,
                                    uint32_t option);
HID_SMBUS_STATUS HidSmbus_GetAttributes(uint32_t device_num, uint16_t vid, uint16_t pid, uint16_t* device_vid,
                                        uint16_t* device_pid, uint16_t* release);

// Opens device `device_num`, reads its version report and refuses anything
// whose part number is not 0x0C (HID_SMBUS_DEVICE_NOT_SUPPORTED). A node that
// cannot be opened gives HID_SMBUS_DEVICE_ACCESS_ERROR; the reason is then
// available from HidSmbus_GetOpenErrorText.
HID_SMBUS_STATUS HidSmbus_Open(HID_SMBUS_DEVICE* device, uint32_t device_num, uint16_t vid, uint16_t pid);
// Closes and forgets the handle; a later call with it gives
// HID_SMBUS_INVALID_DEVICE_OBJECT.
HID_SMBUS_STATUS HidSmbus_Close(HID_SMBUS_DEVICE device);
// A handle that is not open gives SUCCESS with *opened = 0.
HID_SMBUS_STATUS HidSmbus_IsOpened(HID_SMBUS_DEVICE device, int32_t* opened);
HID_SMBUS_STATUS HidSmbus_GetOpenedAttributes(HID_SMBUS_DEVICE device, uint16_t* device_vid, uint16_t* device_pid,
                                              uint16_t* release);
HID_SMBUS_STATUS HidSmbus_GetOpenedString(HID_SMBUS_DEVICE device, char* text, uint32_t option);
HID_SMBUS_STATUS HidSmbus_GetPartNumber(HID_SMBUS_DEVICE device, uint8_t* part_number, uint8_t* version);
// Not part of the vendor's interface: why the last HidSmbus_Open failed, in
// words ("" after a successful open).
const char* HidSmbus_GetOpenErrorText(void);

// SMBus configuration (feature report 0x06). Set checks: bit rate >= 1,
// address even 0x02..0xFE, timeouts <= 1000 ms, retries <= 1000; else
// HID_SMBUS_INVALID_PARAMETER and nothing is sent.
HID_SMBUS_STATUS HidSmbus_SetSmbusConfig(HID_SMBUS_DEVICE device, uint32_t bit_rate, uint8_t address,
                                         int32_t auto_read_respond, uint16_t write_timeout,
                                         uint16_t read_timeout, int32_t scl_low_timeout,
                                         uint16_t transfer_retries);
HID_SMBUS_STATUS HidSmbus_GetSmbusConfig(HID_SMBUS_DEVICE device, uint32_t* bit_rate, uint8_t* address,
                                         int32_t* auto_read_respond, uint16_t* write_timeout,
                                         uint16_t* read_timeout, int32_t* scl_low_timeout,
                                         uint16_t* transfer_retries);
// Response timeout in milliseconds (host only).
HID_SMBUS_STATUS HidSmbus_SetTimeouts(HID_SMBUS_DEVICE device, uint32_t response_timeout);
HID_SMBUS_STATUS HidSmbus_GetTimeouts(HID_SMBUS_DEVICE device, uint32_t* response_timeout);

// GPIO (feature reports 0x02, 0x03, 0x04). Bit n is GPIO.n.
HID_SMBUS_STATUS HidSmbus_SetGpioConfig(HID_SMBUS_DEVICE device, uint8_t direction, uint8_t mode,
                                        uint8_t alt_function, uint8_t clock_divider);
HID_SMBUS_STATUS HidSmbus_GetGpioConfig(HID_SMBUS_DEVICE device, uint8_t* direction, uint8_t* mode,
                                        uint8_t* alt_function, uint8_t* clock_divider);
HID_SMBUS_STATUS HidSmbus_ReadLatch(HID_SMBUS_DEVICE device, uint8_t* latch_value);
HID_SMBUS_STATUS HidSmbus_WriteLatch(HID_SMBUS_DEVICE device, uint8_t latch_value, uint8_t latch_mask);

// Transfers. A request only starts the transfer; it returns once the report
// is handed to the device. Counts: read 1..512, write 1..61, target address
// 1..16 bytes; outside them HID_SMBUS_INVALID_REQUEST_LENGTH (target address:
// HID_SMBUS_INVALID_PARAMETER) and nothing is sent.
HID_SMBUS_STATUS HidSmbus_ReadRequest(HID_SMBUS_DEVICE device, uint8_t slave_address, uint16_t count);
HID_SMBUS_STATUS HidSmbus_AddressReadRequest(HID_SMBUS_DEVICE device, uint8_t slave_address, uint16_t count,
                                             uint8_t target_address_size, const uint8_t* target_address);
// Asks a chip with auto-send-read off for up to `count` buffered bytes.
HID_SMBUS_STATUS HidSmbus_ForceReadResponse(HID_SMBUS_DEVICE device, uint16_t count);
// Returns one Data Read Response per call: its status byte, its valid bytes
// (at most 61, copied to `buffer`; nothing beyond them is written) and their
// count. `buffer_size` must be at least 61. On timeout: status 0, count 0,
// HID_SMBUS_READ_TIMED_OUT.
HID_SMBUS_STATUS HidSmbus_GetReadResponse(HID_SMBUS_DEVICE device, uint8_t* status, uint8_t* buffer,
                                          uint8_t buffer_size, uint8_t* count);
HID_SMBUS_STATUS HidSmbus_WriteRequest(HID_SMBUS_DEVICE device, uint8_t slave_address, const uint8_t* buffer,
                                       uint8_t count);
HID_SMBUS_STATUS HidSmbus_TransferStatusRequest(HID_SMBUS_DEVICE device);
HID_SMBUS_STATUS HidSmbus_GetTransferStatusResponse(HID_SMBUS_DEVICE device, uint8_t* status,
                                                    uint8_t* detailed_status, uint16_t* retries,
                                                    uint16_t* bytes_read);
HID_SMBUS_STATUS HidSmbus_CancelTransfer(HID_SMBUS_DEVICE device);
