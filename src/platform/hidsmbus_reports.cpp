#include "platform/hidsmbus_reports.h"

#include <cstring>

namespace {

void put_be16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

void put_be32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

uint16_t be16(const uint8_t* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

uint32_t be32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
         static_cast<uint32_t>(at[2]) << 8 | at[3];
}

// Starts a report: zero-filled, ID in byte 0.
uint8_t* begin(Cp2112Report& out, uint8_t id) {
  out.fill(0);
  out[0] = id;
  return out.data();
}

bool is_report(const uint8_t* in, size_t length, uint8_t id, size_t minimum) {
  return in != nullptr && length >= minimum && in[0] == id;
}

}  // namespace

size_t cp2112_encode_reset(Cp2112Report& out) {
  begin(out, CP2112_RPT_RESET)[1] = CP2112_COMMAND_BYTE;
  return CP2112_LEN_RESET;
}

size_t cp2112_encode_gpio_config(Cp2112Report& out, const Cp2112GpioConfig& config) {
  uint8_t* p = begin(out, CP2112_RPT_GPIO_CONFIG);
  p[1] = config.direction;
  p[2] = config.drive;
  p[3] = config.alt_function;
  p[4] = config.clock_divider;
  return CP2112_LEN_GPIO_CONFIG;
}

bool cp2112_decode_gpio_config(const uint8_t* in, size_t length, Cp2112GpioConfig* config) {
  if (!is_report(in, length, CP2112_RPT_GPIO_CONFIG, CP2112_LEN_GPIO_CONFIG)) return false;
  config->direction = in[1];
  config->drive = in[2];
  config->alt_function = in[3];
  config->clock_divider = in[4];
  return true;
}

size_t cp2112_encode_set_gpio(Cp2112Report& out, uint8_t values, uint8_t mask) {
  uint8_t* p = begin(out, CP2112_RPT_SET_GPIO);
  p[1] = values;
  p[2] = mask;
  return CP2112_LEN_SET_GPIO;
}

bool cp2112_decode_get_gpio(const uint8_t* in, size_t length, uint8_t* latch) {
  if (!is_report(in, length, CP2112_RPT_GET_GPIO, CP2112_LEN_GET_GPIO)) return false;
  *latch = in[1];
  return true;
}

bool cp2112_decode_version(const uint8_t* in, size_t length, uint8_t* part_number, uint8_t* version) {
  if (!is_report(in, length, CP2112_RPT_VERSION, CP2112_LEN_VERSION)) return false;
  *part_number = in[1];
  *version = in[2];
  return true;
}

size_t cp2112_encode_smbus_config(Cp2112Report& out, const Cp2112SmbusConfig& config) {
  uint8_t* p = begin(out, CP2112_RPT_SMBUS_CONFIG);
  put_be32(p + 1, config.bit_rate);
  p[5] = config.address;
  p[6] = config.auto_send_read ? 1 : 0;
  put_be16(p + 7, config.write_timeout);
  put_be16(p + 9, config.read_timeout);
  p[11] = config.scl_low_timeout ? 1 : 0;
  put_be16(p + 12, config.retry_limit);
  return CP2112_LEN_SMBUS_CONFIG;
}

bool cp2112_decode_smbus_config(const uint8_t* in, size_t length, Cp2112SmbusConfig* config) {
  if (!is_report(in, length, CP2112_RPT_SMBUS_CONFIG, CP2112_LEN_SMBUS_CONFIG)) return false;
  config->bit_rate = be32(in + 1);
  config->address = in[5];
  config->auto_send_read = in[6] != 0;
  config->write_timeout = be16(in + 7);
  config->read_timeout = be16(in + 9);
  config->scl_low_timeout = in[11] != 0;
  config->retry_limit = be16(in + 12);
  return true;
}

size_t cp2112_encode_read_request(Cp2112Report& out, uint8_t slave, uint16_t count) {
  if (count == 0 || count > CP2112_MAX_READ) return 0;
  uint8_t* p = begin(out, CP2112_RPT_READ_REQUEST);
  p[1] = slave;
  put_be16(p + 2, count);
  return CP2112_LEN_READ_REQUEST;
}

size_t cp2112_encode_write_read_request(Cp2112Report& out, uint8_t slave, uint16_t count,
                                        const uint8_t* target, uint8_t target_length) {
  if (count == 0 || count > CP2112_MAX_READ) return 0;
  if (target == nullptr || target_length == 0 || target_length > CP2112_MAX_TARGET_ADDRESS) return 0;
  uint8_t* p = begin(out, CP2112_RPT_WRITE_READ_REQUEST);
  p[1] = slave;
  put_be16(p + 2, count);
  p[4] = target_length;
  std::memcpy(p + 5, target, target_length);
  return CP2112_LEN_WRITE_READ_HEAD + target_length;
}

size_t cp2112_encode_force_send(Cp2112Report& out, uint16_t count) {
  if (count == 0 || count > CP2112_MAX_READ) return 0;
  put_be16(begin(out, CP2112_RPT_FORCE_SEND) + 1, count);
  return CP2112_LEN_FORCE_SEND;
}

size_t cp2112_encode_data_write(Cp2112Report& out, uint8_t slave, const uint8_t* data, uint8_t count) {
  if (data == nullptr || count == 0 || count > CP2112_MAX_WRITE) return 0;
  uint8_t* p = begin(out, CP2112_RPT_DATA_WRITE);
  p[1] = slave;
  p[2] = count;
  std::memcpy(p + 3, data, count);
  return CP2112_LEN_DATA_WRITE_HEAD + count;
}

size_t cp2112_encode_status_request(Cp2112Report& out) {
  begin(out, CP2112_RPT_STATUS_REQUEST)[1] = CP2112_COMMAND_BYTE;
  return CP2112_LEN_STATUS_REQUEST;
}

size_t cp2112_encode_cancel(Cp2112Report& out) {
  begin(out, CP2112_RPT_CANCEL)[1] = CP2112_COMMAND_BYTE;
  return CP2112_LEN_CANCEL;
}

bool cp2112_decode_read_response(const uint8_t* in, size_t length, Cp2112ReadResponse* response) {
  if (!is_report(in, length, CP2112_RPT_READ_RESPONSE, 3)) return false;
  // The count must fit both the chip's limit and the bytes that arrived.
  if (in[2] > CP2112_MAX_RESPONSE_DATA || 3u + in[2] > length) return false;
  response->status = in[1];
  response->count = in[2];
  response->data = in + 3;
  return true;
}

bool cp2112_decode_transfer_status(const uint8_t* in, size_t length, Cp2112TransferStatus* status) {
  if (!is_report(in, length, CP2112_RPT_STATUS_RESPONSE, CP2112_LEN_STATUS_RESPONSE)) return false;
  status->status0 = in[1];
  status->status1 = in[2];
  status->retries = be16(in + 3);
  status->bytes_read = be16(in + 5);
  return true;
}
