// Feeds arbitrary bytes to the archive reader as an update.zar and extracts every item it lists, to make sure no
// archive crashes, hangs or overreads the reader or the bzip2 extraction.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "archive/archive_reader.h"
#include "archive/zar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("archive", MFD_CLOEXEC);
  if (fd < 0) return 0;
  char path[64];
  snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
  ArchiveReader reader;
  if (write(fd, data, size) == ssize_t(size) && reader.Open(path) == 0) {
    int extracted = 0;
    for (ZarItem* head : reader.File()->buckets) {
      for (ZarItem* item = head; item && extracted < 16; item = item->next, ++extracted) {
        char buf[64];
        zar_read(reader.File(), item, 0, buf, sizeof(buf));
        zar_read(reader.File(), item, int(item->length), buf, sizeof(buf));
        // Finds the first item of the name, which exercises the lookup too.
        reader.ExtractFile(item->name, "/dev/null");
      }
    }
    reader.Close();
  }
  close(fd);
  return 0;
}
