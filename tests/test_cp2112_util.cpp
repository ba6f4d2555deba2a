// Status texts of the CP2112 bridge, as the trace hook receives them: the
// decoder's own line, the text piece(s), then "\n".
#include "bridge/cp2112/cp2112_util.h"
#include "support_cp2112.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Pieces = std::vector<std::string>;

Pieces error_pieces(int32_t status) {
  TraceCapture trace;
  HidSmbus_DecodeErrorStatus(status);
  return TraceCapture::pieces();
}

Pieces transfer_pieces(uint8_t status0) {
  TraceCapture trace;
  HidSmbus_DecodeTransferStatus(status0);
  return TraceCapture::pieces();
}

Pieces transfer2_pieces(uint8_t status0, uint8_t status1) {
  TraceCapture trace;
  HidSmbus_DecodeTransferStatus2(status0, status1);
  return TraceCapture::pieces();
}

TEST(Cp2112Util, ErrorStatusTexts) {
  const std::vector<std::pair<int32_t, const char*>> rows = {
      {0x00, "HID_SMBUS_SUCCESS"},
      {0x01, "HID_SMBUS_DEVICE_NOT_FOUND"},
      {0x02, "HID_SMBUS_INVALID_HANDLE"},
      {0x03, "HID_SMBUS_INVALID_DEVICE_OBJECT"},
      {0x04, "HID_SMBUS_INVALID_PARAMETER"},
      {0x05, "HID_SMBUS_INVALID_REQUEST_LENGTH"},
      {0x10, "HID_SMBUS_READ_ERROR"},
      {0x11, "HID_SMBUS_WRITE_ERROR"},
      {0x12, "HID_SMBUS_READ_TIMED_OUT"},
      {0x13, "HID_SMBUS_WRITE_TIMED_OUT"},
      {0x14, "HID_SMBUS_DEVICE_IO_FAILED"},
      {0x15, "HID_SMBUS_DEVICE_ACCESS_ERROR"},
      {0x16, "HID_SMBUS_DEVICE_NOT_SUPPORTED"},
      {0xFF, "HID_SMBUS_UNKNOWN_ERROR"},
  };
  for (const auto& [status, text] : rows) {
    EXPECT_EQ(error_pieces(status), (Pieces{"HidSmbus_DecodeErrorStatus\n", text, "\n"})) << status;
  }
  for (int32_t status : {0x06, 0x0F, 0x17, 0xFE, 0x100, 0x1FF, -1, -255, INT32_MIN}) {
    EXPECT_EQ(error_pieces(status), (Pieces{"HidSmbus_DecodeErrorStatus\n", "Unknown Status", "\n"})) << status;
  }
}

TEST(Cp2112Util, TransferStatusTexts) {
  const char* texts[] = {"Idle", "Busy", "Complete", "Error"};
  for (uint8_t status = 0; status < 4; ++status) {
    EXPECT_EQ(transfer_pieces(status), (Pieces{"HidSmbus_DecodeTransferStatus\n", texts[status], "\n"}));
  }
  for (uint8_t status : {4, 5, 0x80, 0xFF}) {
    EXPECT_EQ(transfer_pieces(status), (Pieces{"HidSmbus_DecodeTransferStatus\n", "Unknown Status", "\n"}));
  }
}

TEST(Cp2112Util, TransferStatus2IdleCompleteAndUnknownIgnoreTheSecondByte) {
  for (uint8_t detail : {0, 3, 5, 0xFF}) {
    EXPECT_EQ(transfer2_pieces(0, detail), (Pieces{"HidSmbus_DecodeTransferStatus2\n", "Idle           ", "\n"}));
    EXPECT_EQ(transfer2_pieces(2, detail), (Pieces{"HidSmbus_DecodeTransferStatus2\n", "Complete       ", "\n"}));
    EXPECT_EQ(transfer2_pieces(4, detail), (Pieces{"HidSmbus_DecodeTransferStatus2\n", "Unknown Status ", "\n"}));
    EXPECT_EQ(transfer2_pieces(0xFF, detail),
              (Pieces{"HidSmbus_DecodeTransferStatus2\n", "Unknown Status ", "\n"}));
  }
}

TEST(Cp2112Util, TransferStatus2BusyDetails) {
  const char* texts[] = {"Address Acked     ", "Address Nacked    ", "Read in Progress  ", "Write in Progress "};
  for (uint8_t detail = 0; detail < 4; ++detail) {
    EXPECT_EQ(transfer2_pieces(1, detail),
              (Pieces{"HidSmbus_DecodeTransferStatus2\n", "Busy -         ", texts[detail], "\n"}));
  }
  for (uint8_t detail : {4, 5, 0xFF}) {
    EXPECT_EQ(transfer2_pieces(1, detail),
              (Pieces{"HidSmbus_DecodeTransferStatus2\n", "Busy -         ", "Unknown Status    ", "\n"}));
  }
}

TEST(Cp2112Util, TransferStatus2ErrorDetails) {
  const char* texts[] = {"Timeout (Address Nacked)", "Timeout (Bus Not Free)", "Arbitration Lost",
                         "Read Incomplete",          "Write Incomplete",       "Success After Retries"};
  for (uint8_t detail = 0; detail < 6; ++detail) {
    EXPECT_EQ(transfer2_pieces(3, detail),
              (Pieces{"HidSmbus_DecodeTransferStatus2\n", "Error -        ", texts[detail], "\n"}));
  }
  for (uint8_t detail : {6, 0x10, 0xFF}) {
    EXPECT_EQ(transfer2_pieces(3, detail),
              (Pieces{"HidSmbus_DecodeTransferStatus2\n", "Error -        ", "Unknown Status", "\n"}));
  }
}

TEST(Cp2112Util, PaddedTextsHaveTheirFixedWidths) {
  for (uint8_t status0 = 0; status0 < 6; ++status0) {
    EXPECT_EQ(transfer2_pieces(status0, 0)[1].size(), 15u);
  }
  for (uint8_t detail = 0; detail < 6; ++detail) {
    EXPECT_EQ(transfer2_pieces(1, detail)[2].size(), 18u);
  }
}

}  // namespace
