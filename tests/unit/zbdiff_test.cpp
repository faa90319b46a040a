// Property tests of the patch generator: NEW made from a random OLD by many
// kinds of edit; each patch is applied with the updater's own applier through
// real files and must give NEW byte for byte.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "patch/binary_patch.h"
#include "test_support.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

ZBSPatchHeader HeaderOf(const std::string& patch) {
  ZBSPatchHeader h;
  ZBS_ParseHeader((const unsigned char*)patch.data(), &h);
  return h;
}

// Generates, applies through files and compares; returns the patch.
std::string ExpectRoundTrip(const std::string& old, const std::string& neu, const std::string& what) {
  SCOPED_TRACE(what);
  ScratchDir dir;
  const std::string patch = zbdiff::MakePatch(old, neu);
  WriteFile(dir / "p", patch);
  const int pfd = open((dir / "p").c_str(), O_RDONLY), dfd = open((dir / "n").c_str(), O_WRONLY | O_CREAT, 0644);
  ZBSPatchHeader h;
  EXPECT_EQ(ZBS_ReadHeader(pfd, &h), 0);
  EXPECT_EQ(h.srcLength, old.size());
  EXPECT_EQ(h.srcCrc32, crc32((const unsigned char*)old.data(), uint32_t(old.size())));
  std::string src = old;
  EXPECT_EQ(ZBS_ApplyPatch(&h, pfd, (unsigned char*)src.data(), dfd), 0);
  close(pfd);
  close(dfd);
  EXPECT_TRUE(ReadFile(dir / "n") == neu) << "patched bytes differ from NEW";
  return patch;
}

// Text-like random data with repeats, closer to real files than pure noise.
std::string Words(size_t n, uint32_t seed) {
  static const char* kWords[] = {"alpha ", "beta ", "gamma(", ");\n", "return ", "0x1F, ", "{", "}\n"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += kWords[rng() % 8];
  return s.substr(0, n);
}

TEST(ZbdiffTest, EdgeAndRandomEditsRoundTrip) {
  std::string period;
  for (int i = 0; i < 20000; ++i) period += "abcab";
  const std::string random = RandomBytes(100000, 1);
  const std::pair<std::string, std::string> edges[] = {
      {random, random}, {"", ""}, {"", RandomBytes(5000, 3)}, {RandomBytes(5000, 4), ""}, {"x", ""}, {"", "y"},
      {"x", "y"}, {std::string(100000, '\0'), std::string(120000, '\0')},
      {std::string(100000, 'a'), std::string(50000, 'a') + "b" + std::string(50000, 'a')},
      {period, "zz" + period.substr(3) + period.substr(0, 999)}};
  for (const auto& [old, neu] : edges) ExpectRoundTrip(old, neu, std::to_string(old.size()) + " to " + std::to_string(neu.size()));
  EXPECT_LT(zbdiff::MakePatch(random, random).size(), random.size() + 200) << "identical: a zero diff block, few triples";

  for (uint32_t seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    auto pick = [&](size_t n) { return n ? rng() % n : 0; };
    const std::string old = seed % 2 ? RandomBytes(1 + pick(60000), seed) : Words(1 + pick(60000), seed);
    // Insertions, deletions, block moves, byte flips, pointers shifted at a
    // stride (as moved code has them), all of them, and unrelated data.
    std::string ins = old, del = old, moved = old, flipped = old, shifted = old;
    for (int i = 0; i < 20; ++i) {
      ins.insert(pick(ins.size() + 1), RandomBytes(1 + pick(200), rng()));
      del.erase(pick(del.size()), 1 + pick(300));
      flipped[pick(flipped.size())] ^= char(1 + pick(255));
      const size_t at = pick(moved.size()), len = 1 + pick(std::min<size_t>(4000, moved.size() - at));
      const std::string block = moved.substr(at, len);
      moved.erase(at, len);
      moved.insert(pick(moved.size() + 1), block);
    }
    const size_t stride = 16 + pick(64);
    for (size_t at = 0; at + 4 <= shifted.size(); at += stride) {
      uint32_t v;
      memcpy(&v, shifted.data() + at, 4);
      v += 0x40 + uint32_t(seed);
      memcpy(shifted.data() + at, &v, 4);
    }
    std::string mixed = moved + ins.substr(0, ins.size() / 2);
    for (const auto& [what, neu] : {std::pair{"insertions", ins}, {"deletions", del}, {"block moves", moved},
                                    {"byte flips", flipped}, {"shifted pointers", shifted}, {"mixed", mixed},
                                    {"unrelated", RandomBytes(1 + pick(50000), seed + 1000)}})
      ExpectRoundTrip(old, neu, what + (" " + std::to_string(seed)));
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

// Long stretches without any match are probed sparsely; shared blocks just
// long enough to be worth a switch must still be found whole.
TEST(ZbdiffTest, FindsSharedBlocksAmidUnrelatedData) {
  const std::string old = RandomBytes(200000, 21);
  std::string neu;
  for (int i = 0; i < 8; ++i) neu += RandomBytes(20000 + 7 * i, 100 + i) + old.substr(size_t(i) * 20000 + 5, 40);
  EXPECT_EQ(HeaderOf(ExpectRoundTrip(old, neu, "shared blocks")).extraLength, neu.size() - 8 * 40)
      << "every shared byte comes from OLD";
}

TEST(ZbdiffTest, ReportsProgressUpToTheTotalAndRefuses2GiB) {
  struct Recorder : zbdiff::Progress {
    uint64_t last = 0, total = 0;
    void Report(uint64_t done, uint64_t t) override {
      EXPECT_GE(done, last);
      last = done;
      total = t;
    }
  } rec;
  const std::string old = RandomBytes(300000, 5);
  zbdiff::MakePatch(old, old.substr(150000) + old.substr(0, 150000), &rec);  // a report midway, then the last
  EXPECT_EQ(rec.last, 300000u);
  EXPECT_EQ(rec.total, 300000u);
  static const char kByte = 0;
  const std::string_view huge(&kByte, size_t(zbdiff::kMaxInputSize) + 1);  // never read: sizes are checked first
  EXPECT_THROW(zbdiff::MakePatch(huge, "x"), std::length_error);
  EXPECT_THROW(zbdiff::MakePatch("x", huge), std::length_error);
}

}  // namespace
