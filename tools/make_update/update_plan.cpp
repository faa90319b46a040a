#include "make_update/update_plan.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "common/cli.h"
#include "common/fsutil.h"

namespace make_update {

namespace {

using fsutil::Entry;

// Why the walked entry |e| cannot be carried, or an empty string when it can.
std::string RefusalOf(const Entry& e) {
  if (e.kind == Entry::kOther) return "is a " + e.what + "; only regular files and directories can be carried";
  for (char c : e.rel) {
    if (c == '"') return "its name holds a double quote, which the manifest cannot quote";
    if (c == '\r' || c == '\n') return "its name holds a line break, which would end a manifest line";
  }
  const std::string name = e.rel.substr(e.rel.rfind('/') + 1);
  for (const char* reserved : {".zel-backup", ".zel-part"})
    if (name.size() >= strlen(reserved) && name.compare(name.size() - strlen(reserved), std::string::npos, reserved) == 0)
      return std::string("its name ends in \"") + reserved + "\", which the updater reserves for its backups";
  if (e.kind == Entry::kFile && name.size() > kMaxNameLength)
    return "its name is " + std::to_string(name.size()) + " bytes; with \".zel-backup\" added for its backup it " +
           "would pass the file system's limit of 255: at most " + std::to_string(kMaxNameLength);
  if (e.rel.size() > kMaxPathLength)
    return "its path is " + std::to_string(e.rel.size()) + " bytes; the updater handles at most " +
           std::to_string(kMaxPathLength);
  return {};
}

std::vector<Entry> WalkChecked(const std::string& root, const char* label, std::vector<std::string>& refusals) {
  if (fsutil::Stat(root).kind != Entry::kDir) throw Error(root + ": " + label + " is not a directory");
  std::vector<Entry> entries = fsutil::WalkTree(root);
  for (const Entry& e : entries) {
    std::string why = RefusalOf(e);
    if (!why.empty()) refusals.push_back(cli::Printable(root + "/" + e.rel) + ": " + why);
  }
  return entries;
}

// True when |entries[i]|, a directory, has nothing below it. The walk sorts
// paths as bytes, so what lies below "d" is one run starting with "d/", though
// not right after "d" ("d-x" sorts between them).
bool IsEmptyDir(const std::vector<Entry>& entries, size_t i) {
  if (entries[i].kind != Entry::kDir) return false;
  const std::string prefix = entries[i].rel + "/";
  auto below = std::lower_bound(entries.begin(), entries.end(), prefix,
                                [](const Entry& e, const std::string& key) { return e.rel < key; });
  return below == entries.end() || below->rel.compare(0, prefix.size(), prefix) != 0;
}

}  // namespace

Plan PlanUpdate(const std::string& oldDir, const std::string& newDir) {
  Plan plan;
  plan.oldDir = oldDir;
  plan.newDir = newDir;
  std::vector<std::string> refusals;

  std::map<std::string, const Entry*> old;
  std::vector<Entry> oldEntries;
  if (!oldDir.empty()) oldEntries = WalkChecked(oldDir, "OLD", refusals);
  for (const Entry& e : oldEntries) old.emplace(e.rel, &e);

  const std::vector<Entry> newEntries = WalkChecked(newDir, "NEW", refusals);
  std::map<std::string, const Entry*> neu;
  for (size_t i = 0; i < newEntries.size(); ++i) {
    const Entry& e = newEntries[i];
    neu.emplace(e.rel, &e);
    auto o = old.find(e.rel);
    const Entry* before = o == old.end() ? nullptr : o->second;
    if (IsEmptyDir(newEntries, i) && !(before && before->kind == Entry::kDir))
      plan.warnings.push_back(cli::Printable(newDir + "/" + e.rel) +
                              ": empty directory, not carried (the updater makes directories only as parents of files)");
    if (e.kind != Entry::kFile) continue;
    if (e.rel == "update.manifest")
      refusals.push_back(cli::Printable(newDir) + "/update.manifest: a file of this name at the root would collide with the "
                         "archive's own manifest item");
    if (e.size > kMaxFileSize)
      refusals.push_back(cli::Printable(newDir + "/" + e.rel) + ": file of 2 GiB or more (" + std::to_string(e.size) +
                         " bytes); the archive's sizes are 32-bit");
    if (before && before->kind == Entry::kDir)
      refusals.push_back(cli::Printable(newDir + "/" + e.rel) +
                         ": a directory in OLD becomes a file in NEW; the updater removes no directories, "
                         "so this cannot be carried");
    FileState f;
    f.path = e.rel;
    f.mode = e.mode;
    f.size = e.size;
    if (before && before->kind == Entry::kFile) {
      f.inOld = true;
      f.oldMode = before->mode;
      f.oldSize = before->size;
    }
    plan.files.push_back(std::move(f));
  }

  // A file of OLD that NEW lacks, or that NEW turned into a directory: its
  // removal must come before the adds below that directory, so removes are
  // listed first.
  for (const Entry& e : oldEntries) {
    if (e.kind != Entry::kFile) continue;
    auto n = neu.find(e.rel);
    if (n == neu.end() || n->second->kind != Entry::kFile) plan.removes.push_back(e.rel);
  }

  if (!refusals.empty()) {
    std::string message = "cannot build this update:";
    for (const std::string& r : refusals) message += "\n  " + r;
    throw Error(message);
  }
  return plan;
}

}  // namespace make_update
