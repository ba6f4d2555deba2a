// Diagnostic console of the controller: device information, the master
// console, the matrix and image readers, and the run loop.
#pragma once

// Reads and prints one log record the controller announced (status 0x77)
// and acknowledges it. Returns the result of the acknowledging write.
int ReadLog(void);
// Reads and prints an image the controller announced (status 0xAA) and
// acknowledges it. Returns the result of the acknowledging write.
int ReadImage(void);
