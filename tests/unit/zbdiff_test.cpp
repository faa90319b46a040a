// Property tests of the patch generator: NEW made from a random OLD by many kinds of edit; each patch is applied with
// the updater's own applier and must give NEW byte for byte.
#include <algorithm>
#include <random>

#include "common/zar_writer.h"
#include "make_update/update_build.h"
#include "patch/binary_patch.h"
#include "test_support.h"
#include "zbdiff/zbdiff.h"

using namespace testing_support;

namespace {

// Generates and proves (header, size and CRC-32 of OLD, the applier's result
// byte for byte); returns the patch's header.
ZBSPatchHeader ExpectRoundTrip(const std::string& old, const std::string& neu, const std::string& what) {
  const std::string patch = zbdiff::MakePatch(old, neu);
  EXPECT_NO_THROW(make_update::ProvePatch(what, old, zar::Compress(patch), neu));
  ZBSPatchHeader h;
  ZBS_ParseHeader((const unsigned char*)patch.data(), &h);
  return h;
}

TEST(ZbdiffTest, EdgeAndRandomEditsRoundTrip) {
  std::string period;
  for (int i = 0; i < 20000; ++i) period += "abcab";
  const std::string random = RandomBytes(100000, 1);
  const std::pair<std::string, std::string> edges[] = {
      {random, random}, {"", ""}, {"", RandomBytes(5000, 3)}, {RandomBytes(5000, 4), ""}, {"x", "y"},
      {std::string(100000, '\0'), std::string(120000, '\0')},
      {std::string(100000, 'a'), std::string(50000, 'a') + "b" + std::string(50000, 'a')},
      {period, "zz" + period.substr(3) + period.substr(0, 999)}};
  for (const auto& [old, neu] : edges)
    ExpectRoundTrip(old, neu, std::to_string(old.size()) + " to " + std::to_string(neu.size()));
  // Random and text-like OLDs, each edited by insertions, deletions, block
  // moves, byte flips and pointers shifted at a stride (as moved code has them).
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    auto pick = [&](size_t n) { return n ? rng() % n : 0; };
    std::string neu = RandomBytes(1000 + pick(60000), seed);
    if (seed % 2 == 0)  // text-like: few symbols, many repeats
      for (char& c : neu) c = "abc {}\n"[uint8_t(c) % 7];
    const std::string old = neu;
    for (int i = 0; i < 20; ++i) {
      neu.insert(pick(neu.size() + 1), RandomBytes(1 + pick(200), rng()));
      neu.erase(pick(neu.size()), 1 + pick(300));
      neu[pick(neu.size())] ^= char(1 + pick(255));
      const size_t from = pick(neu.size()), to = from + pick(std::min<size_t>(4000, neu.size() - from));
      std::rotate(neu.begin() + long(from), neu.begin() + long(to), neu.begin() + long(to + pick(neu.size() - to)));
    }
    for (size_t at = 0; at < neu.size() / 2; at += 16 + seed) neu[at] = char(neu[at] + 0x40 + seed);
    ExpectRoundTrip(old, neu, "edits " + std::to_string(seed));
    ExpectRoundTrip(old, RandomBytes(1 + pick(50000), seed + 1000), "unrelated " + std::to_string(seed));
  }
}

// Long stretches without any match are probed sparsely; shared blocks just
// long enough to be worth a switch must still be found whole.
TEST(ZbdiffTest, FindsSharedBlocksAmidUnrelatedData) {
  const std::string old = RandomBytes(200000, 21);
  std::string neu;
  for (int i = 0; i < 8; ++i) neu += RandomBytes(20000 + 7 * i, 100 + i) + old.substr(size_t(i) * 20000 + 5, 40);
  EXPECT_EQ(ExpectRoundTrip(old, neu, "shared blocks").extraLength, neu.size() - 8 * 40)
      << "every shared byte comes from OLD";
}

TEST(ZbdiffTest, ReportsProgressUpToTheTotalAndRefuses2GiB) {
  struct Recorder : zbdiff::Progress {
    uint64_t last = 0;
    void Report(uint64_t done, uint64_t total) override {
      EXPECT_GE(done, last);
      EXPECT_EQ(total, 300000u);
      last = done;
    }
  } rec;
  const std::string old = RandomBytes(300000, 5);
  zbdiff::MakePatch(old, old.substr(150000) + old.substr(0, 150000), &rec);  // a report midway, then the last
  EXPECT_EQ(rec.last, 300000u);
  static const char kByte = 0;
  const std::string_view huge(&kByte, size_t(zbdiff::kMaxInputSize) + 1);  // never read: sizes are checked first
  EXPECT_THROW(zbdiff::MakePatch(huge, "x"), std::length_error);
  EXPECT_THROW(zbdiff::MakePatch("x", huge), std::length_error);
}

}  // namespace
