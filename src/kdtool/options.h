// kdtool's command line (options.cpp), as main.cpp uses it: the usage texts,
// the reading of the command line, and the one way a usage error is told.
#pragma once

#include "kdtool/kdtool.h"

#include <string>

// The synopsis atop the help, and the exit codes below it.
extern const char KDTOOL_SYNOPSIS[];
extern const char KDTOOL_EXIT_CODES[];

// --json anywhere on the command line (main sets it before the command line
// is read): a usage error then also ends stdout with its end object.
extern bool kdtool_json_failures;

// A usage error: the message and the pointer to --help on stderr (and with
// --json the end object on stdout); EXIT_BAD_INPUT.
int kdtool_bad_usage(const std::string& message);

// Reads the command line into `options`; 0, or the exit code (help and
// version end with 0).
int kdtool_parse(int argc, char** argv, KdtoolOptions& options);
