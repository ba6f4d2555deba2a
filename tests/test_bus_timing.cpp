// The bus-timing model of the virtual bridges: its frame and bit-time
// arithmetic, and what it counts for a small exchange through the real
// drivers. No wall-clock assertions: the model's own clock is checked.
#include "app/bringup.h"
#include "app/device_mode.h"
#include "app/entry.h"
#include "app/iap_update.h"
#include "app/master.h"
#include "bridge/hidboard/usb_drv_qbm7750.h"
#include "bus_timing.h"
#include "cp2112_sim.h"
#include "diag/device_records.h"
#include "hidboard_sim.h"
#include "kd63507.h"

#include <gtest/gtest.h>

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(BusTiming, FramesAndBitTimes) {
  // 9 bit times per byte, plus the address byte, start and stop.
  EXPECT_EQ(BusTiming::bits(0), 11);
  EXPECT_EQ(BusTiming::bits(18), 173);
  EXPECT_EQ(BusTiming::bus_time(18, 200000), microseconds(865));
  EXPECT_EQ(BusTiming::bus_time(1, 100000), microseconds(200));

  BusTiming model;  // times are offsets from the model's origin
  EXPECT_EQ(model.book_out(microseconds(300)), milliseconds(1));
  EXPECT_EQ(model.book_out(microseconds(300)), milliseconds(2));  // one report per frame
  EXPECT_EQ(model.book_out(milliseconds(2)), milliseconds(3));    // a frame's schedule is built before it starts
  // Two 48-byte writes back to back: the second waits for the bus; the third
  // report waits until the second is on the bus (one request buffered).
  const auto length = BusTiming::bus_time(48, 200000);
  EXPECT_EQ(model.book_bus(milliseconds(2), 48), milliseconds(2) + length);
  EXPECT_EQ(model.book_bus(milliseconds(3), 48), milliseconds(2) + 2 * length);
  EXPECT_EQ(model.book_out(milliseconds(3)), milliseconds(5));
  EXPECT_EQ(model.book_in(microseconds(5100)), milliseconds(6));
  EXPECT_EQ(model.book_in(microseconds(5100)), milliseconds(7));
  EXPECT_EQ(model.counters.out_reports, 4);
  EXPECT_EQ(model.counters.in_reports, 2);
  EXPECT_EQ(model.counters.i2c_transfers, 2);
  EXPECT_EQ(model.counters.i2c_bytes, 96);
  EXPECT_EQ(model.counters.bus_busy, 2 * length);
}

// A 16-byte register write and a status read through each bridge's driver.
TEST(BusTiming, ARegisterWriteAndAStatusReadAreCounted) {
  struct Case {
    bool cp2112;
    long out, in;  // the CP2112's first read after its open settles first
    long polls;
  };
  for (const Case& c : {Case{false, 3, 1, 1}, Case{true, 4, 2, 1}}) {
    SCOPED_TRACE(c.cp2112 ? "cp2112" : "custom board");
    VirtualKd63507 kd;
    hid_virtual_detach_all();
    hid_transport_start(&hid_transport_virtual);
    BusTiming* timing = nullptr;
    if (c.cp2112) {
      auto chip = std::make_shared<VirtualCp2112>(&kd);
      timing = &chip->timing;
      hid_virtual_attach(chip);
    } else {
      auto board = std::make_shared<VirtualHidBoard>(&kd, QBM7750_FALLBACK_VID, QBM7750_FALLBACK_PID);
      timing = &board->timing;
      hid_virtual_attach(board);
    }
    timing->enabled = true;
    testing::internal::CaptureStdout();
    bridge_select(c.cp2112 ? BridgeChoice::kCp2112 : BridgeChoice::kCustom);
    emul_i2c_set_slave_addr(0, DEFAULT_SLAVE_ADDR);
    emul_i2c_set_speed(200000);
    testing::internal::GetCapturedStdout();
    timing->counters = {};

    const uint8_t data[16] = {};
    ASSERT_EQ(i2c_write_to(REG_IAP_WINDOW, data, sizeof data), 1);
    uint8_t status = 0;
    ASSERT_EQ(i2c_read_from(REG_STATUS, &status, 1), 1);
    EXPECT_EQ(status, VirtualKd63507::kStatusReady);

    EXPECT_EQ(timing->counters.out_reports, c.out);
    EXPECT_EQ(timing->counters.in_reports, c.in);
    EXPECT_EQ(timing->counters.control_transfers, 0);
    EXPECT_EQ(timing->counters.i2c_transfers, 3);
    EXPECT_EQ(timing->counters.i2c_bytes, 18 + 2 + 1);
    EXPECT_EQ(timing->counters.bus_busy, BusTiming::bus_time(18, 200000) + BusTiming::bus_time(2, 200000) +
                                             BusTiming::bus_time(1, 200000));
    EXPECT_EQ(kd.status_reads(), c.polls);
    target_shut_down();
    hid_virtual_detach_all();
  }
}
