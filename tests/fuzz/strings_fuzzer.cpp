// Reads arbitrary bytes as the strings file beside the program: the four
// bounded line reads and the key/text split must hold for any file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ui/strings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("strings", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data, size) == ssize_t(size)) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    StringTable table;
    if (ReadStrings(path, &table) == 0) {
      // Both texts are NUL-terminated inside their arrays.
      if (!memchr(table.title, '\0', sizeof(table.title)) || !memchr(table.info, '\0', sizeof(table.info)))
        __builtin_trap();
    }
  }
  close(fd);
  return 0;
}
