#include "sim_env.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// No virtual bridge is built yet: every value other than "none" is refused so
// that a run never pretends to have hardware it does not have.
int kdsim_setup_from_environment(void) {
  const char* bridge = std::getenv("KDSIM_BRIDGE");
  if (bridge != nullptr && std::strcmp(bridge, "none") != 0 && std::strcmp(bridge, "custom") != 0) {
    std::printf("KDSIM_BRIDGE: unknown value \"%s\" (custom, cp2112, both or none)\n", bridge);
    return 2;
  }
  return 0;
}
