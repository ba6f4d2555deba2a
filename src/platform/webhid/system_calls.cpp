// System calls the POSIX platform files make that the browser's C library
// lacks. A page has no parent process to follow (kdtool --all's children
// ask for that), so the request fails as on a kernel without it.
#include <cerrno>

extern "C" int prctl(int option, ...) {
  (void)option;
  errno = ENOSYS;
  return -1;
}
