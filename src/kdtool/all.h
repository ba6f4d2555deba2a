// kdtool update --all, verify --all, info --all and reset --all: one command on every
// usable bridge at once, for a production line with several fixtures on one
// host.
//
// Each board runs in a kdtool process of its own (the run state of an
// update is process-wide, and a crashed or hung board must not take the
// others with it): `kdtool --json --path P COMMAND ...` with the same global
// options. A path names one bridge; a serial may be on several boards, so
// the serial (escaped) is only the board's label, and the summary names a
// serial that more than one board reports. An update verifies the written
// range (--verify) unless --no-verify: the 128-byte-unit procedures cannot
// see a unit the controller stored wrongly otherwise. The parent lists the
// bridges with a `kdtool --json list` of its own, checks the command line
// and the file once before any board starts (exit 2), reads every child's
// JSON Lines and stderr, and tells the run:
//   terminal  one line per board redrawn in place (bar, percent, rate, time
//             left, then its verdict)
//   pipe      one line per board at its start, every 10 % and its verdict,
//             each prefixed with the board's label
//   --json    the children's JSON objects, each with "serial" and "path"
//             fields, then one "summary" object; the text summary goes to
//             stderr
// then a summary (one row per board and the counts) and a verdict line. A
// board that is attached but cannot be opened (in use, no permission) is a
// failure, or skipped with --skip-busy.
// --log-dir DIR keeps each board's text output in a log of its own, created
// new (never over a file, never through a symlink):
// DIR/UTCTIME-SERIAL-N.log, N the board's place in the listing, after a
// header (time, version, command line, image with its SHA-256, bridge). A
// log that cannot be created or written whole is a warning and fails the run.
//
// Exit codes: 0 every board succeeded, 1 any failed or was interrupted, or a
// log is not whole, 2 bad command line or file (nothing started), 3 no usable
// bridge. Ctrl+C, SIGTERM and SIGHUP reach every child (the terminal's go to
// the whole process group; one sent to the parent alone is passed on as it
// came), each ends its command in flight as a single run does, and the
// summary names the signal. On Windows the children share the parent's
// console: its Ctrl+C and Ctrl+Break reach each of them by themselves, and a
// closed console, a log off or a shut down count as SIGTERM. Should the
// parent end, each child ends its command in flight and stops.
// platform/process.h holds what this needs of the system.
#pragma once

#include "kdtool/kdtool.h"

namespace CLI {
class App;
}

// The environment variable that tells a child of kdtool --all its parent's
// process ID: should the parent end, the child ends its command in flight and
// stops.
constexpr char KDTOOL_ALL_PARENT[] = "KDTOOL_ALL_PARENT";

// Adds --all and --log-dir DIR to a command (update, verify, info, reset).
void kdtool_all_add_options(CLI::App* command);
// After the command line is read: whether --all or --log-dir was given.
bool kdtool_all_requested(void);
// Runs options.command on every usable bridge; exit code. argc/argv are
// kdtool's own: the children get the same options.
int kdtool_all_run(const KdtoolOptions& options, int argc, char** argv);
