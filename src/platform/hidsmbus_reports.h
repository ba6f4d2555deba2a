// CP2112 HID report layouts: pure encoders and decoders.
//
// Every report starts with its report ID. Multi-byte fields are big-endian.
// Encoders fill a 64-byte report buffer and return the number of bytes to
// send (ID included), or 0 when an argument is outside what the chip takes.
// Decoders read a received report and return false when it is too short,
// carries another ID or holds an impossible value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Report IDs.
constexpr uint8_t CP2112_RPT_RESET = 0x01;
constexpr uint8_t CP2112_RPT_GPIO_CONFIG = 0x02;
constexpr uint8_t CP2112_RPT_GET_GPIO = 0x03;
constexpr uint8_t CP2112_RPT_SET_GPIO = 0x04;
constexpr uint8_t CP2112_RPT_VERSION = 0x05;
constexpr uint8_t CP2112_RPT_SMBUS_CONFIG = 0x06;
constexpr uint8_t CP2112_RPT_READ_REQUEST = 0x10;
constexpr uint8_t CP2112_RPT_WRITE_READ_REQUEST = 0x11;
constexpr uint8_t CP2112_RPT_FORCE_SEND = 0x12;
constexpr uint8_t CP2112_RPT_READ_RESPONSE = 0x13;
constexpr uint8_t CP2112_RPT_DATA_WRITE = 0x14;
constexpr uint8_t CP2112_RPT_STATUS_REQUEST = 0x15;
constexpr uint8_t CP2112_RPT_STATUS_RESPONSE = 0x16;
constexpr uint8_t CP2112_RPT_CANCEL = 0x17;

// Report lengths, ID byte included.
constexpr size_t CP2112_REPORT_SIZE = 64;  // every input report; largest output/feature
constexpr size_t CP2112_LEN_RESET = 2;
constexpr size_t CP2112_LEN_GPIO_CONFIG = 5;
constexpr size_t CP2112_LEN_GET_GPIO = 2;
constexpr size_t CP2112_LEN_SET_GPIO = 3;
constexpr size_t CP2112_LEN_VERSION = 3;
constexpr size_t CP2112_LEN_SMBUS_CONFIG = 14;
constexpr size_t CP2112_LEN_READ_REQUEST = 4;
constexpr size_t CP2112_LEN_WRITE_READ_HEAD = 5;  // plus the target-address bytes
constexpr size_t CP2112_LEN_FORCE_SEND = 3;
constexpr size_t CP2112_LEN_DATA_WRITE_HEAD = 3;  // plus the data bytes
constexpr size_t CP2112_LEN_STATUS_REQUEST = 2;
constexpr size_t CP2112_LEN_STATUS_RESPONSE = 7;
constexpr size_t CP2112_LEN_CANCEL = 2;

// Limits of the chip.
constexpr uint16_t CP2112_MAX_READ = 512;
constexpr uint8_t CP2112_MAX_WRITE = 61;
constexpr uint8_t CP2112_MAX_RESPONSE_DATA = 61;
constexpr uint8_t CP2112_MAX_TARGET_ADDRESS = 16;
constexpr uint16_t CP2112_MAX_TIMEOUT_MS = 1000;
constexpr uint16_t CP2112_MAX_RETRIES = 1000;
constexpr uint8_t CP2112_PART_NUMBER = 0x0C;
// The fixed byte that follows the ID of Reset, Transfer Status Request and
// Cancel Transfer.
constexpr uint8_t CP2112_COMMAND_BYTE = 0x01;

// Transfer status byte 0.
constexpr uint8_t CP2112_STATUS_IDLE = 0x00;
constexpr uint8_t CP2112_STATUS_BUSY = 0x01;
constexpr uint8_t CP2112_STATUS_COMPLETE = 0x02;
constexpr uint8_t CP2112_STATUS_ERROR = 0x03;

using Cp2112Report = std::array<uint8_t, CP2112_REPORT_SIZE>;

struct Cp2112GpioConfig {
  uint8_t direction = 0;      // bit set: output
  uint8_t drive = 0;          // bit set: push-pull, clear: open-drain
  uint8_t alt_function = 0;        // alternate-function enables
  uint8_t clock_divider = 0;  // GPIO.7 clock output divider
};

struct Cp2112SmbusConfig {
  uint32_t bit_rate = 0;         // Hz
  uint8_t address = 0;           // the chip's own address, 8-bit form
  bool auto_send_read = false;   // push read data as it arrives
  uint16_t write_timeout = 0;    // ms, 0 none
  uint16_t read_timeout = 0;     // ms, 0 none
  bool scl_low_timeout = false;  // reset the bus when SCL stays low > 25 ms
  uint16_t retry_limit = 0;      // 0 unlimited
};

struct Cp2112ReadResponse {
  uint8_t status = 0;            // transfer status byte 0
  uint8_t count = 0;             // valid bytes, at most 61
  const uint8_t* data = nullptr;  // points into the decoded report
};

struct Cp2112TransferStatus {
  uint8_t status0 = 0;
  uint8_t status1 = 0;
  uint16_t retries = 0;
  uint16_t bytes_read = 0;
};

// Feature reports.
size_t cp2112_encode_reset(Cp2112Report& out);
size_t cp2112_encode_gpio_config(Cp2112Report& out, const Cp2112GpioConfig& config);
bool cp2112_decode_gpio_config(const uint8_t* in, size_t length, Cp2112GpioConfig* config);
size_t cp2112_encode_set_gpio(Cp2112Report& out, uint8_t values, uint8_t mask);
bool cp2112_decode_get_gpio(const uint8_t* in, size_t length, uint8_t* latch);
bool cp2112_decode_version(const uint8_t* in, size_t length, uint8_t* part_number, uint8_t* version);
// Encodes the fields as given; range checks are the caller's.
size_t cp2112_encode_smbus_config(Cp2112Report& out, const Cp2112SmbusConfig& config);
bool cp2112_decode_smbus_config(const uint8_t* in, size_t length, Cp2112SmbusConfig* config);

// Output reports. Counts outside the chip's ranges give 0.
size_t cp2112_encode_read_request(Cp2112Report& out, uint8_t slave, uint16_t count);
size_t cp2112_encode_write_read_request(Cp2112Report& out, uint8_t slave, uint16_t count,
                                        const uint8_t* target, uint8_t target_length);
size_t cp2112_encode_force_send(Cp2112Report& out, uint16_t count);
size_t cp2112_encode_data_write(Cp2112Report& out, uint8_t slave, const uint8_t* data, uint8_t count);
size_t cp2112_encode_status_request(Cp2112Report& out);
size_t cp2112_encode_cancel(Cp2112Report& out);

// Input reports.
bool cp2112_decode_read_response(const uint8_t* in, size_t length, Cp2112ReadResponse* response);
bool cp2112_decode_transfer_status(const uint8_t* in, size_t length, Cp2112TransferStatus* status);
