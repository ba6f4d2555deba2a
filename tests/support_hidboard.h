// Virtual custom boards on the virtual HID bus for the driver and board
// control tests: each board carries its requests to one virtual KD63507.
#pragma once

#include "app/entry.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "hidboard_sim.h"
#include "kd63507.h"
#include "platform/hid_virtual.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

// The lines an open prints for a board of release 0x0100 with known report lengths.
inline std::string hidboard_attributes(uint16_t vid, uint16_t pid, int in = 64, int out = 64) {
  char text[300];
  std::snprintf(text, sizeof text,
                "VendorID : 0x%08x, ProductID : 0x%08x, VersionNumber : 0x00000100 \n\n"
                "InputReportByteLength : 0x%08x \n\nOutputReportByteLength : 0x%08x \n\n",
                vid, pid, in, out);
  return text;
}

class HidBoardBench : public ::testing::Test {
 protected:
  // The command-line pair the tests pass.
  static constexpr uint16_t kCommandVid = 0x0483;
  static constexpr uint16_t kCommandPid = 0x5750;

  void SetUp() override { hid_virtual_detach_all(); img_vid = kCommandVid; img_pid = kCommandPid; }
  void TearDown() override { usb_drv_qbm7750_close(); hid_virtual_detach_all(); }
  // Attaches a board at the end of the enumeration order.
  std::shared_ptr<VirtualHidBoard> attach_board(uint16_t vid = kCommandVid, uint16_t pid = kCommandPid) {
    auto board = std::make_shared<VirtualHidBoard>(&controller, vid, pid);
    hid_virtual_attach(board);
    return board;
  }
  // Runs an open that must find a board (its result 1), without its console lines.
  template <typename Open>
  void open_quietly(Open open) {
    testing::internal::CaptureStdout();
    const int opened = open();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(opened, 1);
  }

  VirtualKd63507 controller;
};
