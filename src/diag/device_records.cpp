#include "diag/device_records.h"

tPanelInfo tPanel = {};
tSetterBlock tSetter = {};
tEventFormatBlock tEventFormat = {};
tImageInfoBlock tImageInfo = {};
tImageCtrlBlock tImageCtrl = {};
tLogInfoBlock tLogInfo = {};
tLogCtrlBlock tLogCtrl = {};
tModuleCommonConfBlock tModuleCommonConf = {};
