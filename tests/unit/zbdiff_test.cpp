// Property tests of the patch generator: NEW made from a random OLD by many
// kinds of edit; each patch is applied with the updater's own applier through
// real files and must give NEW byte for byte. (The zbdiff and zbpatch
// programs are tested with the other tools in e2e/tools_cli_test.cpp.)
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "errors.h"
#include "patch/binary_patch.h"
#include "test_support.h"
#include "zbdiff/zbdiff.h"

namespace {

using testing_support::RandomBytes;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

struct Applied {
  int readRc = -1, applyRc = -1;
  std::string out;
  ZBSPatchHeader header{};
};

// Writes |patch| to a file and applies it with ZBS_ReadHeader and
// ZBS_ApplyPatch to |old| held in memory, writing a real destination file.
Applied Apply(const std::string& patch, const std::string& old) {
  ScratchDir dir;
  WriteFile(dir / "p", patch);
  Applied r;
  int pfd = open((dir / "p").c_str(), O_RDONLY);
  EXPECT_GE(pfd, 0);
  r.readRc = ZBS_ReadHeader(pfd, &r.header);
  if (r.readRc == 0) {
    int dfd = open((dir / "n").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string src = old;
    r.applyRc = ZBS_ApplyPatch(&r.header, pfd, (unsigned char*)src.data(), dfd);
    close(dfd);
    r.out = ReadFile(dir / "n");
  }
  close(pfd);
  return r;
}

// Generates, checks the header against OLD and NEW, applies and compares.
void ExpectRoundTrip(const std::string& old, const std::string& neu, const std::string& what) {
  SCOPED_TRACE(what);
  const std::string patch = zbdiff::MakePatch(old, neu);
  Applied r = Apply(patch, old);
  ASSERT_EQ(r.readRc, 0);
  EXPECT_EQ(r.header.srcLength, old.size());
  EXPECT_EQ(r.header.srcCrc32, crc32((const unsigned char*)old.data(), uint32_t(old.size())));
  EXPECT_EQ(r.header.dstLength, neu.size());
  EXPECT_EQ(r.applyRc, 0);
  ASSERT_EQ(r.out.size(), neu.size());
  EXPECT_TRUE(r.out == neu) << "patched bytes differ from NEW";
}

ZBSPatchHeader HeaderOf(const std::string& patch) {
  ZBSPatchHeader h;
  ZBS_ParseHeader((const unsigned char*)patch.data(), &h);
  return h;
}

// Text-like random data with repeats, closer to real files than pure noise.
std::string Words(size_t n, uint32_t seed) {
  static const char* kWords[] = {"alpha ", "beta ", "gamma ", "delta(", ");\n", "return ", "0x1F, ", "{", "}\n",
                                 "function ", "const ", "\t", "if (x) ", "else ", "null", "42"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += kWords[rng() % 16];
  s.resize(n);
  return s;
}

class Editor {
 public:
  explicit Editor(uint32_t seed) : mRng(seed) {}
  size_t Pick(size_t n) { return n ? mRng() % n : 0; }

  std::string Insertions(std::string s, int count) {
    for (int i = 0; i < count; ++i) s.insert(Pick(s.size() + 1), RandomBytes(1 + Pick(200), mRng()));
    return s;
  }
  std::string Deletions(std::string s, int count) {
    for (int i = 0; i < count && !s.empty(); ++i) {
      size_t at = Pick(s.size());
      s.erase(at, 1 + Pick(std::min<size_t>(300, s.size() - at)));
    }
    return s;
  }
  std::string BlockMoves(std::string s, int count) {
    for (int i = 0; i < count && s.size() > 2; ++i) {
      size_t at = Pick(s.size()), len = 1 + Pick(std::min<size_t>(4000, s.size() - at));
      std::string block = s.substr(at, len);
      s.erase(at, len);
      s.insert(Pick(s.size() + 1), block);
    }
    return s;
  }
  std::string ByteFlips(std::string s, int count) {
    for (int i = 0; i < count && !s.empty(); ++i) s[Pick(s.size())] ^= char(1 + Pick(255));
    return s;
  }
  // Adds a small constant to every little-endian 32-bit word at a stride,
  // as moved code does to its pointers.
  std::string ShiftedPointers(std::string s, size_t stride, uint32_t delta) {
    for (size_t at = 0; at + 4 <= s.size(); at += stride) {
      uint32_t v;
      memcpy(&v, s.data() + at, 4);
      v += delta;
      memcpy(s.data() + at, &v, 4);
    }
    return s;
  }

 private:
  std::mt19937 mRng;
};

TEST(ZbdiffTest, IdenticalEmptyAndRepetitiveInputsRoundTrip) {
  const std::string random = RandomBytes(100000, 1);
  std::string period;
  for (int i = 0; i < 20000; ++i) period += "abcab";
  const struct { const char* label; std::string old, neu; } cases[] = {
      {"identical random", random, random},
      {"identical words", Words(50000, 2), Words(50000, 2)},
      {"both empty", "", ""},
      {"empty old", "", RandomBytes(5000, 3)},
      {"empty new", RandomBytes(5000, 4), ""},
      {"one byte to none", "x", ""},
      {"none to one byte", "", "y"},
      {"one byte to another", "x", "y"},
      {"zeros grow", std::string(100000, '\0'), std::string(120000, '\0')},
      {"runs", std::string(100000, 'a'), std::string(50000, 'a') + "b" + std::string(50000, 'a')},
      {"periodic", period, "zz" + period.substr(3) + period.substr(0, 999)},
  };
  for (const auto& c : cases) ExpectRoundTrip(c.old, c.neu, c.label);
  EXPECT_LT(zbdiff::MakePatch(random, random).size(), random.size() + 200)
      << "identical: the diff block, all zeros, and a few triples";
  EXPECT_EQ(zbdiff::MakePatch("", "").size(), 32u);
}

TEST(ZbdiffTest, RandomEditsRoundTrip) {
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    Editor ed(seed);
    const size_t size = 1 + ed.Pick(60000);
    const std::string old = seed % 2 ? RandomBytes(size, seed) : Words(size, seed);
    ExpectRoundTrip(old, ed.Insertions(old, 1 + int(ed.Pick(30))), "insertions " + std::to_string(seed));
    ExpectRoundTrip(old, ed.Deletions(old, 1 + int(ed.Pick(30))), "deletions " + std::to_string(seed));
    ExpectRoundTrip(old, ed.BlockMoves(old, 1 + int(ed.Pick(10))), "block moves " + std::to_string(seed));
    ExpectRoundTrip(old, ed.ByteFlips(old, 1 + int(ed.Pick(500))), "byte flips " + std::to_string(seed));
    ExpectRoundTrip(old, ed.ShiftedPointers(old, 16 + ed.Pick(64), 0x40 + uint32_t(ed.Pick(4096))),
                    "shifted pointers " + std::to_string(seed));
    std::string mixed = ed.ByteFlips(ed.BlockMoves(ed.Deletions(ed.Insertions(old, 10), 10), 5), 100);
    ExpectRoundTrip(old, mixed, "mixed " + std::to_string(seed));
    ExpectRoundTrip(old, RandomBytes(1 + ed.Pick(50000), seed + 1000), "unrelated " + std::to_string(seed));
  }
}

TEST(ZbdiffTest, SmallEditGivesSmallPatchBody) {
  const std::string old = Words(200000, 9);
  std::string neu = old;
  neu.insert(100000, "an insertion in the middle");
  neu[150000] ^= 1;
  const std::string patch = zbdiff::MakePatch(old, neu);
  const ZBSPatchHeader h = HeaderOf(patch);
  EXPECT_LE(h.extraLength, 64u) << "only the inserted bytes are extra";
  EXPECT_LE(h.controlLength, 10u * kZBSTripleSize);
  size_t nonzero = 0;
  for (size_t i = 0; i < h.diffLength; ++i) nonzero += patch[kZBSHeaderSize + h.controlLength + i] != 0;
  EXPECT_LE(nonzero, 4u) << "the diff block is zeros but for the flipped byte";
}

TEST(ZbdiffTest, FindsSharedBlocksAmidUnrelatedData) {
  // Long stretches without any match are probed sparsely; the shared blocks
  // must still be found whole.
  const std::string old = RandomBytes(200000, 21);
  std::string neu;
  for (int i = 0; i < 8; ++i) neu += RandomBytes(20000 + 7 * i, 100 + i) + old.substr(size_t(i) * 20000 + 5, 300);
  ExpectRoundTrip(old, neu, "shared blocks");
  EXPECT_EQ(HeaderOf(zbdiff::MakePatch(old, neu)).extraLength, neu.size() - 8 * 300) << "every shared byte comes from OLD";
}

TEST(ZbdiffTest, ReportsProgressUpToTheTotal) {
  struct Recorder : zbdiff::Progress {
    uint64_t last = 0, total = 0;
    int calls = 0;
    void Report(uint64_t done, uint64_t t) override {
      EXPECT_GE(done, last);
      last = done;
      total = t;
      ++calls;
    }
  } rec;
  const std::string old = RandomBytes(300000, 5);
  zbdiff::MakePatch(old, Editor(5).ByteFlips(old, 50), &rec);
  EXPECT_GE(rec.calls, 1);
  EXPECT_EQ(rec.last, 300000u);
  EXPECT_EQ(rec.total, 300000u);
}

TEST(ZbdiffTest, RefusesInputsOf2GiBOrMore) {
  static const char kByte = 0;
  // Never read: the sizes are checked first.
  const std::string_view huge(&kByte, size_t(zbdiff::kMaxInputSize) + 1);
  EXPECT_THROW(zbdiff::MakePatch(huge, "x"), std::length_error);
  EXPECT_THROW(zbdiff::MakePatch("x", huge), std::length_error);
}

}  // namespace
