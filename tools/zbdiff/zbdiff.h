// The patch generator: turns an old and a new version of a file into a patch
// in the updater's format (patch/binary_patch.h), which ZBS_ApplyPatch applies.
// Used in-process by the zbdiff program and by the update builder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zbdiff {

// Inputs must stay below 2 GiB: the format's lengths and seeks are 32-bit.
constexpr uint64_t kMaxInputSize = (uint64_t(1) << 31) - 1;

// Told how far the generation has come; called from the generating thread,
// often enough for a progress line, rarely enough to cost nothing.
class Progress {
 public:
  virtual ~Progress() = default;
  // |done| of |total| units of work are finished (total stays the same).
  virtual void Report(uint64_t done, uint64_t total) = 0;
};

// The whole patch file (header and blocks, uncompressed) that turns |old|
// into |neu|. The patch is meant to be compressed afterwards: the diff block
// is mostly zero bytes and the extra block holds the bytes with no match.
// Throws std::length_error when an input is larger than kMaxInputSize, and
// std::bad_alloc when memory runs out.
std::string MakePatch(std::string_view old, std::string_view neu, Progress* progress = nullptr);

}  // namespace zbdiff
