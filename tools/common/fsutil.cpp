#include "fsutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "temp_files.h"

namespace fsutil {

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw std::runtime_error(path + ": " + what + ": " + strerror(errno));
}

const char* KindName(mode_t m) {
  if (S_ISLNK(m)) return "symbolic link";
  if (S_ISFIFO(m)) return "named pipe";
  if (S_ISSOCK(m)) return "socket";
  if (S_ISCHR(m)) return "character device";
  if (S_ISBLK(m)) return "block device";
  return "special file";
}

Entry FromStat(const struct stat& st) {
  Entry e;
  e.kind = S_ISREG(st.st_mode) ? Entry::kFile : S_ISDIR(st.st_mode) ? Entry::kDir : Entry::kOther;
  if (e.kind == Entry::kOther) e.what = KindName(st.st_mode);
  e.mode = st.st_mode & 07777;
  e.size = uint64_t(st.st_size);
  return e;
}

void Walk(const std::string& root, const std::string& rel, std::vector<Entry>& out) {
  std::string dir = rel.empty() ? root : root + "/" + rel;
  DIR* d = opendir(dir.c_str());
  if (!d) Fail(dir, "cannot open directory");
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* de = readdir(d)) {
    if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0) names.push_back(de->d_name);
  }
  int err = errno;
  closedir(d);
  if (err) {
    errno = err;
    Fail(dir, "cannot read directory");
  }
  for (const std::string& name : names) {
    std::string child = rel.empty() ? name : rel + "/" + name;
    Entry e = Stat(root + "/" + child);
    e.rel = child;
    bool is_dir = e.kind == Entry::kDir;
    out.push_back(std::move(e));
    if (is_dir) Walk(root, child, out);
  }
}

}  // namespace

Entry Stat(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) Fail(path, "cannot stat");
  return FromStat(st);
}

std::string ReadFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(path, "cannot open");
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    Fail(path, "cannot stat");
  }
  if (st.st_size >= (off_t(1) << 31)) {
    close(fd);
    throw std::runtime_error(path + ": file of 2 GiB or more (" + std::to_string(st.st_size) +
                             " bytes); the formats' sizes are 32-bit");
  }
  std::string data(size_t(st.st_size), '\0');
  size_t got = 0;
  while (got < data.size()) {
    ssize_t n = read(fd, data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      errno = err;
      Fail(path, "cannot read");
    }
    if (n == 0) break;  // shrank while we read: keep what is there
    got += size_t(n);
  }
  data.resize(got);
  close(fd);
  return data;
}

void WriteFile(const std::string& path, std::string_view data, unsigned mode) {
  temp_files::TempFile out(path);
  out.Write(data);
  out.Commit(mode);
}

void MakeDirs(const std::string& dir) {
  if (dir.empty()) return;
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i < dir.size() && dir[i] != '/') continue;
    std::string part = dir.substr(0, i);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) Fail(part, "cannot create directory");
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    Fail(dir, "cannot create directory");
  }
}

std::vector<Entry> WalkTree(const std::string& root) {
  std::vector<Entry> out;
  Walk(root, "", out);
  std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.rel < b.rel; });
  return out;
}

}  // namespace fsutil
