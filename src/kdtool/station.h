// kdtool station: a production station. Every usable bridge is a slot (a
// fixture); the operator puts a module into a fixture, the station flashes
// it (one `kdtool --json --path P update ... --verify` child per unit, as
// the --all runner runs its boards), records the unit, switches its power
// off and waits for the module to be taken out before it takes the next;
// for a whole shift, on every slot at once, bridges that come later too.
//
//   kdtool [OPTIONS] station IMAGE CORE_VER APP_VER PARA_VER [--record FILE]
//          [--csv FILE] [--count N] [--trigger auto|key] [--wait S]
//          [--no-verify] [--force]
//   kdtool [OPTIONS] station --summary FILE
//
// Every unit is appended to --record FILE as one JSON Lines record (and a
// row of --csv FILE), put on the disk before its slot takes the next unit.
// Exit codes: 0 every unit passed, 1 a unit failed or was interrupted, or a
// record could not be written, 2 bad command line, image or record file
// (nothing powered), 3 no usable bridge at start nor within --wait S. See
// docs/station.md.
#pragma once

#include "kdtool/kdtool.h"

namespace CLI {
class App;
}

// Adds the station command and its options.
CLI::App* kdtool_station_add_command(CLI::App* app);
// Runs it; exit code. argc/argv are kdtool's own.
int kdtool_station_run(const KdtoolOptions& options, int argc, char** argv);
