#include "fileio.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "errors.h"

int robust_open(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t robust_read(int fd, void* buf, size_t count) {
  ssize_t n;
  do {
    n = read(fd, buf, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool pread_all(int fd, void* buf, size_t count, off_t offset) {
  char* p = static_cast<char*>(buf);
  while (count > 0) {
    ssize_t n = pread(fd, p, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += n;
    count -= size_t(n);
  }
  return true;
}

bool write_all(int fd, const void* buf, size_t count) {
  const char* p = static_cast<const char*>(buf);
  while (count > 0) {
    ssize_t n = write(fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      // Never loop on a write that makes no progress.
      errno = ENOSPC;
      return false;
    }
    p += n;
    count -= size_t(n);
  }
  return true;
}

int read_whole(int fd, char** out, size_t* length) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  const size_t size = size_t(st.st_size);
  char* text = (char*)malloc(size + 1);
  if (!text) return ERR_MEMORY;
  size_t done = 0;
  while (done < size) {
    size_t want = size - done;
    if (want > 0x7FFFFFFF) want = 0x7FFFFFFF;
    ssize_t n = robust_read(fd, text + done, want);
    if (n <= 0) {
      free(text);
      return n < 0 ? ERR_READ : ERR_DATA;
    }
    done += size_t(n);
  }
  text[size] = '\0';
  *out = text;
  if (length) *length = size;
  return 0;
}

#ifdef UPDATER_NO_SYNC
bool sync_data(int) { return true; }
bool sync_directory(const char*) { return true; }
bool sync_file_system(int) { return true; }
#else
namespace {

// Makes |call| until it fails for another reason than EINTR; true on success.
template <typename Call>
bool Retried(Call call) {
  int rc;
  do {
    rc = call();
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

bool sync_data(int fd) {
  return Retried([fd] { return fdatasync(fd); });
}

bool sync_directory(const char* path) {
  int fd = robust_open(path, O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return false;
  const bool synced = Retried([fd] { return fsync(fd); });
  close(fd);
  return synced;
}

bool sync_file_system(int fd) {
  return Retried([fd] { return syncfs(fd); });
}
#endif
