// Proving a whole update with the real updater program before it ships.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "make_update/update_plan.h"

namespace make_update {

// The updater program installed beside the running program (the folder of
// /proc/self/exe). Throws Error when it is not there.
std::string UpdaterBesideThisProgram();

// Told what the verification is doing: |phase| and |done| of |total| files
// (|total| 0 where files are not counted).
using VerifyProgress = std::function<void(const char* phase, size_t done, size_t total)>;

// Copies OLD (nothing for a complete update) into a scratch folder, applies
// the update |archive| there with the updater at |updaterPath| (parent-pid 0,
// no DISPLAY or WAYLAND_DISPLAY, umask 0 so that every mode is the archive's
// own), and checks that the update succeeded and that the scratch tree holds
// exactly NEW's regular files, each with NEW's bytes and permission bits: no
// file that should be gone, no backup, no temporary file, and no staged patch
// left in the update folder. Directories are not compared (the updater makes
// them as parents and removes none).
// With |signature| (the text of update.zar.minisig) and |publicKeyPath|, the
// signature is first checked with the updater's own code, and the update is
// applied by a copy of the updater with that key installed beside it, which
// refuses it unless the signature verifies.
// Removes the scratch folder on success; throws Error listing what differed,
// and keeping the scratch folder for a look, when the updater ran and the
// result is wrong; throws and removes it on any other failure. A stop signal
// kills the updater and removes the folder (see temp_files.h).
void VerifyWithUpdater(const std::string& updaterPath, const Plan& plan, const std::vector<char>& archive,
                       const std::string& signature = {}, const std::string& publicKeyPath = {},
                       const VerifyProgress& progress = nullptr);

}  // namespace make_update
