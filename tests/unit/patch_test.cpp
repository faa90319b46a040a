// Tests of the binary patch format and applier: crc32, ZBS_ReadHeader and
// ZBS_ApplyPatch. Malformed patches are made by breaking one field of a valid
// fixture, through the header's field offsets or the triple's position.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "patch/binary_patch.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

const std::string kSource = "hello world";  // 11 bytes, crc32 0x44F71378

// A valid patch that turns kSource into kValidResult. Three triples: a plain
// copy with an insertion, a changed byte (one diff byte non-zero) with a seek
// back, and a triple that does nothing.
Bytes ValidPatch() {
  return {
      'Z', 'B', 'D', 'I', 'F', 'F', '1', '0',  // magic
      0x00, 0x00, 0x00, 0x0B,                  // srcLength 11
      0x44, 0xF7, 0x13, 0x78,                  // srcCrc32 of "hello world"
      0x00, 0x00, 0x00, 0x0D,                  // dstLength 13
      0x00, 0x00, 0x00, 0x24,                  // controlLength 36: three triples
      0x00, 0x00, 0x00, 0x0A,                  // diffLength 10
      0x00, 0x00, 0x00, 0x03,                  // extraLength 3
      // control block: triples of add, copy, seek
      0, 0, 0, 5, 0, 0, 0, 3, 0, 0, 0, 1,              // "hello", "XYZ", skip the blank to position 6
      0, 0, 0, 5, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xF6,  // "world" + diff, nothing, -10 to position 1
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,              // nothing at all
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFA,                 // diff block: 'd' + 0xFA wraps to '^'
      'X', 'Y', 'Z',                                   // extra block
  };
}
const std::string kValidResult = "helloXYZworl^";

constexpr size_t kSrcCrc = offsetof(ZBSPatchHeader, srcCrc32), kDstLen = offsetof(ZBSPatchHeader, dstLength),
                 kControlLen = offsetof(ZBSPatchHeader, controlLength),
                 kDiffLen = offsetof(ZBSPatchHeader, diffLength), kExtraLen = offsetof(ZBSPatchHeader, extraLength);
size_t TripleAt(int t) { return kZBSHeaderSize + size_t(t) * kZBSTripleSize; }

// |p| with the big-endian 32-bit words at the given offsets replaced.
Bytes With(Bytes p, std::initializer_list<std::pair<size_t, uint32_t>> words) {
  for (auto [at, v] : words) zbs_put_be32(p.data() + at, v);
  return p;
}
Bytes ValidWith(std::initializer_list<std::pair<size_t, uint32_t>> words) { return With(ValidPatch(), words); }
// |size| zero bytes but for the magic.
Bytes MagicOnly(size_t size) {
  Bytes p(size, 0);
  memcpy(p.data(), kZBSMagic, 8);
  return p;
}

ZBSPatchHeader HeaderOf(const Bytes& patch) {
  ZBSPatchHeader h;
  ZBS_ParseHeader(patch.data(), &h);
  return h;
}

struct Outcome {
  int readRc = -1;   // ZBS_ReadHeader's result; 0 for a header given by hand
  int applyRc = -1;  // ZBS_ApplyPatch's result; -1 when not called
  std::string out;   // the scratch destination's bytes after
};

