// Paths the user names: on the command line and in file opens. Paths are
// UTF-8 text throughout the program, on Windows too, where the C runtime's
// argv and fopen use the ANSI code page and so cannot name a file such as
// C:\펌웨어\fw.bin on a machine whose code page has no Hangul.
#pragma once

#include <cstdio>

// The command line as UTF-8. On Windows it is read again from the system's
// wide-character command line; elsewhere `argv` is returned as it is. The
// strings live until exit; on failure argc and argv are left as they were.
char** platform_utf8_argv(int* argc, char** argv);

// fopen for a UTF-8 path. On Windows the path and mode go to _wfopen; a path
// that is not valid UTF-8 is handed to fopen as it is.
FILE* platform_fopen(const char* path, const char* mode);
