// The patch generator.
//
// Method. A suffix array of OLD finds, for any position of NEW, the longest
// stretch of OLD that equals what follows it. NEW is scanned from the start;
// the stretch of OLD that the last triple ended in (the current alignment,
// NEW position + offset) is kept as long as it explains NEW about as well as
// the longest exact match would, so small edits inside a region shared by
// both versions (changed constants, moved pointers) do not cut it. When a
// clearly better alignment appears, the region between the two is split:
// the old alignment is extended forwards and the new one backwards while at
// least half of the bytes agree, and what neither covers becomes extra bytes.
// Each aligned stretch goes into the diff block as NEW minus OLD byte by byte,
// mostly zeros, which the archive's compressor squeezes to almost nothing.
#include "zbdiff/zbdiff.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "patch/zbspatch.h"

namespace zbdiff {

namespace {

using Bytes = std::vector<unsigned char>;

// Length of the common prefix of a[0..an) and b[0..bn).
int64_t MatchLength(const unsigned char* a, int64_t an, const unsigned char* b, int64_t bn) {
  const int64_t n = std::min(an, bn);
  int64_t i = 0;
  while (i + 8 <= n) {
    uint64_t x, y;
    memcpy(&x, a + i, 8);
    memcpy(&y, b + i, 8);
    if (x != y) return i + (__builtin_ctzll(x ^ y) >> 3);  // little-endian: first differing byte
    i += 8;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

struct Match {
  int64_t pos = 0;  // in OLD
  int64_t len = 0;
};

// The suffix array of OLD and the longest-match search over it.
class SuffixIndex {
 public:
  SuffixIndex(const unsigned char* old, int64_t size) : mOld(old), mSize(size) {
    if (size == 0) return;
    mSA.reset(new int32_t[size_t(size)]);
    if (divsufsort(old, mSA.get(), int32_t(size)) != 0) throw std::bad_alloc();
  }

  void Release() { mSA.reset(); }

  // The longest prefix of target[0..len) that occurs in OLD, and where.
  // Binary search over the sorted suffixes; the common prefix shared by both
  // bounds is known to match every suffix between them, so it is skipped.
  Match Longest(const unsigned char* target, int64_t len) const {
    Match best;
    if (mSize == 0 || len == 0) return best;
    int64_t lo = 0, hi = mSize - 1;
    int64_t lcpLo = Lcp(lo, target, len, 0), lcpHi = Lcp(hi, target, len, 0);
    while (hi - lo > 1) {
      const int64_t mid = lo + (hi - lo) / 2;
      const int64_t skip = std::min(lcpLo, lcpHi);
      const int64_t l = Lcp(mid, target, len, skip);
      const int64_t p = mSA[mid];
      const bool suffixLess = l < len && (p + l == mSize || mOld[p + l] < target[l]);
      if (suffixLess) {
        lo = mid;
        lcpLo = l;
      } else {
        hi = mid;
        lcpHi = l;
      }
    }
    if (lcpLo >= lcpHi) {
      best.pos = mSA[lo];
      best.len = lcpLo;
    } else {
      best.pos = mSA[hi];
      best.len = lcpHi;
    }
    return best;
  }

 private:
  int64_t Lcp(int64_t rank, const unsigned char* target, int64_t len, int64_t skip) const {
    const int64_t p = mSA[rank];
    return skip + MatchLength(mOld + p + skip, mSize - p - skip, target + skip, len - skip);
  }

  const unsigned char* mOld;
  int64_t mSize;
  std::unique_ptr<int32_t[]> mSA;
};

// The blocks of the patch as they are produced.
struct Blocks {
  Bytes control, diff, extra;

  void Emit(const unsigned char* old, const unsigned char* neu, int64_t newPos, int64_t oldPos, int64_t addCount,
            int64_t copyCount, int64_t seek) {
    unsigned char t[kZBSTripleSize];
    ZBS_PutTriple(t, uint32_t(addCount), uint32_t(copyCount), int32_t(seek));
    control.insert(control.end(), t, t + kZBSTripleSize);
    const size_t d = diff.size();
    diff.resize(d + size_t(addCount));
    for (int64_t i = 0; i < addCount; ++i) diff[d + size_t(i)] = (unsigned char)(neu[newPos + i] - old[oldPos + i]);
    extra.insert(extra.end(), neu + newPos + addCount, neu + newPos + addCount + copyCount);
  }
};

class Differ {
 public:
  Differ(std::string_view old, std::string_view neu, Progress* progress)
      : mOld((const unsigned char*)old.data()),
        mNew((const unsigned char*)neu.data()),
        mOldSize(int64_t(old.size())),
        mNewSize(int64_t(neu.size())),
        mProgress(progress),
        mIndex(mOld, mOldSize) {}

  Blocks Run();

 private:
  bool Agrees(int64_t newPos, int64_t offset) const {
    const int64_t o = newPos + offset;
    return o >= 0 && o < mOldSize && mOld[o] == mNew[newPos];
  }

  const unsigned char* mOld;
  const unsigned char* mNew;
  int64_t mOldSize, mNewSize;
  Progress* mProgress;
  SuffixIndex mIndex;
};

Blocks Differ::Run() {
  Blocks out;
  out.diff.reserve(size_t(mNewSize));
  int64_t scan = 0, len = 0, pos = 0;
  int64_t lastScan = 0, lastPos = 0, lastOffset = 0;
  uint64_t nextReport = 0;

  while (scan < mNewSize) {
    int64_t oldScore = 0;
    int64_t scsc = scan += len;
    for (; scan < mNewSize; ++scan) {
      const Match m = mIndex.Longest(mNew + scan, mNewSize - scan);
      pos = m.pos;
      len = m.len;
      for (; scsc < scan + len; ++scsc)
        if (Agrees(scsc, lastOffset)) ++oldScore;
      if ((len == oldScore && len != 0) || len > oldScore + 8) break;
      if (Agrees(scan, lastOffset)) --oldScore;
    }
    if (len == oldScore && scan != mNewSize) continue;

    // Extend the previous alignment forwards from lastScan while at least
    // half the bytes agree, and the new one backwards from scan.
    int64_t lenf = 0;
    {
      int64_t s = 0, best = 0;
      for (int64_t i = 0; lastScan + i < scan && lastPos + i < mOldSize;) {
        if (mOld[lastPos + i] == mNew[lastScan + i]) ++s;
        ++i;
        if (s * 2 - i > best * 2 - lenf) {
          best = s;
          lenf = i;
        }
      }
    }
    int64_t lenb = 0;
    if (scan < mNewSize) {
      int64_t s = 0, best = 0;
      for (int64_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
        if (mOld[pos - i] == mNew[scan - i]) ++s;
        if (s * 2 - i > best * 2 - lenb) {
          best = s;
          lenb = i;
        }
      }
    }
    // Where the two extensions overlap, cut where the split agrees best.
    if (lastScan + lenf > scan - lenb) {
      const int64_t overlap = (lastScan + lenf) - (scan - lenb);
      int64_t s = 0, best = 0, lens = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (mNew[lastScan + lenf - overlap + i] == mOld[lastPos + lenf - overlap + i]) ++s;
        if (mNew[scan - lenb + i] == mOld[pos - lenb + i]) --s;
        if (s > best) {
          best = s;
          lens = i + 1;
        }
      }
      lenf += lens - overlap;
      lenb -= lens;
    }

    out.Emit(mOld, mNew, lastScan, lastPos, lenf, (scan - lenb) - (lastScan + lenf),
             (pos - lenb) - (lastPos + lenf));
    lastScan = scan - lenb;
    lastPos = pos - lenb;
    lastOffset = pos - scan;

    if (mProgress && uint64_t(scan) >= nextReport) {
      mProgress->Report(uint64_t(scan), uint64_t(mNewSize));
      nextReport = uint64_t(scan) + (1u << 20);
    }
  }
  mIndex.Release();
  if (mProgress) mProgress->Report(uint64_t(mNewSize), uint64_t(mNewSize));
  return out;
}

}  // namespace

std::string MakePatch(std::string_view old, std::string_view neu, Progress* progress) {
  if (old.size() > kMaxInputSize || neu.size() > kMaxInputSize)
    throw std::length_error("input of 2 GiB or more; the patch format's sizes are 32-bit");
  Blocks blocks = Differ(old, neu, progress).Run();
  if (blocks.control.size() > UINT32_MAX || blocks.diff.size() > UINT32_MAX || blocks.extra.size() > UINT32_MAX)
    throw std::length_error("patch blocks of 4 GiB or more");

  ZBSPatchHeader header;
  ZBS_InitHeader(&header, uint32_t(old.size()), zbs_crc32_update(0, (const unsigned char*)old.data(), old.size()),
                 uint32_t(neu.size()), uint32_t(blocks.control.size()), uint32_t(blocks.diff.size()),
                 uint32_t(blocks.extra.size()));
  std::string patch(kZBSHeaderSize, '\0');
  ZBS_SerializeHeader(&header, (unsigned char*)patch.data());
  patch.reserve(kZBSHeaderSize + blocks.control.size() + blocks.diff.size() + blocks.extra.size());
  for (Bytes* block : {&blocks.control, &blocks.diff, &blocks.extra}) {
    patch.append(block->begin(), block->end());
    Bytes().swap(*block);
  }
  return patch;
}

}  // namespace zbdiff
