// The patch generator.
//
// Method. A suffix array of OLD finds, for any position of NEW, the longest
// stretch of OLD that equals what follows it. NEW is scanned from the start;
// the alignment that the last triple ended in (NEW position + offset gives
// the OLD position) is kept as long as it explains NEW about as well as the
// longest exact match would, so small edits inside a region shared by both
// versions (changed constants, moved pointers) do not cut it. When a clearly
// better alignment appears, the region between the two is split: the old
// alignment is extended forwards and the new one backwards while most of the
// bytes agree, and what neither covers becomes extra bytes. Each aligned
// stretch goes into the diff block as NEW minus OLD byte by byte, mostly
// zeros, which the archive's compressor squeezes to almost nothing.
//
// Beyond that basic method: the thresholds are set by what a triple, a
// differing byte and an extra byte cost after compression (see the
// constants), so a switch to a nearby alignment (a seek of a few hundred
// bytes, as after an edit in code or a table) is cheap and a far one dear,
// and a byte that differs only a little (a moved pointer or counter) counts
// half when an alignment is extended; among equally long matches the one
// nearest the current alignment wins, which keeps seeks small; a table of the
// suffix array's two-byte buckets saves most of each search's cache misses;
// and stretches with no match are probed sparsely.
//
// Memory: OLD and NEW (the caller's), the suffix array (4 bytes per OLD
// byte, freed before the patch is assembled), the blocks (about NEW's size)
// and the patch itself.
#include "zbdiff/zbdiff.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "patch/binary_patch.h"

namespace zbdiff {

namespace {

using Bytes = std::vector<unsigned char>;

// Tuned on executables and scripts of real release pairs (bench/):
//
// A new alignment is taken only when its exact match is longer by more than
// kSwitchGain bytes than what the current alignment explains of the same
// stretch. A triple with a far seek costs about five bytes once compressed,
// so shorter gains give the extra block back less than the triple costs. A
// seek of at most kNearSeek bytes from the current alignment (code or a table
// that grew or shrank a little) has small, repeating numbers and costs far
// less, so kNearSwitchGain is enough there.
constexpr int64_t kSwitchGain = 20, kNearSeek = 1024, kNearSwitchGain = 4;
// An alignment is extended over a stretch while kAgreeNum of every
// kAgreeDen of its bytes agree (seven in ten), a byte that differs by at
// most kSmallDelta counting half. A differing byte costs more in the
// compressed diff block than an extra byte does, so half is too lax.
constexpr int64_t kAgreeNum = 7, kAgreeDen = 10;
constexpr unsigned kSmallDelta = 8;
// Among suffixes that match equally far, up to kTies on either side of the
// one found are looked at for the one nearest to the current alignment, when
// the match is at most kTieMaxLength long (beyond, the seek's cost is lost in
// the noise and the comparisons would cost time).
constexpr int64_t kTies = 8, kTieMaxLength = 4096;
// After kMissesPerStep probes in a row found matches shorter than
// kShortMatch, positions are skipped, one more per kMissesPerStep misses, up
// to kMaxStep - 1 at a time. Unrelated data is scanned several times faster;
// matches of kSwitchGain + kMaxStep bytes or more are never missed.
constexpr int64_t kShortMatch = 8, kMissesPerStep = 16, kMaxStep = 8;

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
    // mBucket[k]: how many suffixes sort before every string whose first two
    // bytes are k (big-endian). The one-byte suffix "c" sorts before "c\0".
    mBucket.assign(65537, 0);
    for (int64_t r = 0; r < size; ++r) {
      const int64_t p = mSA[r];
      if (p + 1 < size)
        ++mBucket[size_t((old[p] << 8 | old[p + 1]) + 1)];
      else
        ++mBucket[size_t(old[p] << 8)];
    }
    for (size_t k = 1; k < mBucket.size(); ++k) mBucket[k] += mBucket[k - 1];
  }

  void Release() {
    mSA.reset();
    std::vector<int32_t>().swap(mBucket);
  }

