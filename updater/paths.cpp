#include "paths.h"

#include <unistd.h>

#include <cstring>

bool ProgramFolder(char (&buf)[kPathBufferSize]) {
  // The kernel's own record of the executable: argv[0] may be a bare name
  // found along PATH, and its folder would then be the current directory,
  // which is the installation the update writes to.
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf));
  if (n <= 0 || n >= ssize_t(sizeof(buf))) {
    buf[0] = '\0';
    return false;
  }
  buf[n] = '\0';
  char* slash = strrchr(buf, '/');
  if (!slash) {
    buf[0] = '\0';
    return false;
  }
  if (slash == buf)
    slash[1] = '\0';  // a program in the root folder
  else
    *slash = '\0';
  return true;
}
