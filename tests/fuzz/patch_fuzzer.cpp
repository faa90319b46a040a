// Fuzz target for binary patches: the fuzzed bytes are a patch file, read with ZBS_ReadHeader and, when its header is
// accepted, applied with ZBS_ApplyPatch to a fixed source. Nothing may crash, read or write out of bounds, or leak,
// whatever the bytes.
//
// The fixed source is kSourceSize bytes, byte i being (i * 7 + (i >> 5)) mod 256; a patch that asks for a longer source
// is not applied (the patch action refuses such a file by its size before applying). The seed corpus holds patches made
// against this source.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "patch/binary_patch.h"

namespace {

constexpr size_t kMaxInputSize = 1 << 20;  // the output is bounded by the input
constexpr size_t kSourceSize = 4096;

// An in-memory file, emptied and rewound for each input.
bool Reset(int fd) { return ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInputSize) return 0;
  static const std::vector<unsigned char> source = [] {
    std::vector<unsigned char> s(kSourceSize);
    for (size_t i = 0; i < s.size(); ++i) s[i] = (unsigned char)(i * 7 + (i >> 5));
    return s;
  }();
  static const int patchfd = memfd_create("patch", MFD_CLOEXEC);
  static const int destfd = memfd_create("dest", MFD_CLOEXEC);
  if (patchfd < 0 || destfd < 0) return 0;
  if (!Reset(patchfd) || !Reset(destfd) || write(patchfd, data, size) != ssize_t(size)) return 0;
  if (lseek(patchfd, 0, SEEK_SET) != 0) return 0;

  ZBSPatchHeader header;
  if (ZBS_ReadHeader(patchfd, &header) != 0) return 0;
  if (header.srcLength > source.size()) return 0;
  // A copy exactly srcLength long, so that a read past it is caught.
  std::vector<unsigned char> src(source.begin(), source.begin() + header.srcLength);
  ZBS_ApplyPatch(&header, patchfd, src.empty() ? nullptr : src.data(), destfd);
  return 0;
}
