// Search, open, close and whole-report transfers of the custom board's driver,
// on the virtual HID bus.
#include "bridge/hidboard/usb_drv_qbm7750.h"

#include "support_hidboard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// The lines an open prints for a 64/64-byte board with release 0x0100.
std::string attribute_lines(uint16_t vid, uint16_t pid) {
  char text[200];
  std::snprintf(text, sizeof text,
                "VendorID : 0x%08x, ProductID : 0x%08x, VersionNumber : 0x00000100 \n\n"
                "InputReportByteLength : 0x00000040 \n\n"
                "OutputReportByteLength : 0x00000040 \n\n",
                vid, pid);
  return text;
}

class UsbDrvQbm7750 : public HidBoardBench {
 protected:
  int open_capturing(std::string* out) {
    CaptureStdout();
    const int result = usb_drv_qbm7750_open();
    *out = GetCapturedStdout();
    return result;
  }
};

TEST_F(UsbDrvQbm7750, CommandLinePairIsSearchedBeforeTheFallbackPair) {
  auto fallback = attach_board(QBM7750_FALLBACK_VID, QBM7750_FALLBACK_PID);
  auto wanted = attach_board();
  std::string out;
  EXPECT_EQ(open_capturing(&out), 1);
  EXPECT_EQ(out, attribute_lines(kCommandVid, kCommandPid));
  EXPECT_EQ(wanted->open_count, 1);
  EXPECT_EQ(fallback->open_count, 0);

  const tHIDDevice* device = usb_drv_qbm7750_init();  // a second open starts over
  EXPECT_EQ(device->bOpened, 1);
  EXPECT_EQ(device->bAltIds, 0);
  EXPECT_EQ(wanted->open_count, 1);
}

TEST_F(UsbDrvQbm7750, FallbackPairAnnouncesItselfBeforeTheAttributes) {
  auto board = attach_board(QBM7750_FALLBACK_VID, QBM7750_FALLBACK_PID);
  CaptureStdout();
  const tHIDDevice* device = usb_drv_qbm7750_init();
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(out, "VID:0x00001209 PID:0x00007750\n" + attribute_lines(0x1209, 0x7750));
  ASSERT_EQ(device->bOpened, 1);
  EXPECT_EQ(device->bAltIds, 1);
  EXPECT_EQ(device->wVID, 0x1209);
  EXPECT_EQ(device->wPID, 0x7750);
  ASSERT_EQ(device->g_InputLength, 64);
  ASSERT_EQ(device->g_OutputLength, 64);
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(device->pInputReport[i], 0);
    EXPECT_EQ(device->pOutputReport[i], 0);
  }
}

TEST_F(UsbDrvQbm7750, OfTwoMatchingBoardsTheFirstEnumeratedIsOpened) {
  auto first = attach_board();
  auto second = attach_board();
  std::string out;
  EXPECT_EQ(open_capturing(&out), 1);
  EXPECT_EQ(first->open_count, 1);
  EXPECT_EQ(second->open_count, 0);

  const uint8_t report[64] = {0x09, 0x68};
  EXPECT_EQ(usb_drv_qbm7750_write(report, sizeof report), 1);
  EXPECT_EQ(first->requests().size(), 1u);
  EXPECT_TRUE(second->requests().empty());
}

TEST_F(UsbDrvQbm7750, BoardThatCannotBeOpenedIsNamedAndSkipped) {
  auto refused = attach_board();
  refused->refuse_open = true;
  auto usable = attach_board();
  std::string out;
  EXPECT_EQ(open_capturing(&out), 1);
  EXPECT_EQ(out, "Cannot open HID device 0483:5750: permission denied\n" + attribute_lines(kCommandVid, kCommandPid));
  EXPECT_EQ(usable->open_count, 1);
}

TEST_F(UsbDrvQbm7750, UnopenableBoardIsNotTriedAgainUnderTheFallbackPair) {
  img_vid = QBM7750_FALLBACK_VID;
  img_pid = QBM7750_FALLBACK_PID;
  attach_board(QBM7750_FALLBACK_VID, QBM7750_FALLBACK_PID)->refuse_open = true;
  std::string out;
  EXPECT_EQ(open_capturing(&out), 0);
  EXPECT_EQ(out, "Cannot open HID device 1209:7750: permission denied\n");
}

