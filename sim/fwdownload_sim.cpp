// fwdownload-sim: the update on the virtual hardware (KDSIM_* settings).
#include "app/entry.h"
#include "platform/file_open.h"
#include "sim_env.h"

int main(int argc, char** argv) {
  argv = platform_utf8_argv(&argc, argv);
  return fwdownload_main(argc, argv, kdsim_start);
}
