// Stand-in for the master console's help list until the console lands.
#include "diag/master_TCIP.h"

#include <cstdio>

void print_command_list(void) { std::puts("'TCIP_4.x' Protocol --------------------------------------------"); }
