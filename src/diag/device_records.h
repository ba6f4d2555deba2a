// Host copies of the controller's configuration and control blocks. Each
// record mirrors its register block byte for byte (packed, little-endian
// fields, as the controller lays them out). All start zeroed.
#pragma once

#include <cstdint>

#pragma pack(push, 1)

struct tPanelInfo {  // register 0x0100
  char acProductName[16];
  uint16_t usResolutionX;
  uint16_t usResolutionY;
  uint8_t ucNodeX;
  uint8_t ucNodeY;
  uint8_t ucKeyNum;
};
static_assert(sizeof(tPanelInfo) == 23);

struct tSetterBlock {  // register 0x0610
  uint8_t ucMode;
  uint8_t ucEventInterruptType;
  uint8_t ucRecalibrate;
  uint8_t ucPowerConsumptionState;
  uint32_t ulGestureType;
  uint8_t ucDisableESDAlert;
  uint8_t ucChargerAttached;
  uint8_t ucGloveSensing;
  uint8_t ucSensingOnWindow;
  uint8_t ucPalmRejection;
  uint8_t ucDisableEdgeExpand;
};
static_assert(sizeof(tSetterBlock) == 14);

struct tEventFormatBlock {  // register 0x0200
  uint8_t aucReserved[4];
  uint16_t usPacketFormatId;
  uint8_t ucPacketItemSize;
};
static_assert(sizeof(tEventFormatBlock) == 7);

struct tImageInfoBlock {  // register 0x0C00
  uint16_t usBufferAddr;
  uint8_t aucReserved[2];
};
static_assert(sizeof(tImageInfoBlock) == 4);

struct tImageCtrlBlock {  // register 0x0C10: 0 none/ack, 1 raw, 2 filtered, 3 intensity
  uint8_t ucRequest;
};
static_assert(sizeof(tImageCtrlBlock) == 1);

struct tLogInfoBlock {  // register 0x1000
  uint16_t usBufferAddr;
  uint8_t aucReserved[2];
};
static_assert(sizeof(tLogInfoBlock) == 4);

struct tLogCtrlBlock {  // register 0x1010
  uint32_t ulLogMask;
  uint8_t bLogEnable;
};
static_assert(sizeof(tLogCtrlBlock) == 5);

struct tModuleCommonConfBlock {  // not loaded from the controller
  uint8_t aucData[40];  // byte 35: raw image rows, byte 36: columns
};
static_assert(sizeof(tModuleCommonConfBlock) == 40);

#pragma pack(pop)

// Register addresses of the blocks.
constexpr uint16_t REG_PANEL = 0x0100;
constexpr uint16_t REG_EVENT_FORMAT = 0x0200;
constexpr uint16_t REG_SETTER = 0x0610;
constexpr uint16_t REG_IMAGE_INFO = 0x0C00;
constexpr uint16_t REG_IMAGE_CTRL = 0x0C10;
constexpr uint16_t REG_LOG_INFO = 0x1000;
constexpr uint16_t REG_LOG_CTRL = 0x1010;

// The records themselves.
extern tPanelInfo tPanel;
extern tSetterBlock tSetter;
extern tEventFormatBlock tEventFormat;
extern tImageInfoBlock tImageInfo;
extern tImageCtrlBlock tImageCtrl;
extern tLogInfoBlock tLogInfo;
extern tLogCtrlBlock tLogCtrl;
extern tModuleCommonConfBlock tModuleCommonConf;
