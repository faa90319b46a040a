// zar: create, list and extract update archives.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "common/cli.h"
#include "common/fsutil.h"
#include "common/temp_files.h"
#include "common/zar_writer.h"
#include "errors.h"

namespace {

const char kDescription[] =
    "Creates, lists and extracts update archives (the updater's update.zar).\n"
    "Item names are checked both ways: an empty or absolute name, an empty or\n"
    "'..' component, a name ending in '.' and two names for the same path\n"
    "('a' and './a') are refused, naming the item, before anything is written.\n";

const char kDetails[] =
    "A listing has one line per item, in stored order: mode in octal, stored\n"
    "(compressed) size, content size, name. The content size is counted by\n"
    "decoding the item, so a corrupt item shows '?' and makes the exit code 1.\n"
    "In names, control bytes are shown as \\n, \\r, \\t or \\xNN and a backslash\n"
    "as \\\\. A last line tells whether ARCHIVE.minisig, the archive's signature\n"
    "file, is beside it (not whether it verifies).\n"
    "\n"
    "Every file is written under a temporary name beside it and renamed into\n"
    "place only when whole; on a failure or on SIGINT, SIGTERM or SIGHUP the\n"
    "temporary file is removed (a signal then ends zar as it would have).\n"
    "\n"
    "Exit codes: 0 success, 1 failure (the message names the file and the reason),\n"
    "2 bad command line.\n";

[[noreturn]] void Fail(const std::string& path, const std::string& what, int err = errno) {
  throw std::runtime_error(path + ": " + what + (err ? std::string(": ") + strerror(err) : ""));
}

std::string Join(const std::string& dir, const std::string& path) {
  return dir.empty() || path[0] == '/' ? path : dir + "/" + path;
}

struct Source {
  std::string item, path;
  unsigned mode;
};

// The files a PATH stands for: itself, or every file below it, named by its
// relative path after PATH ("dir/" and "dir" give the same names).
void CollectPath(const std::string& base, std::string name, std::vector<Source>& out) {
  const std::string full = Join(base, name);
  fsutil::Entry e = fsutil::Stat(full);
  if (e.kind == fsutil::Entry::kOther) throw std::runtime_error(full + ": cannot archive a " + e.what);
  if (e.kind == fsutil::Entry::kFile) {
    out.push_back({name, full, e.mode});
    return;
  }
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  for (const fsutil::Entry& child : fsutil::WalkTree(full)) {
    if (child.kind == fsutil::Entry::kOther)
      throw std::runtime_error(Join(full, child.rel) + ": cannot archive a " + child.what);
    if (child.kind == fsutil::Entry::kFile)
      out.push_back({name == "." ? child.rel : name + "/" + child.rel, Join(full, child.rel), child.mode});
  }
}

int Create(const std::string& archive, const std::string& dir, const std::vector<std::string>& paths) {
  if (paths.empty()) throw cli::UsageError("-c needs at least one PATH");
  std::vector<Source> sources;
  for (const std::string& p : paths) CollectPath(dir, p, sources);
  if (sources.empty()) throw std::runtime_error(archive + ": no files to archive (an archive lists at least one item)");
  std::vector<std::string> names;
  for (const Source& s : sources) names.push_back(s.item);
  zar::CheckItemNames(archive, names);
  zar::Writer writer;
  for (const Source& s : sources) writer.AddData(s.item, s.mode, fsutil::ReadFile(s.path));
  try {
    writer.WriteFile(archive);
  } catch (const std::length_error& e) {
    throw std::runtime_error(archive + ": " + e.what());
  }
  return 0;
}

// The archive's items in the order they are stored (the writer stores them in
// index order, so offsets rise with it).
std::vector<ZarItem*> ListItems(ZarFile* file) {
  std::vector<ZarItem*> items;
  for (ZarItem* head : file->buckets)
    for (ZarItem* item = head; item; item = item->next) items.push_back(item);
  std::sort(items.begin(), items.end(), [](const ZarItem* a, const ZarItem* b) {
    return a->offset != b->offset ? a->offset < b->offset : strcmp(a->name, b->name) < 0;
  });
  return items;
}

std::vector<ZarItem*> OpenItems(ArchiveReader& reader, const std::string& archive) {
  if (reader.Open(archive.c_str()) == 0) return ListItems(reader.File());
  // The reader tells no reason: whether the file can be read at all tells it.
  const int fd = open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(archive, "cannot open");
  char byte;
  const bool readable = pread(fd, &byte, 1, 0) >= 0;
  const int err = errno;
  close(fd);
  if (!readable) Fail(archive, "cannot read", err);
  throw std::runtime_error(archive + ": not an update archive (bad magic, or an index that does not fit the file)");
}

// Why the reader failed on an item, with errno's reason where it has one.
std::string Describe(int rc, int err) {
  const char* what = rc == ERR_READ    ? "cannot read its stored bytes"
                     : rc == ERR_WRITE ? "cannot write"
                     : rc == ERR_DATA  ? "corrupt or truncated compressed data"
                                       : "cannot decode";
  return std::string(what) + (rc != ERR_DATA && err ? std::string(": ") + strerror(err) : "");
}

// Decodes |item| into |fd| (not taken) through the reader's own decoder; 0
// or the reader's code, with errno's value at the failure in |*err|.
int DecodeInto(ArchiveReader& reader, ZarItem* item, int fd, int* err /* OUT */) {
  FILE* out = fdopen(dup(fd), "wb");
  if (!out) {
    *err = errno;
    return ERR_WRITE;
  }
  errno = 0;
  int rc = reader.ExtractItemToStream(item, out);
  *err = errno;
  if (fclose(out) != 0 && rc == 0) {
    rc = ERR_WRITE;
    *err = errno;
  }
  return rc;
}

int List(const std::string& archive) {
  ArchiveReader reader;
  std::vector<std::string> bad;
  for (ZarItem* item : OpenItems(reader, archive)) {
    // The archive does not record content sizes: they are counted by
    // decoding.
    uint64_t content = 0;
    errno = 0;
    const int rc = reader.CountItem(item, UINT64_MAX, &content);
    const int err = errno;
    const std::string name = cli::Printable(item->name);
    if (rc == 0) {
      printf("%04o %10u %10llu %s\n", item->flags & 07777, item->length, (unsigned long long)content, name.c_str());
    } else {
      printf("%04o %10u %10s %s\n", item->flags & 07777, item->length, "?", name.c_str());
      bad.push_back(archive + ": item '" + name + "': " + Describe(rc, err));
    }
  }
  // The signature travels beside the archive, not in it.
  const std::string signature = archive + ".minisig";
  struct stat st;
  if (stat(signature.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    printf("signature: %s is present\n", cli::Printable(signature).c_str());
  else
    printf("signature: none (no %s)\n", cli::Printable(signature).c_str());
  if (bad.empty()) return 0;
  fflush(stdout);
  std::string message = bad[0];
  for (size_t i = 1; i < bad.size(); ++i) message += "\n" + bad[i];
  throw std::runtime_error(message);
}

int Extract(const std::string& archive, const std::string& dir) {
  ArchiveReader reader;
  const std::vector<ZarItem*> items = OpenItems(reader, archive);
  std::vector<std::string> names;
  for (ZarItem* item : items) names.push_back(item->name);
  zar::CheckItemNames(archive, names);
  if (!dir.empty()) fsutil::MakeDirs(dir);
  for (ZarItem* item : items) {
    const std::string dest = Join(dir, item->name);
    const size_t slash = dest.rfind('/');
    if (slash != std::string::npos && slash > 0) fsutil::MakeDirs(dest.substr(0, slash));
    // A corrupt item is found only while decoding: it must not leave half a file.
    temp_files::TempFile out(dest);
    int err = 0;
    if (const int rc = DecodeInto(reader, item, out.fd(), &err))
      throw std::runtime_error(dest + ": " + Describe(rc, err) + " (item '" + cli::Printable(item->name) + "')");
    out.Commit(item->flags);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  char op = 0;
  std::string archive, dir;
  bool hasDir = false;
  auto operation = [&](char which) {
    return [&, which](const std::string& value) {
      if (op) throw cli::UsageError("give one of -c, -t and -x, once");
      op = which;
      archive = value;
    };
  };
  const cli::Program program{
      "zar",
      {"-c ARCHIVE [-C DIR] PATH...", "-t ARCHIVE", "-x ARCHIVE [-C DIR]"},
      kDescription,
      {
          {"create", 'c', "ARCHIVE",
           "create ARCHIVE from the PATHs: a file becomes one\n"
           "item named by its path as given, a folder adds every\n"
           "file below it, named by its relative path, in sorted\n"
           "order. Each item is one bzip2 stream (level 9); its\n"
           "flags are the file's permission bits.",
           operation('c')},
          {"list", 't', "ARCHIVE", "list each item (see below).", operation('t')},
          {"extract", 'x', "ARCHIVE",
           "extract every item below the current folder (or DIR),\n"
           "making parent folders; a file gets the item's mode\n"
           "less the umask.",
           operation('x')},
          {"directory", 'C', "DIR",
           "with -c, PATHs are relative to DIR; with -x, extract\n"
           "into DIR.",
           [&](const std::string& value) {
             dir = value;
             hasDir = true;
           }},
      },
      kDetails};
  return cli::Main(program, argc, argv, [&](const std::vector<std::string>& operands) {
    if (!op) throw cli::UsageError("give one of -c, -t and -x");
    if (op == 'c') return Create(archive, dir, operands);
    if (!operands.empty()) throw cli::UsageError("unexpected argument '" + cli::Printable(operands[0]) + "'");
    if (op == 't' && hasDir) throw cli::UsageError("-C has no use with -t");
    return op == 't' ? List(archive) : Extract(archive, dir);
  });
}
