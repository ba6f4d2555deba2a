// The records mirror register blocks byte for byte: a field at the wrong
// offset would silently corrupt every block written back to the controller.
#include "diag/device_records.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

TEST(DeviceRecords, FieldsSitAtTheControllersOffsets) {
  EXPECT_EQ(offsetof(tPanelInfo, usResolutionX), 16u);
  EXPECT_EQ(offsetof(tPanelInfo, ucKeyNum), 22u);
  EXPECT_EQ(offsetof(tSetterBlock, ulGestureType), 4u);
  EXPECT_EQ(offsetof(tSetterBlock, ucDisableESDAlert), 8u);
  EXPECT_EQ(offsetof(tSetterBlock, ucDisableEdgeExpand), 13u);
  EXPECT_EQ(offsetof(tEventFormatBlock, usPacketFormatId), 4u);
  EXPECT_EQ(offsetof(tEventFormatBlock, ucPacketItemSize), 6u);
  EXPECT_EQ(offsetof(tLogCtrlBlock, bLogEnable), 4u);
}

TEST(DeviceRecords, MultiByteFieldsAreLittleEndianInTheBlock) {
  tLogCtrlBlock block{};
  block.ulLogMask = 0x04030201;
  block.bLogEnable = 1;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&block);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[3], 0x04);
  EXPECT_EQ(bytes[4], 0x01);
}

TEST(DeviceRecords, AllStartZeroed) {
  const auto zero = [](const void* record, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(record);
    for (size_t i = 0; i < size; ++i)
      if (bytes[i] != 0) return false;
    return true;
  };
  EXPECT_TRUE(zero(&tPanel, sizeof tPanel));
  EXPECT_TRUE(zero(&tSetter, sizeof tSetter));
  EXPECT_TRUE(zero(&tEventFormat, sizeof tEventFormat));
  EXPECT_TRUE(zero(&tImageInfo, sizeof tImageInfo));
  EXPECT_TRUE(zero(&tImageCtrl, sizeof tImageCtrl));
  EXPECT_TRUE(zero(&tLogInfo, sizeof tLogInfo));
  EXPECT_TRUE(zero(&tLogCtrl, sizeof tLogCtrl));
  EXPECT_TRUE(zero(&tModuleCommonConf, sizeof tModuleCommonConf));
}

}  // namespace
