// kdtool: the bench and production-line companion of fwdownload.
//
//   kdtool [OPTIONS] list | info | diag | update IMAGE CORE_VER APP_VER PARA_VER
//
// kdtool_main.cpp reads the command line and runs info, diag and update;
// kdtool_report.cpp lists bridges and writes the JSON documents.
#pragma once

#include "app/bringup.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr char KDTOOL_VERSION[] = "1.0.0";

struct KdtoolOptions {
  uint16_t vid = 0;  // custom board pair; the fallback pair when not given
  uint16_t pid = 0;
  BridgeChoice bridge = BridgeChoice::kAny;
  std::string path;    // use exactly this bridge ...
  std::string serial;  // ... or the one with this serial
  uint8_t address = 0x34;
  bool virtual_hardware = false;
  bool json = false;
  std::string command;
  std::vector<std::string> operands;
};

// list: every bridge, text or JSON. Exit code.
int kdtool_list(const KdtoolOptions& options);
// info --json: reads the controller's information blocks (the bridge is up)
// and returns them as one JSON document, each block null when its read
// failed.
std::string kdtool_info_json(const KdtoolOptions& options);

// `text` as a JSON string literal, quotes included.
std::string json_string(const std::string& text);
