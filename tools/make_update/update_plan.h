// Planning an update from two release trees: which files of OLD go, which
// files of NEW must be carried, and what neither the manifest nor the archive
// can express. Planning looks at names, kinds, sizes and modes only; whether
// a file's bytes changed, and whether it is patched or added, is decided by
// the builder (update_build.h), which reads the files.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace make_update {

// A failure whose message is complete: it names every path concerned and the
// reason. make-update prints it as it is and exits with 1.
struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The longest path the updater can handle: it forms the backup name "PATH.zel-backup"
// in a 1024-byte buffer and refuses names that do not fit.
constexpr size_t kMaxPathLength = 1024 - sizeof(".zel-backup");

// The longest file name (last component) whose backup name "NAME.zel-backup"
// stays within the 255 bytes file systems allow for a name.
constexpr size_t kMaxNameLength = 255 - (sizeof(".zel-backup") - 1);

// Item sizes and archive positions are 32-bit signed in the formats.
constexpr uint64_t kMaxFileSize = (uint64_t(1) << 31) - 1;

// A regular file of NEW, with what OLD has at the same path.
struct FileState {
  std::string path;        // '/'-separated, relative to the tree
  unsigned mode = 0;       // permission bits in NEW
  uint64_t size = 0;       // bytes in NEW
  bool inOld = false;      // OLD has a regular file at |path|
  unsigned oldMode = 0;
  uint64_t oldSize = 0;
};

struct Plan {
  std::string oldDir;                 // empty for a complete update
  std::string newDir;
  std::vector<std::string> removes;   // files of OLD that NEW lacks, sorted
  std::vector<FileState> files;       // every regular file of NEW, sorted
  std::vector<std::string> warnings;  // complete messages (empty directories)
};

// Walks both trees and plans the update; |oldDir| empty plans a complete
// update. Throws Error listing every refusal at once, one per line: symbolic
// links and special files (in either tree), names holding a double quote, a
// carriage return or a line feed, names ending in ".zel-backup" or
// ".zel-part" (the updater's own), file names longer than kMaxNameLength,
// paths longer than kMaxPathLength, files of
// 2 GiB or more in NEW, a file "update.manifest" at NEW's root, and a
// directory of OLD that is a file in NEW. Throws std::runtime_error naming the
// path when a tree cannot be read.
Plan PlanUpdate(const std::string& oldDir, const std::string& newDir);

}  // namespace make_update
