// The version of the package: every program of it reports this one.
#pragma once

constexpr char KDTOOL_VERSION[] = "1.1.0";
