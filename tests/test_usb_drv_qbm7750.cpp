// Search, open, close and whole-report transfers of the custom board's driver,
// on the virtual HID bus.
#include "bridge/hidboard/usb_drv_qbm7750.h"

#include "support_hidboard.h"

#include <string>
#include <vector>

namespace {

struct TestBoard {
  uint16_t vid, pid;
  bool refuse = false;
  uint16_t in = 64, out = 64;
};
constexpr TestBoard kCommand{0x0483, 0x5750}, kFallback{0x1209, 0x7750};
const std::string kFallbackLine = "VID:0x00001209 PID:0x00007750\n";

using UsbDrvQbm7750 = HidBoardBench;

TEST_F(UsbDrvQbm7750, SearchRules) {
  struct Case {
    const char* name;
    std::vector<TestBoard> boards;
    std::string out;
    int opened;  // index of the board left open, -1 for none
    int alt_ids = 0, command_is_fallback = 0;
  };
  const std::vector<Case> cases = {
      {"command-line pair first", {kFallback, kCommand}, hidboard_attributes(0x0483, 0x5750), 1},
      {"fallback pair with its line", {kFallback}, kFallbackLine + hidboard_attributes(0x1209, 0x7750), 0, 1},
      {"two matching boards", {kCommand, kCommand}, hidboard_attributes(0x0483, 0x5750), 0},
      {"board that cannot be opened", {{0x0483, 0x5750, true}, kCommand},
       "Cannot open HID device 0483:5750: permission denied\n" + hidboard_attributes(0x0483, 0x5750), 1},
      {"unopenable board not tried again as the fallback pair", {{0x1209, 0x7750, true}},
       "Cannot open HID device 1209:7750: permission denied\n", -1, 0, 1},
      {"unusable boards give way to the fallback pair",
       {{0x0483, 0x5750, false, 0, 0}, {0x0483, 0x5750, false, 64, 63}, kFallback},
       "VendorID : 0x00000483, ProductID : 0x00005750, VersionNumber : 0x00000100 \n\nHidD_GetPreparsedData Error \n"
       "HID device 0483:5750 (virtual:0): report lengths unknown, skipped.\n" +
           hidboard_attributes(0x0483, 0x5750, 64, 63) +
           "HID device 0483:5750 (virtual:1): reports shorter than 64 bytes, skipped.\n" + kFallbackLine +
           hidboard_attributes(0x1209, 0x7750),
       2, 1},
      {"another bridge only", {{0x10C4, 0xEA90}}, "", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hid_virtual_detach_all();
    img_vid = c.command_is_fallback ? QBM7750_FALLBACK_VID : kCommandVid;
    img_pid = c.command_is_fallback ? QBM7750_FALLBACK_PID : kCommandPid;
    std::vector<std::shared_ptr<VirtualHidBoard>> boards;
    for (const TestBoard& wanted : c.boards) {
      boards.push_back(attach_board(wanted.vid, wanted.pid));
      boards.back()->refuse_open = wanted.refuse;
      boards.back()->info.input_report_length = wanted.in;
      boards.back()->info.output_report_length = wanted.out;
    }
    testing::internal::CaptureStdout();
    const tHIDDevice* device = usb_drv_qbm7750_init();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    for (size_t i = 0; i < boards.size(); ++i) EXPECT_EQ(boards[i]->open_count, c.opened == int(i) ? 1 : 0) << i;
    EXPECT_EQ(device->bOpened, c.opened >= 0 ? 1 : 0);
    EXPECT_EQ(c.opened >= 0 ? device->bAltIds : 0, c.alt_ids);
    // Nothing found: no handle, no report buffers.
    EXPECT_EQ(!device->hDevice && !device->pInputReport && !device->pOutputReport, c.opened < 0);
  }
}

TEST_F(UsbDrvQbm7750, ReadsHaveATimeLimitAndCloseEndsEveryTransfer) {
  auto board = attach_board();
  usb_drv_qbm7750_close();  // nothing open yet
  const tHIDDevice* device = nullptr;
  open_quietly([&] { return (device = usb_drv_qbm7750_init())->bOpened; });
  uint8_t report[64] = {0x09, 0x68, 0x02, 0x00, 0x06, 0x00};
  ASSERT_EQ(usb_drv_qbm7750_write(report, sizeof report), 1);  // a write request: no answer comes
  EXPECT_EQ(usb_drv_qbm7750_read(report, sizeof report), 0);
  report[1] = 0x69;  // a read request is answered
  ASSERT_EQ(usb_drv_qbm7750_write(report, sizeof report), 1);
  EXPECT_EQ(usb_drv_qbm7750_read(report, sizeof report), 1);
  EXPECT_EQ(report[4], VirtualKd63507::kStatusReady);

  usb_drv_qbm7750_close();
  usb_drv_qbm7750_close();
  EXPECT_EQ(board->open_count, 0);
  EXPECT_TRUE(device->bOpened == 0 && device->pOutputReport == nullptr && device->hDevice == nullptr);
  EXPECT_EQ(usb_drv_qbm7750_write(report, sizeof report), 0);
  EXPECT_EQ(usb_drv_qbm7750_read(report, sizeof report), 0);
  EXPECT_EQ(board->requests().size(), 2u);
}

}  // namespace
