#include "platform/host.h"

#include <unistd.h>

std::string platform_host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown";
  return name;
}
