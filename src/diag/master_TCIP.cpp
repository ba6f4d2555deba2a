#include "diag/master_TCIP.h"

// Placeholders: the ready waits call these by name while the controller's
// logging protocol is on, which the update never turns on. The diagnostic
// console replaces them with the log and image readers.
int ReadLog(void) { return 0; }
int ReadImage(void) { return 0; }
