// fwdownload-sim: the update on the virtual hardware (KDSIM_* settings).
#include "app/entry.h"
#include "sim_env.h"

int main(int argc, char** argv) { return fwdownload_main(argc, argv, kdsim_start); }
