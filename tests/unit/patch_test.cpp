// Tests of the binary patch format and applier: crc32, ZBS_ReadHeader and
// ZBS_ApplyPatch. Malformed patches are made by breaking one field of a valid
// fixture, through the header's field offsets or the triple's position.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "errors.h"
#include "patch/binary_patch.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testing_support::ReadFile;
using testing_support::ScratchDir;

// The source of the fixture below.
const std::string kSource = "hello world";  // 11 bytes, crc32 0x44F71378

// A valid patch that turns kSource into "helloXYZworle", annotated field by
// field. Three triples: a plain copy with an insertion, a changed byte (one
// diff byte non-zero) with a seek back, and a triple that does nothing.
Bytes ValidPatch() {
  return {
      'Z', 'B', 'D', 'I', 'F', 'F', '1', '0',  // magic
      0x00, 0x00, 0x00, 0x0B,                  // srcLength 11
      0x44, 0xF7, 0x13, 0x78,                  // srcCrc32 of "hello world"
      0x00, 0x00, 0x00, 0x0D,                  // dstLength 13
      0x00, 0x00, 0x00, 0x24,                  // controlLength 36: three triples
      0x00, 0x00, 0x00, 0x0A,                  // diffLength 10
      0x00, 0x00, 0x00, 0x03,                  // extraLength 3
      // control block
      0x00, 0x00, 0x00, 0x05,  // triple 0: add 5 ("hello")
      0x00, 0x00, 0x00, 0x03,  //           copy 3 ("XYZ")
      0x00, 0x00, 0x00, 0x01,  //           seek +1 (skip the blank): position 6
      0x00, 0x00, 0x00, 0x05,  // triple 1: add 5 ("world" + diff)
      0x00, 0x00, 0x00, 0x00,  //           copy 0
      0xFF, 0xFF, 0xFF, 0xF6,  //           seek -10: position 1
      0x00, 0x00, 0x00, 0x00,  // triple 2: add 0
      0x00, 0x00, 0x00, 0x00,  //           copy 0
      0x00, 0x00, 0x00, 0x00,  //           seek 0
      // diff block
      0, 0, 0, 0, 0,           // "hello" unchanged
      0, 0, 0, 0, 0xFA,        // "world" with 'd' + 0xFA wrapping to '^'
      // extra block
      'X', 'Y', 'Z',
  };
}
// 'd' (0x64) + 0xFA = 0x15E, which wraps to 0x5E '^'.
const std::string kValidResult = "helloXYZworl^";

constexpr size_t kControlAt = kZBSHeaderSize;
size_t TripleAt(int t) { return kControlAt + size_t(t) * kZBSTripleSize; }

void PutBe32(Bytes* b, size_t at, uint32_t v) { zbs_put_be32(b->data() + at, v); }
void PutField(Bytes* b, size_t offset, uint32_t v) { PutBe32(b, offset, v); }

struct Outcome {
  int readRc = -1;   // ZBS_ReadHeader's result
  int applyRc = -1;  // ZBS_ApplyPatch's result; -1 when not called
  std::string out;   // the destination file's bytes
};

