#include "platform/file_open.h"

char** platform_utf8_argv(int* /*argc*/, char** argv) { return argv; }

FILE* platform_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }
