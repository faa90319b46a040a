// zar: create, list and extract update archives.
//
//   zar -c ARCHIVE [-C DIR] PATH...   create (directories are walked)
//   zar -t ARCHIVE                    list name, stored size and mode, and
//                                     whether ARCHIVE.minisig is beside it
//   zar -x ARCHIVE [-C DIR]           extract every item
//
// Exit codes: 0 success, 1 the operation failed, 2 bad command line.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "common/fsutil.h"
#include "common/zar_writer.h"
#include "errors.h"

namespace {

const char kUsage[] =
    "Usage: zar -c ARCHIVE [-C DIR] PATH...\n"
    "       zar -t ARCHIVE\n"
    "       zar -x ARCHIVE [-C DIR]\n"
    "\n"
    "Creates, lists and extracts update archives (the updater's update.zar).\n"
    "\n"
    "  -c ARCHIVE  create ARCHIVE from the PATHs; each file becomes one item named\n"
    "              by its path as given, a directory adds every file below it,\n"
    "              named by its relative path, in sorted order. Each item is one\n"
    "              bzip2 stream (level 9); its flags are the file's permission bits.\n"
    "  -t ARCHIVE  list each item: name, stored (compressed) size, mode in octal;\n"
    "              then a line telling whether ARCHIVE.minisig, its signature\n"
    "              file, is beside it (not whether it verifies).\n"
    "  -x ARCHIVE  extract every item below the current directory, creating parent\n"
    "              directories; absolute names and '..' components are refused.\n"
    "  -C DIR      with -c, PATHs are relative to DIR; with -x, extract into DIR.\n"
    "  --help      show this text.\n"
    "\n"
    "Exit codes: 0 success, 1 failure (the message names the file and the reason),\n"
    "2 bad command line.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Join(const std::string& dir, const std::string& path) {
  return dir.empty() ? path : dir + "/" + path;
}

void AddPath(zar::Writer& writer, const std::string& base, const std::string& name) {
  const std::string full = Join(base, name);
  fsutil::Entry e = fsutil::Stat(full);
  if (e.kind == fsutil::Entry::kOther) throw std::runtime_error(full + ": cannot archive a " + e.what);
  if (e.kind == fsutil::Entry::kFile) {
    writer.AddData(name, e.mode, fsutil::ReadFile(full));
    return;
  }
  for (const fsutil::Entry& child : fsutil::WalkTree(full)) {
    const std::string item = name == "." ? child.rel : name + "/" + child.rel;
    if (child.kind == fsutil::Entry::kOther)
      throw std::runtime_error(Join(full, child.rel) + ": cannot archive a " + child.what);
    if (child.kind == fsutil::Entry::kFile) writer.AddData(item, child.mode, fsutil::ReadFile(Join(full, child.rel)));
  }
}

int Create(const std::string& archive, const std::string& dir, const std::vector<std::string>& paths) {
  if (paths.empty()) throw UsageError("-c needs at least one PATH");
  zar::Writer writer;
  for (const std::string& p : paths) AddPath(writer, dir, p);
  if (writer.items().empty()) throw std::runtime_error(archive + ": no files to archive (an archive lists at least one item)");
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

ZarFile* OpenOrThrow(ArchiveReader& reader, const std::string& archive) {
  if (reader.Open(archive.c_str()) != 0)
    throw std::runtime_error(archive + ": cannot open: missing, unreadable, or not an update archive (bad magic or index)");
  return reader.File();
}

int List(const std::string& archive) {
  ArchiveReader reader;
  for (ZarItem* item : ListItems(OpenOrThrow(reader, archive)))
    printf("%s\t%u\t%04o\n", item->name, item->length, item->flags & 07777);
  // The signature travels beside the archive, not in it.
  const std::string signature = archive + ".minisig";
  struct stat st;
  if (stat(signature.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    printf("signature: %s is present\n", signature.c_str());
  else
    printf("signature: none (no %s)\n", signature.c_str());
  return 0;
}

bool IsSafeName(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

const char* Describe(int rc) {
  switch (rc) {
    case ERR_READ: return "cannot read the item's stored bytes";
    case ERR_WRITE: return "cannot create or write the file";
    case ERR_DATA: return "corrupt or truncated compressed data";
    default: return "extraction failed";
  }
}

int Extract(const std::string& archive, const std::string& dir) {
  ArchiveReader reader;
  std::vector<ZarItem*> items = ListItems(OpenOrThrow(reader, archive));
  for (ZarItem* item : items)
    if (!IsSafeName(item->name))
      throw std::runtime_error(archive + ": refusing unsafe item name '" + item->name + "' (absolute, empty or with '..')");
  if (!dir.empty()) fsutil::MakeDirs(dir);
  for (ZarItem* item : items) {
    const std::string dest = Join(dir, item->name);
    size_t slash = dest.rfind('/');
    if (slash != std::string::npos && slash > 0) fsutil::MakeDirs(dest.substr(0, slash));
    int rc = reader.ExtractFile(item->name, dest.c_str());
    if (rc != 0) throw std::runtime_error(dest + ": " + Describe(rc) + " (item '" + item->name + "')");
  }
  return 0;
}

int Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) throw UsageError("no operation given");
  if (args[0] == "--help" || args[0] == "-h") {
    fputs(kUsage, stdout);
    return 0;
  }
  const std::string op = args[0];
  if (op != "-c" && op != "-t" && op != "-x") throw UsageError("unknown operation '" + op + "'");
  if (args.size() < 2) throw UsageError(op + " needs an ARCHIVE");
  const std::string archive = args[1];
  std::string dir;
  std::vector<std::string> rest;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "-C" && op != "-t") {
      if (++i == args.size()) throw UsageError("-C needs a DIR");
      dir = args[i];
    } else {
      rest.push_back(args[i]);
    }
  }
  if (op == "-c") return Create(archive, dir, rest);
  if (!rest.empty()) throw UsageError("unexpected argument '" + rest[0] + "'");
  return op == "-t" ? List(archive) : Extract(archive, dir);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const UsageError& e) {
    fprintf(stderr, "zar: %s\n%s", e.what(), kUsage);
    return 2;
  } catch (const std::exception& e) {
    fprintf(stderr, "zar: %s\n", e.what());
    return 1;
  }
}