  // The longest prefix of target[0..len) that occurs in OLD, and where.
  // Binary search over the sorted suffixes; the common prefix shared by both
  // bounds is known to match every suffix between them, so it is skipped.
  Match Longest(const unsigned char* target, int64_t len, int64_t near) const {
    Match best;
    if (mSize == 0 || len == 0) return best;
    int64_t lo = 0, hi = mSize - 1;
    if (len >= 2) {
      // Start inside the two-byte bucket when it holds anything: most of the
      // search's steps, each a cache miss, are saved.
      const size_t k = size_t(target[0] << 8 | target[1]);
      if (mBucket[k + 1] > mBucket[k]) {
        lo = mBucket[k];
        hi = mBucket[k + 1] - 1;
      }
    }
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
    int64_t rank;
    if (lcpLo >= lcpHi) {
      rank = lo;
      best.len = lcpLo;
    } else {
      rank = hi;
      best.len = lcpHi;
    }
    best.pos = mSA[rank];
    // Among the suffixes that match as far, prefer the one nearest to |near|
    // (where the current alignment would continue): a smaller seek, and a
    // better chance that the bytes around agree too.
    if (best.len > 0 && best.len <= kTieMaxLength) {
      auto consider = [&](int64_t r) {
        const int64_t p = mSA[r];
        if (std::abs(p - near) < std::abs(best.pos - near)) best.pos = p;
      };
      for (int64_t r = rank - 1, k = 0; r >= 0 && k < kTies && Lcp(r, target, len, 0) >= best.len; --r, ++k) consider(r);
      for (int64_t r = rank + 1, k = 0; r < mSize && k < kTies && Lcp(r, target, len, 0) >= best.len; ++r, ++k) consider(r);
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
  std::vector<int32_t> mBucket;
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

// How well a NEW byte is served by an OLD byte in the diff block, in
// halves: 2 when equal, 1 when they differ by at most kSmallDelta either way
// (a counter or pointer moved a little: such diff bytes repeat and compress
// well), else 0.
inline int64_t Weight(unsigned char neu, unsigned char old) {
  if (neu == old) return 2;
  const unsigned d = (unsigned char)(neu - old);
  return (d <= kSmallDelta || 256 - d <= kSmallDelta) ? 1 : 0;
}

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
    int64_t misses = 0;
    for (; scan < mNewSize;) {
      const Match m = mIndex.Longest(mNew + scan, mNewSize - scan, scan + lastOffset);
      pos = m.pos;
      len = m.len;
      for (; scsc < scan + len; ++scsc)
        if (Agrees(scsc, lastOffset)) ++oldScore;
      const int64_t gain = std::abs(pos - scan - lastOffset) <= kNearSeek ? kNearSwitchGain : kSwitchGain;
      if ((len == oldScore && len != 0) || len > oldScore + gain) break;
      // Through stretches where nothing matches, probe ever fewer positions:
      // a match long enough to be taken still covers a probed position, and
      // the backward extension finds its true start.
      misses = len < kShortMatch ? misses + 1 : 0;
      const int64_t step = std::min<int64_t>(1 + misses / kMissesPerStep, kMaxStep);
      for (int64_t k = 0; k < step && scan < mNewSize; ++k, ++scan)
        if (Agrees(scan, lastOffset)) --oldScore;
    }
    if (len == oldScore && scan != mNewSize) continue;

    // Extend the previous alignment forwards from lastScan, and the new one
    // backwards from scan, as far as the agreement stays high enough.
    int64_t lenf = 0;
    {
      int64_t s = 0, best = 0;
      for (int64_t i = 0; lastScan + i < scan && lastPos + i < mOldSize;) {
        s += Weight(mNew[lastScan + i], mOld[lastPos + i]);
        ++i;
        if (s * kAgreeDen - 2 * i * kAgreeNum > best * kAgreeDen - 2 * lenf * kAgreeNum) {  // s in halves
          best = s;
          lenf = i;
        }
      }
    }
    int64_t lenb = 0;
    if (scan < mNewSize) {
      int64_t s = 0, best = 0;
      for (int64_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
        s += Weight(mNew[scan - i], mOld[pos - i]);
        if (s * kAgreeDen - 2 * i * kAgreeNum > best * kAgreeDen - 2 * lenb * kAgreeNum) {
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
