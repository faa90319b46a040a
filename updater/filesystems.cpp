#include "filesystems.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "archive/archive_reader.h"
#include "arrays.h"
#include "errors.h"
#include "fileio.h"
#include "log.h"
#include "paths.h"

namespace {

struct FileSystem {
  dev_t dev;
  int fd;          // the directory it was first found by, open
  char* dir;       // that directory's name, for the log
  uint64_t block;  // f_frsize: what a file's size is rounded up to
  uint64_t need;   // planned bytes, rounded
};
FileSystem* sFileSystems = nullptr;
int sCount = 0;
int sCapacity = 0;

// Archive items planned as new files, counted by fs_check_space.
struct PlannedItem {
  int fs;
  const char* name;
};
PlannedItem* sItems = nullptr;
int sItemCount = 0;
int sItemCapacity = 0;

uint64_t RoundUp(uint64_t bytes, uint64_t block) { return (bytes + block - 1) / block * block; }

// The index of the file system holding |path| into *index, found by the
// nearest existing directory above it and added when new.
int FindFileSystem(const char* path, int* index) {
  char dir[kPathBufferSize];
  if (!FormatPath(dir, "%s", path)) return ERR_READ;
  struct stat st;
  for (;;) {
    char* slash = strrchr(dir, '/');
    if (!slash)
      snprintf(dir, sizeof(dir), ".");
    else
      slash[slash == dir] = '\0';  // "/x" leaves "/"
    const int found = stat(dir, &st);
    if (found == 0 && S_ISDIR(st.st_mode)) break;
    // Absent, or a file that an earlier action will remove: look further up.
    if ((found != 0 && errno != ENOENT && errno != ENOTDIR) || strcmp(dir, ".") == 0 || strcmp(dir, "/") == 0)
      return ERR_READ;
  }
  for (int i = 0; i < sCount; ++i) {
    if (sFileSystems[i].dev == st.st_dev) {
      *index = i;
      return 0;
    }
  }
  if (!GrowToFit(&sFileSystems, sCount, &sCapacity)) return ERR_MEMORY;
  int fd = robust_open(dir, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return ERR_WRITE;
  struct statvfs vfs;
  char* name = strdup(dir);
  if (fstatvfs(fd, &vfs) != 0 || !name) {
    free(name);
    close(fd);
    return name ? ERR_READ : ERR_MEMORY;
  }
  sFileSystems[sCount] = FileSystem{st.st_dev, fd, name, vfs.f_frsize ? uint64_t(vfs.f_frsize) : 1, 0};
  *index = sCount++;
  return 0;
}

}  // namespace

int fs_note(const char* path) {
  int index;
  return FindFileSystem(path, &index);
}

int fs_plan_bytes(const char* path, uint64_t bytes) {
  int i;
  int rc = FindFileSystem(path, &i);
  if (rc == 0) sFileSystems[i].need += RoundUp(bytes, sFileSystems[i].block);
  return rc;
}

int fs_plan_item(const char* path, const char* item) {
  int i;
  int rc = FindFileSystem(path, &i);
  if (rc) return rc;
  if (!GrowToFit(&sItems, sItemCount, &sItemCapacity)) return ERR_MEMORY;
  sItems[sItemCount++] = PlannedItem{i, item};
  return 0;
}

int fs_plan_directory(const char* path) { return fs_plan_bytes(path, 1); }

int fs_check_space() {
  uint64_t* free_bytes = (uint64_t*)calloc(size_t(sCount) + 1, sizeof(uint64_t));
  if (!free_bytes) return ERR_MEMORY;
  int rc = 0;
  for (int i = 0; i < sCount && rc == 0; ++i) {
    struct statvfs vfs;
    if (fstatvfs(sFileSystems[i].fd, &vfs) != 0)
      rc = ERR_READ;
    else
      free_bytes[i] = uint64_t(vfs.f_bavail) * vfs.f_frsize;
  }
  // Counting an item costs a decoding as long as its extraction's. Where the
  // free space exceeds what else is planned by kRatio times the items'
  // stored bytes, they are taken to fit uncounted: few files compress better
  // than that. Elsewhere each is counted, only as far as the space left
  // allows, and none once its file system is known short.
  const int kRatio = 100;
  ZarFile* archive = gArchiveReader.File();
  uint64_t* stored = (uint64_t*)calloc(size_t(sCount) + 1, sizeof(uint64_t));
  if (!stored) rc = ERR_MEMORY;
  for (int k = 0; k < sItemCount && rc == 0; ++k) {
    ZarItem* item = archive ? zar_find_item(archive, sItems[k].name) : nullptr;
    if (item) stored[sItems[k].fs] += item->length;
  }
  for (int k = 0; k < sItemCount && rc == 0; ++k) {
    FileSystem& fs = sFileSystems[sItems[k].fs];
    const uint64_t available = free_bytes[sItems[k].fs];
    ZarItem* item = archive ? zar_find_item(archive, sItems[k].name) : nullptr;
    if (fs.need > available || !item || available - fs.need >= stored[sItems[k].fs] * kRatio) continue;
    uint64_t size = 0;
    gArchiveReader.CountItem(item, available - fs.need, &size);
    fs.need += RoundUp(size, fs.block);
  }
  free(stored);
  for (int i = 0; i < sCount && rc == 0; ++i) {
    const FileSystem& fs = sFileSystems[i];
    if (fs.need > free_bytes[i]) {
      LogPrintf("not enough disk space in %s: %" PRIu64 " bytes needed, %" PRIu64 " free\n", fs.dir, fs.need,
                free_bytes[i]);
      rc = ERR_WRITE;
    }
  }
  free(free_bytes);
  return rc;
}

int fs_sync() {
  for (int i = 0; i < sCount; ++i)
    if (!sync_file_system(sFileSystems[i].fd)) return ERR_WRITE;
  return 0;
}

void fs_reset() {
  for (int i = 0; i < sCount; ++i) {
    close(sFileSystems[i].fd);
    free(sFileSystems[i].dir);
  }
  sCount = 0;
  sItemCount = 0;
}
