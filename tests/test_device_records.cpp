// The records mirror register blocks byte for byte: a field at the wrong
// offset would silently corrupt every block written back to the controller.
#include "diag/device_records.h"

#include <gtest/gtest.h>

#include <cstddef>

TEST(DeviceRecords, FieldsSitAtTheControllersOffsets) {
  EXPECT_EQ(offsetof(tPanelInfo, usResolutionX), 16u);
  EXPECT_EQ(offsetof(tPanelInfo, ucKeyNum), 22u);
  EXPECT_EQ(offsetof(tSetterBlock, ulGestureType), 4u);
  EXPECT_EQ(offsetof(tSetterBlock, ucDisableEdgeExpand), 13u);
  EXPECT_EQ(offsetof(tEventFormatBlock, usPacketFormatId), 4u);
  EXPECT_EQ(offsetof(tEventFormatBlock, ucPacketItemSize), 6u);
  EXPECT_EQ(offsetof(tLogCtrlBlock, bLogEnable), 4u);
}