// Writes |patch| to a real file, reads its header, and when that succeeds
// applies it to |source| into a real destination file.
Outcome RunPatch(const Bytes& patch, const std::string& source) {
  ScratchDir dir;
  const std::string patchPath = dir / "0.patch", destPath = dir / "dest";
  testing_support::WriteFile(patchPath, std::string(patch.begin(), patch.end()));
  Outcome r;
  int pfd = open(patchPath.c_str(), O_RDONLY);
  EXPECT_GE(pfd, 0);
  ZBSPatchHeader header;
  r.readRc = ZBS_ReadHeader(pfd, &header);
  if (r.readRc == 0) {
    int dfd = open(destPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(dfd, 0);
    std::vector<unsigned char> src(source.begin(), source.end());
    r.applyRc = ZBS_ApplyPatch(&header, pfd, src.empty() ? nullptr : src.data(), dfd);
    close(dfd);
    r.out = ReadFile(destPath);
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

TEST(Crc32Test, CheckValue) { EXPECT_EQ(Crc("123456789"), 0xFC891918u); }

TEST(Crc32Test, EmptyIsZero) {
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  EXPECT_EQ(Crc(""), 0u);
}

TEST(Crc32Test, KnownValues) {
  EXPECT_EQ(Crc("a"), 0x19939B6Bu);
  EXPECT_EQ(Crc("The quick brown fox jumps over the lazy dog"), 0x459DEE61u);
  EXPECT_EQ(Crc("hello world"), 0x44F71378u);
  EXPECT_EQ(Crc(std::string(32, '\0')), 0xB5AA5098u);
  EXPECT_EQ(Crc(std::string(4, '\xFF')), 0xFFFFFFFFu);
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
    EXPECT_EQ(zbs_crc32_update(zbs_crc32_update(0, p, cut), p + cut, data.size() - cut), crc32(p, 1000));
}

// ---- the valid fixture and the format helpers -------------------------------

TEST(PatchFormatTest, HeaderIs32PackedBytesInFileOrder) {
  EXPECT_EQ(sizeof(ZBSPatchHeader), 32u);
  EXPECT_EQ(offsetof(ZBSPatchHeader, srcLength), 8u);
  EXPECT_EQ(offsetof(ZBSPatchHeader, srcCrc32), 12u);
  EXPECT_EQ(offsetof(ZBSPatchHeader, dstLength), 16u);
  EXPECT_EQ(offsetof(ZBSPatchHeader, controlLength), 20u);
  EXPECT_EQ(offsetof(ZBSPatchHeader, diffLength), 24u);
  EXPECT_EQ(offsetof(ZBSPatchHeader, extraLength), 28u);
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
  Bytes built = MakePatch(kSource, {{5, 3, 1}, {5, 0, -10}, {0, 0, 0}}, diff, "XYZ");
  PutField(&built, offsetof(ZBSPatchHeader, dstLength), 13);
  EXPECT_EQ(built, ValidPatch());
}

TEST(PatchApplyTest, ValidFixture) {
  Outcome r = RunPatch(ValidPatch(), kSource);
  EXPECT_EQ(r.readRc, 0);
  EXPECT_EQ(r.applyRc, 0);
  EXPECT_EQ(r.out, kValidResult);
}

TEST(PatchReadHeaderTest, FillsTheRecordInHostOrderAndStandsAfterIt) {
  ScratchDir dir;
  Bytes p = ValidPatch();
  testing_support::WriteFile(dir / "p", std::string(p.begin(), p.end()));
  int fd = open((dir / "p").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ZBSPatchHeader h;
  ASSERT_EQ(ZBS_ReadHeader(fd, &h), 0);
  EXPECT_EQ(0, memcmp(h.magic, "ZBDIFF10", 8));
  EXPECT_EQ(h.srcLength, 11u);
  EXPECT_EQ(h.srcCrc32, 0x44F71378u);
  EXPECT_EQ(h.dstLength, 13u);
  EXPECT_EQ(h.controlLength, 36u);
  EXPECT_EQ(h.diffLength, 10u);
  EXPECT_EQ(h.extraLength, 3u);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 32);
  close(fd);
}

// ---- ZBS_ReadHeader failure rows --------------------------------------------

TEST(PatchReadHeaderTest, ShorterThan32BytesIsReadError) {
  Bytes p = ValidPatch();
  p.resize(31);
  EXPECT_EQ(RunPatch(p, kSource).readRc, ERR_READ);
  EXPECT_EQ(RunPatch({}, kSource).readRc, ERR_READ);
}

TEST(PatchReadHeaderTest, UnreadableDescriptorIsReadError) {
  ScratchDir dir;
  testing_support::WriteFile(dir / "p", "x");
  int fd = open((dir / "p").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ZBSPatchHeader h;
  EXPECT_EQ(ZBS_ReadHeader(fd, &h), ERR_READ);
  close(fd);
}

TEST(PatchReadHeaderTest, BadMagicIsDataError) {
  for (size_t i = 0; i < 8; ++i) {
    Bytes p = ValidPatch();
    p[i] ^= 0x20;
    EXPECT_EQ(RunPatch(p, kSource).readRc, ERR_DATA) << "magic byte " << i;
  }
}

TEST(PatchReadHeaderTest, OneByteMoreThanAccountedForIsDataError) {
  Bytes p = ValidPatch();
  p.push_back(0);
  EXPECT_EQ(RunPatch(p, kSource).readRc, ERR_DATA);
}

TEST(PatchReadHeaderTest, OneByteLessThanAccountedForIsDataError) {
  Bytes p = ValidPatch();
  p.pop_back();
  EXPECT_EQ(RunPatch(p, kSource).readRc, ERR_DATA);
}

TEST(PatchReadHeaderTest, EachBlockLengthBrokenIsDataError) {
  for (size_t field : {offsetof(ZBSPatchHeader, diffLength), offsetof(ZBSPatchHeader, extraLength)}) {
    Bytes p = ValidPatch();
    PutField(&p, field, zbs_get_be32(p.data() + field) + 1);
    EXPECT_EQ(RunPatch(p, kSource).readRc, ERR_DATA) << "field at " << field;
  }
  Bytes p = ValidPatch();
  PutField(&p, offsetof(ZBSPatchHeader, controlLength), 48);
  EXPECT_EQ(RunPatch(p, kSource).readRc, ERR_DATA);
}

TEST(PatchReadHeaderTest, LengthsThatWrapIn32BitsAreDataError) {
  // 32 + 0xFFFFFFF4 + 0 + 0x35 wraps to 0x21 = 33 in 32 bits; the file is 33 bytes.
  Bytes p(33, 0);
  memcpy(p.data(), "ZBDIFF10", 8);
  PutField(&p, offsetof(ZBSPatchHeader, controlLength), 0xFFFFFFF4u);
  PutField(&p, offsetof(ZBSPatchHeader, extraLength), 0x35u);
  EXPECT_EQ(RunPatch(p, kSource).readRc, ERR_DATA);
  for (size_t field : {offsetof(ZBSPatchHeader, controlLength), offsetof(ZBSPatchHeader, diffLength),
                       offsetof(ZBSPatchHeader, extraLength)}) {
    Bytes q(32, 0);
    memcpy(q.data(), "ZBDIFF10", 8);
    PutField(&q, field, 0xFFFFFFFFu);
    EXPECT_EQ(RunPatch(q, "").readRc, ERR_DATA);
  }
}

TEST(PatchReadHeaderTest, ControlBlockNotWholeTriplesIsRefused) {
  // Move one diff byte into the control block: the sizes still add up.
  for (uint32_t extraBytes : {1u, 4u, 8u, 11u}) {
    Bytes p = ValidPatch();
    PutField(&p, offsetof(ZBSPatchHeader, controlLength), 36 + extraBytes);
    PutField(&p, offsetof(ZBSPatchHeader, diffLength), 10 - extraBytes);
    Outcome r = RunPatch(p, kSource);
    EXPECT_EQ(r.readRc, ERR_DATA) << extraBytes;
    EXPECT_EQ(r.applyRc, -1);
  }
}

TEST(PatchReadHeaderTest, Exactly32BytesWithEmptyBlocksIsValid) {
  Bytes p = MakePatch("", {}, {}, "");
  ASSERT_EQ(p.size(), 32u);
  Outcome r = RunPatch(p, "");
  EXPECT_EQ(r.readRc, 0);
  EXPECT_EQ(r.applyRc, 0);
  EXPECT_EQ(r.out, "");
}

TEST(PatchReadHeaderTest, SourceFieldsAndDstLengthAreNotCheckedHere) {
  for (size_t field : {offsetof(ZBSPatchHeader, srcCrc32), offsetof(ZBSPatchHeader, dstLength)}) {
    Bytes p = ValidPatch();
    PutField(&p, field, 0x12345678);
    Outcome r = RunPatch(p, kSource);
    EXPECT_EQ(r.readRc, 0);
    EXPECT_EQ(r.applyRc, 0);
    EXPECT_EQ(r.out, kValidResult);
  }
}

// ---- ZBS_ApplyPatch failure rows --------------------------------------------

// Applies with a header given by hand (not read from the file), the body being
// whatever |patchfd| delivers.
int ApplyDirect(const ZBSPatchHeader& h, int patchfd, const std::string& source, int destfd) {
  std::vector<unsigned char> src(source.begin(), source.end());
  return ZBS_ApplyPatch(&h, patchfd, src.empty() ? nullptr : src.data(), destfd);
}

TEST(PatchApplyTest, BodyEndingEarlyIsDataError) {
  ScratchDir dir;
  Bytes p = ValidPatch();
  testing_support::WriteFile(dir / "p", std::string(p.begin(), p.end() - 1));
  int fd = open((dir / "p").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 32, SEEK_SET), 32);
  ZBSPatchHeader h;
  ZBS_ParseHeader(p.data(), &h);
  int dfd = open((dir / "d").c_str(), O_WRONLY | O_CREAT, 0644);
  EXPECT_EQ(ApplyDirect(h, fd, kSource, dfd), ERR_DATA);
  EXPECT_EQ(ReadFile(dir / "d"), "") << "nothing is written before the whole body is read";
  close(dfd);
  close(fd);
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

TEST(PatchApplyTest, BodyReadFailureIsReadError) {
  ScratchDir dir;
  Bytes p = ValidPatch();
  testing_support::WriteFile(dir / "p", std::string(p.begin(), p.end()));
  int fd = open((dir / "p").c_str(), O_WRONLY);  // reading it fails
  ASSERT_GE(fd, 0);
  ZBSPatchHeader h;
  ZBS_ParseHeader(p.data(), &h);
  int dfd = open((dir / "d").c_str(), O_WRONLY | O_CREAT, 0644);
  EXPECT_EQ(ApplyDirect(h, fd, kSource, dfd), ERR_READ);
  close(dfd);
  close(fd);
}

TEST(PatchApplyTest, WriteFailureIsWriteError) {
  ScratchDir dir;
  Bytes p = ValidPatch();
  testing_support::WriteFile(dir / "p", std::string(p.begin(), p.end()));
  testing_support::WriteFile(dir / "d", "");
  ZBSPatchHeader h;
  ZBS_ParseHeader(p.data(), &h);
  // A destination open only for reading, then a full device.
  const int dfds[] = {open((dir / "d").c_str(), O_RDONLY), open("/dev/full", O_WRONLY)};
  for (int dfd : dfds) {
    if (dfd < 0) continue;  // no /dev/full here
    int fd = open((dir / "p").c_str(), O_RDONLY);
    ASSERT_EQ(lseek(fd, 32, SEEK_SET), 32);
    EXPECT_EQ(ApplyDirect(h, fd, kSource, dfd), ERR_WRITE);
    close(fd);
    close(dfd);
  }
}

TEST(PatchApplyTest, CopyOnlyWriteFailureIsWriteError) {
  int dfd = open("/dev/full", O_WRONLY);
  if (dfd < 0) GTEST_SKIP() << "no /dev/full";
  ScratchDir dir;
  Bytes p = MakePatch("", {{0, 2, 0}}, {}, "ab");
  testing_support::WriteFile(dir / "p", std::string(p.begin(), p.end()));
  int fd = open((dir / "p").c_str(), O_RDONLY);
  ZBSPatchHeader h;
  ASSERT_EQ(ZBS_ReadHeader(fd, &h), 0);
  EXPECT_EQ(ZBS_ApplyPatch(&h, fd, nullptr, dfd), ERR_WRITE);
  close(fd);
  close(dfd);
}

TEST(PatchApplyTest, AddBeyondSourceIsDataError) {
  Bytes p = ValidPatch();
  PutBe32(&p, TripleAt(1), 6);  // from position 6, 5 bytes fit, 6 do not
  PutField(&p, offsetof(ZBSPatchHeader, diffLength), 10);
  Outcome r = RunPatch(p, kSource);
  EXPECT_EQ(r.applyRc, ERR_DATA);
  EXPECT_EQ(r.out, "helloXYZ") << "the earlier triple's bytes were written";
}

TEST(PatchApplyTest, AddThatSourceAllowsButDiffDoesNotIsDataError) {
  // Source of 11 bytes, diff block of 4: an add of 5 fits the source only.
  Outcome r = RunPatch(MakePatch(kSource, {{5, 0, 0}}, Bytes(4, 0), ""), kSource);
  EXPECT_EQ(r.readRc, 0);
  EXPECT_EQ(r.applyRc, ERR_DATA);
  EXPECT_EQ(r.out, "");
}

TEST(PatchApplyTest, CopyBeyondExtraIsDataErrorAfterTheAddBytes) {
  Bytes p = ValidPatch();
  PutBe32(&p, TripleAt(0) + 4, 4);  // extra holds 3
  Outcome r = RunPatch(p, kSource);
  EXPECT_EQ(r.applyRc, ERR_DATA);
  EXPECT_EQ(r.out, "hello");
}

TEST(PatchApplyTest, SeekBeforeStartIsDataError) {
  Bytes p = ValidPatch();
  PutBe32(&p, TripleAt(1) + 8, uint32_t(-12));  // from 11 to -1
  Outcome r = RunPatch(p, kSource);
  EXPECT_EQ(r.applyRc, ERR_DATA);
  EXPECT_EQ(r.out, "helloXYZworl^");
}

TEST(PatchApplyTest, SeekBeyondEndIsDataError) {
  Bytes p = ValidPatch();
  PutBe32(&p, TripleAt(0) + 8, 7);  // from 5 to 12, one past the end
  Outcome r = RunPatch(p, kSource);
  EXPECT_EQ(r.applyRc, ERR_DATA);
  EXPECT_EQ(r.out, "helloXYZ");
}

TEST(PatchApplyTest, HugeSeeksDoNotWrap) {
  for (uint32_t seek : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    Outcome r = RunPatch(MakePatch(kSource, {{0, 0, int32_t(seek)}}, {}, ""), kSource);
    EXPECT_EQ(r.applyRc, ERR_DATA) << seek;
  }
  // The largest counts never pass a check by wrapping around.
  Outcome r = RunPatch(MakePatch(kSource, {{0xFFFFFFFFu, 0, 0}}, Bytes(3, 0), ""), kSource);
  EXPECT_EQ(r.applyRc, ERR_DATA);
  r = RunPatch(MakePatch(kSource, {{0, 0xFFFFFFFFu, 0}}, {}, "abc"), kSource);
  EXPECT_EQ(r.applyRc, ERR_DATA);
}

TEST(PatchApplyTest, PartialTripleInHandMadeHeaderIsRefusedWithoutWriting) {
  ScratchDir dir;
  Bytes p = ValidPatch();
  testing_support::WriteFile(dir / "p", std::string(p.begin(), p.end()));
  ZBSPatchHeader h;
  ZBS_ParseHeader(p.data(), &h);
  h.controlLength = 40;  // three triples and four bytes of the diff block
  h.diffLength = 6;
  int fd = open((dir / "p").c_str(), O_RDONLY);
  ASSERT_EQ(lseek(fd, 32, SEEK_SET), 32);
  int dfd = open((dir / "d").c_str(), O_WRONLY | O_CREAT, 0644);
  EXPECT_EQ(ApplyDirect(h, fd, kSource, dfd), ERR_DATA);
  close(dfd);
  close(fd);
  EXPECT_EQ(ReadFile(dir / "d"), "");
}

// ---- edge cases ---------------------------------------------------------------

TEST(PatchApplyTest, ZeroCountTripleOnlyMovesThePosition) {
  Outcome r = RunPatch(MakePatch(kSource, {{0, 0, 6}, {5, 0, 0}}, Bytes(5, 0), ""), kSource);
  EXPECT_EQ(r.applyRc, 0);
  EXPECT_EQ(r.out, "world");
}

TEST(PatchApplyTest, NegativeSeekReusesEarlierBytes) {
  Outcome r = RunPatch(MakePatch(kSource, {{5, 0, -5}, {5, 1, -5}, {5, 0, 0}}, Bytes(15, 0), "-"), kSource);
  EXPECT_EQ(r.applyRc, 0);
  EXPECT_EQ(r.out, "hellohello-hello");
}

TEST(PatchApplyTest, SeekToExactlyTheEndIsAccepted) {
  Outcome r = RunPatch(MakePatch(kSource, {{0, 1, 11}, {0, 1, 0}}, {}, "ab"), kSource);
  EXPECT_EQ(r.applyRc, 0);
  EXPECT_EQ(r.out, "ab");
}

TEST(PatchApplyTest, AddAfterSeekToTheEndIsDataError) {
  Outcome r = RunPatch(MakePatch(kSource, {{0, 1, 11}, {1, 0, 0}}, Bytes(1, 0), "a"), kSource);
  EXPECT_EQ(r.applyRc, ERR_DATA);
  EXPECT_EQ(r.out, "a");
}

TEST(PatchApplyTest, SumsWrapModulo256) {
  Outcome r = RunPatch(MakePatch("\x01\x80\xFF", {{3, 0, 0}}, Bytes{0xFF, 0x80, 0x02}, ""), "\x01\x80\xFF");
  EXPECT_EQ(r.applyRc, 0);
  EXPECT_EQ(r.out, std::string("\x00\x00\x01", 3));
}

TEST(PatchApplyTest, UnusedDiffAndExtraBytesAreIgnored) {
  Outcome r = RunPatch(MakePatch(kSource, {{2, 1, 0}}, Bytes(9, 0), "abc"), kSource);
  EXPECT_EQ(r.applyRc, 0);
  EXPECT_EQ(r.out, "hea");
}

TEST(PatchApplyTest, EmptyControlBlockGivesEmptyDestination) {
  Outcome r = RunPatch(MakePatch(kSource, {}, Bytes(3, 1), "xyz"), kSource);
  EXPECT_EQ(r.applyRc, 0);
  EXPECT_EQ(r.out, "");
}

TEST(PatchApplyTest, ZeroSizeBodyAndSourceAllocateFine) {
  // srcLength 0 and an empty body: nothing to allocate, which is no failure.
  ZBSPatchHeader h;
  ZBS_InitHeader(&h, 0, 0, 0, 0, 0, 0);
  ScratchDir dir;
  testing_support::WriteFile(dir / "p", "");
  int fd = open((dir / "p").c_str(), O_RDONLY);
  int dfd = open((dir / "d").c_str(), O_WRONLY | O_CREAT, 0644);
  EXPECT_EQ(ZBS_ApplyPatch(&h, fd, nullptr, dfd), 0);
  close(dfd);
  close(fd);
}

TEST(PatchApplyTest, ExtraOnlyPatchOfEmptySource) {
  Outcome r = RunPatch(MakePatch("", {{0, 3, 0}, {0, 2, 0}}, {}, "brand"), "");
  EXPECT_EQ(r.applyRc, 0);
  EXPECT_EQ(r.out, "brand");
}

TEST(PatchApplyTest, WritesFromWhereTheDestinationStands) {
  ScratchDir dir;
  Bytes p = ValidPatch();
  testing_support::WriteFile(dir / "p", std::string(p.begin(), p.end()));
  testing_support::WriteFile(dir / "d", "");
  int fd = open((dir / "p").c_str(), O_RDONLY);
  ZBSPatchHeader h;
  ASSERT_EQ(ZBS_ReadHeader(fd, &h), 0);
  int dfd = open((dir / "d").c_str(), O_WRONLY);
  ASSERT_EQ(write(dfd, ">>", 2), 2);
  EXPECT_EQ(ApplyDirect(h, fd, kSource, dfd), 0);
  close(dfd);
  close(fd);
  EXPECT_EQ(ReadFile(dir / "d"), ">>" + kValidResult);
}

}  // namespace