// Writes |patch| to a real file opened with |patchFlags| and reads its header,
// or with |given| skips to the body; then applies to |source|. The destination
// is |destfd|, or when -1 a scratch file that |before| was first written to.
Outcome RunPatch(const Bytes& patch, const std::string& source, const ZBSPatchHeader* given = nullptr,
                 int patchFlags = O_RDONLY, int destfd = -1, const std::string& before = "") {
  ScratchDir dir;
  WriteFile(dir / "p", std::string(patch.begin(), patch.end()));
  WriteFile(dir / "d", "");
  Outcome r;
  int pfd = open((dir / "p").c_str(), patchFlags);
  EXPECT_GE(pfd, 0);
  ZBSPatchHeader header;
  if (given) {
    header = *given;
    r.readRc = lseek(pfd, kZBSHeaderSize, SEEK_SET) == kZBSHeaderSize ? 0 : ERR_READ;
  } else {
    r.readRc = ZBS_ReadHeader(pfd, &header);
  }
  if (r.readRc == 0) {
    const bool scratch = destfd < 0;
    if (scratch) {
      destfd = open((dir / "d").c_str(), O_WRONLY);
      EXPECT_EQ(write(destfd, before.data(), before.size()), ssize_t(before.size()));
    }
    std::vector<unsigned char> src(source.begin(), source.end());
    r.applyRc = ZBS_ApplyPatch(&header, pfd, src.empty() ? nullptr : src.data(), destfd);
    if (scratch) close(destfd);
    r.out = ReadFile(dir / "d");
    EXPECT_EQ(std::string(src.begin(), src.end()), source) << "the source must not be modified";
  }
  close(pfd);
  return r;
}

// A patch from triples and blocks, with the header computed to fit.
struct Triple {
  uint32_t add, copy;
  int32_t seek;
};
Bytes MakePatch(const std::string& source, const std::vector<Triple>& triples, const Bytes& diff,
                const std::string& extra) {
  Bytes p(kZBSHeaderSize + triples.size() * kZBSTripleSize);
  ZBSPatchHeader h;
  ZBS_InitHeader(&h, uint32_t(source.size()), crc32((const unsigned char*)source.data(), uint32_t(source.size())), 0,
                 uint32_t(triples.size() * kZBSTripleSize), uint32_t(diff.size()), uint32_t(extra.size()));
  ZBS_SerializeHeader(&h, p.data());
  for (size_t i = 0; i < triples.size(); ++i)
    ZBS_PutTriple(p.data() + TripleAt(int(i)), triples[i].add, triples[i].copy, triples[i].seek);
  p.insert(p.end(), diff.begin(), diff.end());
  p.insert(p.end(), extra.begin(), extra.end());
  return p;
}

// A straightforward bit-by-bit CRC-32/BZIP2 to check the table-driven one.
uint32_t ReferenceCrc(const unsigned char* p, size_t n) {
  uint32_t c = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) {
    c ^= uint32_t(p[i]) << 24;
    for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
  }
  return ~c;
}

uint32_t Crc(const std::string& s) { return crc32((const unsigned char*)s.data(), uint32_t(s.size())); }

// ---- crc32 ------------------------------------------------------------------

