// Building an update from a plan: reading and comparing the files, diffing
// the changed ones in parallel under a memory budget, choosing patch or add,
// proving every patch with the updater's own applier, and assembling the
// manifest and the archive.
//
// The manifest lists every "remove" first, then the "add" and "patch" lines,
// each group in the byte order of the paths. Removes come first because a file
// of OLD may be a directory in NEW, and the adds below it need it gone.
//
// Archive items: "update.manifest" first, then one item per add or patch in
// manifest order. An add's item is named by its path and carries the file's
// permission bits; a patch's item is named "./PATH.patch" (see PatchItemName).
// Nothing depends on time, thread timing or -j: the same trees give the same
// bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/zar_writer.h"
#include "make_update/update_plan.h"

namespace make_update {

enum class ActionKind { kRemove, kAdd, kPatch };

struct Action {
  ActionKind kind = ActionKind::kAdd;
  std::string path;          // the installed file
  std::string item;          // its archive item (empty for a remove)
  unsigned mode = 0;         // the item's mode: the file's bits for an add
};

// The archive item of the patch for |path|: "./" + path + ".patch". File items
// are named by walked paths, which never begin with "./", so the two can never
// collide; and extracting an update by hand puts each patch beside its file
// under a name of its own.
std::string PatchItemName(const std::string& path);

// The manifest text of |actions|, in their order, preceded by one comment line.
std::string FormatManifest(const std::vector<Action>& actions);

struct BuildProgress {
  size_t filesDone = 0, filesTotal = 0;
  uint64_t bytesDone = 0, bytesTotal = 0;  // bytes of OLD and NEW files read
};

struct BuildOptions {
  unsigned jobs = 1;
  // Estimated bytes of all files being worked on at once (their contents, the
  // diff's index and the outputs). One file always runs, even when it alone
  // exceeds the budget.
  uint64_t memoryBudget = uint64_t(1) << 30;
  // Called after each file, from the worker that finished it, one call at a time.
  std::function<void(const BuildProgress&)> progress;
};

struct Update {
  std::vector<Action> actions;  // manifest order
  std::string manifest;
  zar::Writer archive;          // "update.manifest", then the actions' items
  size_t adds = 0, patches = 0, removes = 0, unchanged = 0;
  uint64_t carriedBytes = 0;    // bytes of NEW that the adds and patches produce
  uint64_t completeSize = 0;    // archive bytes of a complete update of NEW
  size_t peakFilesInFlight = 0; // the most files worked on at once
};

// Builds the update that |plan| describes. Every patch is proven (ProvePatch)
// before it is chosen. Throws Error, or std::runtime_error naming the file
// when a file cannot be read.
Update BuildUpdate(const Plan& plan, const BuildOptions& options);

// Applies the patch whose archive item bytes are |stored| to |old| with the
// updater's own applier (header check, size and CRC-32 of |old|, then the
// patch) and checks that the result is |neu| byte for byte. Throws Error
// naming |path| when it is not: a generator fault must never reach users.
void ProvePatch(const std::string& path, std::string_view old, const std::vector<char>& stored, std::string_view neu);

}  // namespace make_update
