// Status texts of the CP2112 bridge, as the trace hook receives them: the
// decoder's own line, the text piece(s), then "\n". One table per decoder.
#include "bridge/cp2112/cp2112_util.h"
#include "support_cp2112.h"

#include <gtest/gtest.h>

namespace {

using Pieces = std::vector<std::string>;
const char* const kUnknown = "Unknown Status";

template <typename Decode>
Pieces traced(Decode decode) {
  TraceCapture trace;
  decode();
  return TraceCapture::pieces;
}

TEST(Cp2112Util, ErrorStatusTexts) {
  const std::pair<int32_t, const char*> rows[] = {
      {0x00, "HID_SMBUS_SUCCESS"}, {0x01, "HID_SMBUS_DEVICE_NOT_FOUND"}, {0x02, "HID_SMBUS_INVALID_HANDLE"},
      {0x03, "HID_SMBUS_INVALID_DEVICE_OBJECT"}, {0x04, "HID_SMBUS_INVALID_PARAMETER"},
      {0x05, "HID_SMBUS_INVALID_REQUEST_LENGTH"}, {0x10, "HID_SMBUS_READ_ERROR"}, {0x11, "HID_SMBUS_WRITE_ERROR"},
      {0x12, "HID_SMBUS_READ_TIMED_OUT"}, {0x13, "HID_SMBUS_WRITE_TIMED_OUT"}, {0x14, "HID_SMBUS_DEVICE_IO_FAILED"},
      {0x15, "HID_SMBUS_DEVICE_ACCESS_ERROR"}, {0x16, "HID_SMBUS_DEVICE_NOT_SUPPORTED"},
      {0xFF, "HID_SMBUS_UNKNOWN_ERROR"}, {0x06, kUnknown}, {0x0F, kUnknown}, {0x17, kUnknown}, {0xFE, kUnknown},
      {0x100, kUnknown}, {0x1FF, kUnknown}, {-1, kUnknown}, {INT32_MIN, kUnknown}};
  for (const auto& [status, text] : rows) {
    const Pieces want{"HidSmbus_DecodeErrorStatus\n", text, "\n"};
    EXPECT_EQ(traced([s = status] { HidSmbus_DecodeErrorStatus(s); }), want) << status;
  }
}

TEST(Cp2112Util, TransferStatusTexts) {
  const std::pair<uint8_t, const char*> rows[] = {{0, "Idle"},  {1, "Busy"},     {2, "Complete"},
                                                  {3, "Error"}, {4, kUnknown}, {0xFF, kUnknown}};
  for (const auto& [status, text] : rows) {
    const Pieces want{"HidSmbus_DecodeTransferStatus\n", text, "\n"};
    EXPECT_EQ(traced([s = status] { HidSmbus_DecodeTransferStatus(s); }), want) << int{status};
  }
}

TEST(Cp2112Util, TransferStatus2Texts) {
  const char *const busy = "Busy -         ", *const error = "Error -        ";
  const struct {
    uint8_t status0, status1;
    Pieces text;
  } rows[] = {
      {0, 0xFF, {"Idle           "}}, {2, 3, {"Complete       "}}, {4, 0, {"Unknown Status "}},
      {0xFF, 5, {"Unknown Status "}}, {1, 0, {busy, "Address Acked     "}}, {1, 1, {busy, "Address Nacked    "}},
      {1, 2, {busy, "Read in Progress  "}}, {1, 3, {busy, "Write in Progress "}},
      {1, 4, {busy, "Unknown Status    "}}, {1, 0xFF, {busy, "Unknown Status    "}},
      {3, 0, {error, "Timeout (Address Nacked)"}}, {3, 1, {error, "Timeout (Bus Not Free)"}},
      {3, 2, {error, "Arbitration Lost"}}, {3, 3, {error, "Read Incomplete"}}, {3, 4, {error, "Write Incomplete"}},
      {3, 5, {error, "Success After Retries"}}, {3, 6, {error, kUnknown}}, {3, 0xFF, {error, kUnknown}}};
  for (const auto& row : rows) {
    Pieces want{"HidSmbus_DecodeTransferStatus2\n"};
    for (const std::string& piece : row.text) want.push_back(piece);
    want.emplace_back("\n");
    EXPECT_EQ(traced([&row] { HidSmbus_DecodeTransferStatus2(row.status0, row.status1); }), want)
        << int{row.status0} << "/" << int{row.status1};
  }
}

}  // namespace
