#include "bridge/cp2112/cp2112_util.h"

#include "console/log.h"
#include "platform/hidsmbus.h"
#include "platform/hidsmbus_reports.h"

#include <array>
#include <utility>

namespace {

constexpr const char* kUnknown = "Unknown Status";

constexpr std::array<std::pair<int32_t, const char*>, 14> kErrorTexts = {{
    {HID_SMBUS_SUCCESS, "HID_SMBUS_SUCCESS"},
    {HID_SMBUS_DEVICE_NOT_FOUND, "HID_SMBUS_DEVICE_NOT_FOUND"},
    {HID_SMBUS_INVALID_HANDLE, "HID_SMBUS_INVALID_HANDLE"},
    {HID_SMBUS_INVALID_DEVICE_OBJECT, "HID_SMBUS_INVALID_DEVICE_OBJECT"},
    {HID_SMBUS_INVALID_PARAMETER, "HID_SMBUS_INVALID_PARAMETER"},
    {HID_SMBUS_INVALID_REQUEST_LENGTH, "HID_SMBUS_INVALID_REQUEST_LENGTH"},
    {HID_SMBUS_READ_ERROR, "HID_SMBUS_READ_ERROR"},
    {HID_SMBUS_WRITE_ERROR, "HID_SMBUS_WRITE_ERROR"},
    {HID_SMBUS_READ_TIMED_OUT, "HID_SMBUS_READ_TIMED_OUT"},
    {HID_SMBUS_WRITE_TIMED_OUT, "HID_SMBUS_WRITE_TIMED_OUT"},
    {HID_SMBUS_DEVICE_IO_FAILED, "HID_SMBUS_DEVICE_IO_FAILED"},
    {HID_SMBUS_DEVICE_ACCESS_ERROR, "HID_SMBUS_DEVICE_ACCESS_ERROR"},
    {HID_SMBUS_DEVICE_NOT_SUPPORTED, "HID_SMBUS_DEVICE_NOT_SUPPORTED"},
    {HID_SMBUS_UNKNOWN_ERROR, "HID_SMBUS_UNKNOWN_ERROR"},
}};

// Transfer status byte 0, indexed by its value.
constexpr std::array<const char*, 4> kTransferTexts = {"Idle", "Busy", "Complete", "Error"};
// The same, padded to 15 characters, for the two-byte decoder.
constexpr std::array<const char*, 4> kTransferTexts2 = {"Idle           ", "Busy -         ", "Complete       ",
                                                        "Error -        "};
constexpr const char* kUnknown2 = "Unknown Status ";
// Status byte 1 while busy, padded to 18 characters.
constexpr std::array<const char*, 4> kBusyTexts = {"Address Acked     ", "Address Nacked    ", "Read in Progress  ",
                                                   "Write in Progress "};
constexpr const char* kBusyUnknown = "Unknown Status    ";
// Status byte 1 after an error, not padded.
constexpr std::array<const char*, 6> kErrorDetailTexts = {"Timeout (Address Nacked)", "Timeout (Bus Not Free)",
                                                          "Arbitration Lost",         "Read Incomplete",
                                                          "Write Incomplete",         "Success After Retries"};

template <size_t N>
const char* text_of(const std::array<const char*, N>& texts, uint8_t value, const char* unknown) {
  return value < N ? texts[value] : unknown;
}

void piece(const char* text) { EMUL_DEBUG_PRINT(0, "%s", text); }

}  // namespace

void HidSmbus_DecodeErrorStatus(int32_t status) {
  EMUL_DEBUG_PRINT(0, "HidSmbus_DecodeErrorStatus\n");
  const char* text = kUnknown;
  for (const auto& [code, name] : kErrorTexts) {
    if (code == status) text = name;
  }
  piece(text);
  piece("\n");
}

void HidSmbus_DecodeTransferStatus(uint8_t status0) {
  EMUL_DEBUG_PRINT(0, "HidSmbus_DecodeTransferStatus\n");
  piece(text_of(kTransferTexts, status0, kUnknown));
  piece("\n");
}

void HidSmbus_DecodeTransferStatus2(uint8_t status0, uint8_t status1) {
  EMUL_DEBUG_PRINT(0, "HidSmbus_DecodeTransferStatus2\n");
  piece(text_of(kTransferTexts2, status0, kUnknown2));
  if (status0 == CP2112_STATUS_BUSY) piece(text_of(kBusyTexts, status1, kBusyUnknown));
  if (status0 == CP2112_STATUS_ERROR) piece(text_of(kErrorDetailTexts, status1, kUnknown));
  piece("\n");
}
