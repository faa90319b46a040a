// File helpers for the producer tools. Errors are thrown as
// std::runtime_error with a message that names the file and the reason.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fsutil {

// The whole file. Refuses files of 2 GiB or more, which no format here can carry.
std::string ReadFile(const std::string& path);
// Writes |data| to |path| with |mode| less the umask, through a temporary file
// renamed into place (see temp_files.h): |path| changes only when whole.
void WriteFile(const std::string& path, std::string_view data, unsigned mode = 0644);
// Creates |dir| and its missing parents (0755).
void MakeDirs(const std::string& dir);

struct Entry {
  std::string rel;       // '/'-separated path relative to the walked root
  enum Kind { kFile, kDir, kOther } kind;
  std::string what;      // for kOther: "symbolic link", "socket", ...
  unsigned mode = 0;     // permission bits (07777)
  uint64_t size = 0;
};

// Every entry below |root| (not the root itself), sorted by their '/'-separated
// relative paths as plain bytes; directories are listed as well as their files.
// Symbolic links are not followed.
std::vector<Entry> WalkTree(const std::string& root);

// The kind of |path| as an Entry (rel left empty), without following a link.
Entry Stat(const std::string& path);

}  // namespace fsutil