TEST_F(UsbDrvQbm7750, BoardWithoutUsableReportLengthsCountsAsNotFound) {
  auto unknown = attach_board();
  unknown->info.input_report_length = 0;
  unknown->info.output_report_length = 0;
  auto short_reports = attach_board();
  short_reports->info.output_report_length = 63;
  std::string out;
  EXPECT_EQ(open_capturing(&out), 0);
  EXPECT_EQ(out,
            "VendorID : 0x00000483, ProductID : 0x00005750, VersionNumber : 0x00000100 \n\n"
            "HidD_GetPreparsedData Error \n"
            "HID device 0483:5750 (virtual:0): report lengths unknown, skipped.\n"
            "VendorID : 0x00000483, ProductID : 0x00005750, VersionNumber : 0x00000100 \n\n"
            "InputReportByteLength : 0x00000040 \n\n"
            "OutputReportByteLength : 0x0000003f \n\n"
            "HID device 0483:5750 (virtual:1): reports shorter than 64 bytes, skipped.\n");
  EXPECT_EQ(unknown->open_count, 0);
  EXPECT_EQ(short_reports->open_count, 0);
  EXPECT_EQ(usb_drv_qbm7750_init()->bOpened, 0);
}

TEST_F(UsbDrvQbm7750, UnusableBoardGivesWayToTheFallbackPair) {
  attach_board()->info.input_report_length = 32;
  auto fallback = attach_board(QBM7750_FALLBACK_VID, QBM7750_FALLBACK_PID);
  std::string out;
  EXPECT_EQ(open_capturing(&out), 1);
  EXPECT_EQ(fallback->open_count, 1);
  EXPECT_EQ(usb_drv_qbm7750_init()->bAltIds, 1);
}

TEST_F(UsbDrvQbm7750, NoBoardPrintsNothingAndAllocatesNothing) {
  attach_board(0x10C4, 0xEA90);  // another bridge altogether
  CaptureStdout();
  const tHIDDevice* device = usb_drv_qbm7750_init();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(device->bOpened, 0);
  EXPECT_EQ(device->pInputReport, nullptr);
  EXPECT_EQ(device->pOutputReport, nullptr);
  EXPECT_EQ(device->hDevice, nullptr);
}

TEST_F(UsbDrvQbm7750, CloseIsSafeTwiceAndTransfersAfterItDoNothing) {
  usb_drv_qbm7750_close();  // nothing open yet
  auto board = attach_board();
  std::string out;
  ASSERT_EQ(open_capturing(&out), 1);
  usb_drv_qbm7750_close();
  usb_drv_qbm7750_close();
  const tHIDDevice* device = usb_drv_qbm7750_init();
  ASSERT_EQ(device->bOpened, 1);
  usb_drv_qbm7750_close();
  EXPECT_EQ(board->open_count, 0);
  EXPECT_EQ(device->bOpened, 0);
  EXPECT_EQ(device->pOutputReport, nullptr);

  uint8_t report[64] = {0x09, 0x69, 0x01, 0x00};
  EXPECT_EQ(usb_drv_qbm7750_write(report, sizeof report), 0);
  EXPECT_EQ(usb_drv_qbm7750_read(report, sizeof report), 0);
  EXPECT_TRUE(board->requests().empty());
}

TEST_F(UsbDrvQbm7750, ReadWithoutAnAnswerFailsInsteadOfWaitingForever) {
  auto board = attach_board();
  std::string out;
  ASSERT_EQ(open_capturing(&out), 1);
  uint8_t report[64] = {0x09, 0x68, 0x02, 0x00, 0x06, 0x00};
  ASSERT_EQ(usb_drv_qbm7750_write(report, sizeof report), 1);  // a write request: no answer comes
  EXPECT_EQ(usb_drv_qbm7750_read(report, sizeof report), 0);

  report[1] = 0x69;  // a read request is answered
  ASSERT_EQ(usb_drv_qbm7750_write(report, sizeof report), 1);
  EXPECT_EQ(usb_drv_qbm7750_read(report, sizeof report), 1);
  EXPECT_EQ(report[4], VirtualKd63507::kStatusReady);
}

TEST_F(UsbDrvQbm7750, UnpluggedBoardFailsEveryTransfer) {
  auto board = attach_board();
  std::string out;
  ASSERT_EQ(open_capturing(&out), 1);
  board->unplugged = true;
  uint8_t report[64] = {0x09, 0x69, 0x01, 0x00};
  EXPECT_EQ(usb_drv_qbm7750_write(report, sizeof report), 0);
  EXPECT_EQ(usb_drv_qbm7750_read(report, sizeof report), 0);
  usb_drv_qbm7750_close();
  EXPECT_EQ(board->open_count, 0);
}

}  // namespace