TEST(Crc32Test, KnownValues) {
  const std::pair<std::string, uint32_t> cases[] = {
      {"123456789", 0xFC891918u} /* the check value */, {"", 0u}, {"a", 0x19939B6Bu}, {"hello world", 0x44F71378u},
      {"The quick brown fox jumps over the lazy dog", 0x459DEE61u}, {std::string(32, '\0'), 0xB5AA5098u},
      {std::string(4, '\xFF'), 0xFFFFFFFFu},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(Crc(input), expected) << input.size() << " bytes: " << input;
  EXPECT_EQ(crc32(nullptr, 0), 0u);
}

TEST(Crc32Test, MatchesBitwiseReferenceAtEveryLengthAndAlignment) {
  const std::string data = testing_support::RandomBytes(300, 7);
  const unsigned char* p = (const unsigned char*)data.data();
  for (size_t start = 0; start < 8; ++start)
    for (size_t n = 0; n + start <= data.size(); n += 1 + n / 16)
      ASSERT_EQ(crc32(p + start, uint32_t(n)), ReferenceCrc(p + start, n)) << start << " " << n;
}

TEST(Crc32Test, UpdateContinues) {
  const std::string data = testing_support::RandomBytes(1000, 3);
  const unsigned char* p = (const unsigned char*)data.data();
  for (size_t cut : {0, 1, 3, 4, 5, 999, 1000})
    EXPECT_EQ(zbs_crc32_update(zbs_crc32_update(0, p, cut), p + cut, data.size() - cut), crc32(p, 1000)) << cut;
}

// ---- the valid fixture and the format helpers -------------------------------

TEST(PatchFormatTest, HeaderIs32PackedBytesInFileOrder) {
  EXPECT_EQ(sizeof(ZBSPatchHeader), 32u);
  EXPECT_EQ((std::vector<size_t>{offsetof(ZBSPatchHeader, srcLength), kSrcCrc, kDstLen, kControlLen, kDiffLen, kExtraLen}),
            (std::vector<size_t>{8, 12, 16, 20, 24, 28}));
}

TEST(PatchFormatTest, SerializeAndParseRoundTrip) {
  ZBSPatchHeader h, back;
  ZBS_InitHeader(&h, 1, 0xDEADBEEF, 3, 12, 5, 0xFFFFFFFF);
  unsigned char raw[32];
  ZBS_SerializeHeader(&h, raw);
  EXPECT_EQ(0, memcmp(raw, "ZBDIFF10", 8));
  EXPECT_EQ(raw[12], 0xDE);
  EXPECT_EQ(raw[15], 0xEF);
  ZBS_ParseHeader(raw, &back);
  EXPECT_EQ(0, memcmp(&h, &back, sizeof(h)));
}

TEST(PatchFormatTest, HelpersRebuildTheAnnotatedFixture) {
  Bytes diff(10, 0);
  diff[9] = 0xFA;
  EXPECT_EQ(With(MakePatch(kSource, {{5, 3, 1}, {5, 0, -10}, {0, 0, 0}}, diff, "XYZ"), {{kDstLen, 13}}), ValidPatch());
}

// ---- ZBS_ReadHeader ---------------------------------------------------------

TEST(PatchReadHeaderTest, FillsTheRecordInHostOrderAndStandsAfterIt) {
  ScratchDir dir;
  Bytes p = ValidPatch();
  WriteFile(dir / "p", std::string(p.begin(), p.end()));
  int fd = open((dir / "p").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ZBSPatchHeader h;
  ASSERT_EQ(ZBS_ReadHeader(fd, &h), 0);
  EXPECT_EQ(0, memcmp(h.magic, "ZBDIFF10", 8));
  EXPECT_EQ((std::vector<uint32_t>{h.srcLength, h.srcCrc32, h.dstLength, h.controlLength, h.diffLength, h.extraLength}),
            (std::vector<uint32_t>{11, 0x44F71378u, 13, 36, 10, 3}));
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 32);
  close(fd);
}

TEST(PatchReadHeaderTest, UnreadableDescriptorIsReadError) {
  ScratchDir dir;
  WriteFile(dir / "p", "x");
  int fd = open((dir / "p").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ZBSPatchHeader h;
  EXPECT_EQ(ZBS_ReadHeader(fd, &h), ERR_READ);
  close(fd);
}

TEST(PatchReadHeaderTest, ShortOrInconsistentHeadersAreRefused) {
  struct Case { std::string label; Bytes patch; int rc; std::string source = kSource; };
  const Bytes valid = ValidPatch();
  Bytes longer = valid;
  longer.push_back(0);
  std::vector<Case> cases = {
      {"31 bytes", Bytes(valid.begin(), valid.begin() + 31), ERR_READ},
      {"empty file", {}, ERR_READ},
      {"one byte more than accounted for", longer, ERR_DATA},
      {"one byte less than accounted for", Bytes(valid.begin(), valid.end() - 1), ERR_DATA},
      {"diffLength one too many", ValidWith({{kDiffLen, 11}}), ERR_DATA},
      {"extraLength one too many", ValidWith({{kExtraLen, 4}}), ERR_DATA},
      {"controlLength one triple too many", ValidWith({{kControlLen, 48}}), ERR_DATA},
      // 32 + 0xFFFFFFF4 + 0 + 0x35 wraps to 33 in 32 bits, the file's size.
      {"lengths wrapping to the file size", With(MagicOnly(33), {{kControlLen, 0xFFFFFFF4u}, {kExtraLen, 0x35u}}),
       ERR_DATA},
  };
  for (size_t i = 0; i < 8; ++i) {
    Bytes p = valid;
    p[i] ^= 0x20;
    cases.push_back({"magic byte " + std::to_string(i), p, ERR_DATA});
  }
  for (size_t field : {kControlLen, kDiffLen, kExtraLen})
    cases.push_back({"0xFFFFFFFF at " + std::to_string(field), With(MagicOnly(32), {{field, 0xFFFFFFFFu}}), ERR_DATA, ""});
  // Diff bytes moved into the control block: the sizes still add up.
  for (uint32_t moved : {1u, 4u, 8u, 11u})
    cases.push_back({"control block not whole triples, +" + std::to_string(moved),
                     ValidWith({{kControlLen, 36 + moved}, {kDiffLen, 10 - moved}}), ERR_DATA});
  for (const Case& c : cases) EXPECT_EQ(RunPatch(c.patch, c.source).readRc, c.rc) << c.label;
}

// ---- ZBS_ApplyPatch ---------------------------------------------------------

TEST(PatchApplyTest, PatchesGiveTheirResultOrFailKeepingWhatWasWritten) {
  struct Case { const char* label; Bytes patch; int rc; std::string out, source = kSource; };
  const Case cases[] = {
      {"the annotated fixture", ValidPatch(), 0, kValidResult},
      {"srcCrc32 is not checked here", ValidWith({{kSrcCrc, 0x12345678}}), 0, kValidResult},
      {"dstLength is not checked here", ValidWith({{kDstLen, 0x12345678}}), 0, kValidResult},
      {"exactly 32 bytes with empty blocks and source", MakePatch("", {}, {}, ""), 0, "", ""},
      {"zero-count triple only moves the position", MakePatch(kSource, {{0, 0, 6}, {5, 0, 0}}, Bytes(5, 0), ""), 0,
       "world"},
      {"negative seek reuses earlier bytes",
       MakePatch(kSource, {{5, 0, -5}, {5, 1, -5}, {5, 0, 0}}, Bytes(15, 0), "-"), 0, "hellohello-hello"},
      {"seek to exactly the end", MakePatch(kSource, {{0, 1, 11}, {0, 1, 0}}, {}, "ab"), 0, "ab"},
      {"sums wrap modulo 256", MakePatch("\x01\x80\xFF", {{3, 0, 0}}, Bytes{0xFF, 0x80, 0x02}, ""), 0,
       std::string("\x00\x00\x01", 3), "\x01\x80\xFF"},
      {"unused diff and extra bytes are ignored", MakePatch(kSource, {{2, 1, 0}}, Bytes(9, 0), "abc"), 0, "hea"},
      {"empty control block", MakePatch(kSource, {}, Bytes(3, 1), "xyz"), 0, ""},
      {"extra-only patch of an empty source", MakePatch("", {{0, 3, 0}, {0, 2, 0}}, {}, "brand"), 0, "brand", ""},
      // From position 6, 5 bytes fit, 6 do not.
      {"add beyond the source", ValidWith({{TripleAt(1), 6}}), ERR_DATA, "helloXYZ"},
      {"add the source allows but the diff block does not", MakePatch(kSource, {{5, 0, 0}}, Bytes(4, 0), ""),
       ERR_DATA, ""},
      {"copy beyond the extra block, after the add bytes", ValidWith({{TripleAt(0) + 4, 4}}), ERR_DATA, "hello"},
      {"seek from 11 to -1", ValidWith({{TripleAt(1) + 8, uint32_t(-12)}}), ERR_DATA, kValidResult},
      {"seek from 5 to 12, one past the end", ValidWith({{TripleAt(0) + 8, 7}}), ERR_DATA, "helloXYZ"},
      {"add after a seek to the end", MakePatch(kSource, {{0, 1, 11}, {1, 0, 0}}, Bytes(1, 0), "a"), ERR_DATA, "a"},
      {"seek 0x7FFFFFFF", MakePatch(kSource, {{0, 0, int32_t(0x7FFFFFFFu)}}, {}, ""), ERR_DATA, ""},
      {"seek 0x80000000", MakePatch(kSource, {{0, 0, int32_t(0x80000000u)}}, {}, ""), ERR_DATA, ""},
      {"seek 0xFFFFFFFF", MakePatch(kSource, {{0, 0, int32_t(0xFFFFFFFFu)}}, {}, ""), ERR_DATA, ""},
      {"largest add count", MakePatch(kSource, {{0xFFFFFFFFu, 0, 0}}, Bytes(3, 0), ""), ERR_DATA, ""},
      {"largest copy count", MakePatch(kSource, {{0, 0xFFFFFFFFu, 0}}, {}, "abc"), ERR_DATA, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Outcome r = RunPatch(c.patch, c.source);
    ASSERT_EQ(r.readRc, 0);
    EXPECT_EQ(r.applyRc, c.rc);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST(PatchApplyTest, HandMadeHeaderWithBadBodyOrDestination) {
  const Bytes valid = ValidPatch(), copyOnly = MakePatch("", {{0, 2, 0}}, {}, "ab");
  const ZBSPatchHeader h = HeaderOf(valid), copyHeader = HeaderOf(copyOnly);
  ZBSPatchHeader partial = h;
  partial.controlLength = 40;  // three triples and four bytes of the diff block
  partial.diffLength = 6;
  Outcome r = RunPatch(Bytes(valid.begin(), valid.end() - 1), kSource, &h);
  EXPECT_EQ(r.applyRc, ERR_DATA) << "body ending early";
  EXPECT_EQ(r.out, "") << "nothing is written before the whole body is read";
  r = RunPatch(valid, kSource, &partial);
  EXPECT_EQ(r.applyRc, ERR_DATA) << "partial triple";
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(RunPatch(valid, kSource, &h, O_WRONLY).applyRc, ERR_READ) << "unreadable body";
  r = RunPatch(valid, kSource, &h, O_RDONLY, -1, ">>");
  EXPECT_EQ(r.applyRc, 0);
  EXPECT_EQ(r.out, ">>" + kValidResult) << "writes from where the destination stands";

  ScratchDir dir;
  WriteFile(dir / "d", "");
  int dfd = open((dir / "d").c_str(), O_RDONLY);
  EXPECT_EQ(RunPatch(valid, kSource, &h, O_RDONLY, dfd).applyRc, ERR_WRITE) << "read-only destination";
  close(dfd);
  if ((dfd = open("/dev/full", O_WRONLY)) < 0) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(RunPatch(valid, kSource, &h, O_RDONLY, dfd).applyRc, ERR_WRITE) << "full device";
  EXPECT_EQ(RunPatch(copyOnly, "", &copyHeader, O_RDONLY, dfd).applyRc, ERR_WRITE) << "full device, copy only";
  close(dfd);
}

#if defined(__SANITIZE_ADDRESS__)
#define PATCH_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PATCH_TEST_ASAN 1
#endif
#endif

int ApplyHugeBodyWithCappedMemory() {
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = rlim_t(1) << 30;
  if (setrlimit(RLIMIT_AS, &limit) != 0) return 100;
  ZBSPatchHeader h;
  ZBS_InitHeader(&h, 0, 0, 0, 0xFFFFFFF0u, 0xFFFFFFFFu, 0xFFFFFFFFu);
  return ZBS_ApplyPatch(&h, -1, nullptr, -1);
}

TEST(PatchApplyTest, BodyAllocationFailureIsMemoryError) {
#ifdef PATCH_TEST_ASAN
  GTEST_SKIP() << "the address sanitizer's allocator reports an impossible allocation instead of returning null";
#endif
  // In a child whose address space is capped at 1 GiB, a body of about
  // 12 GiB cannot be allocated; nothing is read or written first.
  EXPECT_EXIT(_exit(ApplyHugeBodyWithCappedMemory()), testing::ExitedWithCode(ERR_MEMORY), "");
}

}  // namespace
