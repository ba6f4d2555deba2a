// The name of this computer, for the records a production station keeps.
#pragma once

#include <string>

// The host name as the system gives it; "unknown" when it gives none.
std::string platform_host_name();
