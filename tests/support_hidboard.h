// Virtual custom boards on the virtual HID bus for the driver and board
// control tests: each board carries its requests to one virtual KD63507.
#pragma once

#include "app/entry.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "hidboard_sim.h"
#include "kd63507.h"
#include "platform/hid_virtual.h"

#include <gtest/gtest.h>

#include <memory>

class HidBoardBench : public ::testing::Test {
 protected:
  // The command-line pair the tests pass unless they say otherwise.
  static constexpr uint16_t kCommandVid = 0x0483;
  static constexpr uint16_t kCommandPid = 0x5750;

  void SetUp() override {
    hid_virtual_detach_all();
    img_vid = kCommandVid;
    img_pid = kCommandPid;
  }
  void TearDown() override {
    usb_drv_qbm7750_close();
    hid_virtual_detach_all();
  }

  // Attaches a board (at the end of the enumeration order) and returns it.
  std::shared_ptr<VirtualHidBoard> attach_board(uint16_t vid = kCommandVid, uint16_t pid = kCommandPid) {
    auto board = std::make_shared<VirtualHidBoard>(&controller, vid, pid);
    hid_virtual_attach(board);
    return board;
  }

  VirtualKd63507 controller;
};
