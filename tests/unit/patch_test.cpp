// The binary patch format and applier (crc32, ZBS_ReadHeader, ZBS_ApplyPatch), and the patch action's staging
// name. Malformed patches break one field of a valid fixture, through the header's offsets or a triple's position.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "patch/binary_patch.h"
#include "patch_actions.h"
#include "paths.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
using testing_support::ScratchDir;

const std::string kSource = "hello world";

// A valid patch, written out byte by byte: header (magic, srcLength 11, srcCrc32 of kSource, dstLength 13,
// controlLength 36, diffLength 10, extraLength 3); triples of add, copy, seek: "hello" + "XYZ" then skip the blank,
// "world" with 'd' + 0xFA wrapping to '^' then -10 back to 1, one that does nothing; diff block; extra block.
const char kValidHex[] =
    "5A42444946463130 0000000B 44F71378 0000000D 00000024 0000000A 00000003"
    " 00000005 00000003 00000001  00000005 00000000 FFFFFFF6  00000000 00000000 00000000"
    " 000000000000000000FA 58595A";
const std::string kValidResult = "helloXYZworl^";

Bytes ValidWith(std::vector<std::pair<size_t, uint32_t>> words = {}, std::string hex = kValidHex) {
  Bytes p;
  for (size_t i = 0; i < hex.size(); ++i)
    if (hex[i] != ' ') p.push_back((unsigned char)std::stoul(hex.substr(i++, 2), nullptr, 16));
  for (auto [at, v] : words) zbs_put_be32(p.data() + at, v);  // big-endian words replaced
  return p;
}
constexpr size_t kControlLen = offsetof(ZBSPatchHeader, controlLength), kDiffLen = offsetof(ZBSPatchHeader, diffLength),
                 kExtraLen = offsetof(ZBSPatchHeader, extraLength);
size_t TripleAt(int t) { return kZBSHeaderSize + size_t(t) * kZBSTripleSize; }

struct Outcome {
  int readRc = -1, applyRc = -1;  // applyRc -1: not called
  ZBSPatchHeader header{};
  std::string out;  // the destination's bytes after
};

// Writes |patch| to a file opened with |patchFlags| and reads its header (or, with |given|, skips to the body),
// then applies it to |source|. The destination is |destfd|, or when -1 an empty scratch file.
Outcome RunPatch(const Bytes& patch, const std::string& source, const ZBSPatchHeader* given = nullptr,
                 int patchFlags = O_RDONLY, int destfd = -1) {
  ScratchDir dir;
  testing_support::WriteFile(dir / "p", std::string(patch.begin(), patch.end()));
  Outcome r;
  int pfd = open((dir / "p").c_str(), patchFlags);
  if (given) r.header = *given;
  r.readRc = given ? (lseek(pfd, kZBSHeaderSize, SEEK_SET) == kZBSHeaderSize ? 0 : ERR_READ)
                   : ZBS_ReadHeader(pfd, &r.header);
  if (r.readRc == 0) {
    const int fd = destfd >= 0 ? destfd : open((dir / "d").c_str(), O_WRONLY | O_CREAT, 0644);
    std::vector<unsigned char> src(source.begin(), source.end());
    r.applyRc = ZBS_ApplyPatch(&r.header, pfd, src.empty() ? nullptr : src.data(), fd);
    if (destfd < 0) close(fd);
    r.out = testing_support::ReadFile(dir / "d");
    EXPECT_EQ(std::string(src.begin(), src.end()), source) << "the source must not be modified";
  }
  close(pfd);
  return r;
}

TEST(Crc32Test, KnownValuesAndContinuation) {
  // The check value; lengths ending one byte past and three bytes past a whole word.
  const std::pair<std::string, uint32_t> known[] = {
      {"123456789", 0xFC891918u}, {"", 0u}, {"The quick brown fox jumps over the lazy dog", 0x459DEE61u}};
  for (const auto& [s, crc] : known) EXPECT_EQ(crc32((const unsigned char*)s.data(), uint32_t(s.size())), crc) << s;
  const unsigned char* fox = (const unsigned char*)known[2].first.data();
  EXPECT_EQ(zbs_crc32_update(zbs_crc32_update(0, fox, 5), fox + 5, 38), 0x459DEE61u) << "continued after 5 bytes";
}

TEST(PatchReadHeaderTest, ShortOrInconsistentHeadersAreRefused) {
  const ZBSPatchHeader h = RunPatch(ValidWith(), kSource).header;
  EXPECT_EQ((std::vector<uint32_t>{h.srcLength, h.srcCrc32, h.dstLength, h.controlLength, h.diffLength, h.extraLength}),
            (std::vector<uint32_t>{11, 0x44F71378u, 13, 36, 10, 3}));
  EXPECT_EQ(RunPatch(ValidWith(), kSource, nullptr, O_WRONLY).readRc, ERR_READ) << "unreadable";
  const std::pair<std::string, Bytes> cases[] = {
      {"31 bytes", ValidWith({}, std::string(kValidHex, 60))},
      {"one byte more than accounted for", ValidWith({}, kValidHex + std::string("00"))},
      {"one byte less than accounted for", ValidWith({}, std::string(kValidHex, sizeof kValidHex - 3))},
      {"diffLength one too many", ValidWith({{kDiffLen, 11}})},
      {"extraLength one too many", ValidWith({{kExtraLen, 4}})},
      {"controlLength one triple too many", ValidWith({{kControlLen, 48}})},
      {"last magic byte", ValidWith({}, "5A42444946463131" + std::string(kValidHex + 16))},
      {"diff bytes moved into the control block: the sizes add up, the triples are not whole",
       ValidWith({{kControlLen, 40}, {kDiffLen, 6}})},
      // 32 + 0xFFFFFFF0 (whole triples) + 0 + 0x11 wraps to 33 in 32 bits, the file's size.
      {"lengths wrapping to the file size", ValidWith({{kControlLen, 0xFFFFFFF0u}, {kDiffLen, 0}, {kExtraLen, 0x11}},
                                                      std::string(kValidHex, 70) + "00")},
  };
  for (const auto& [label, patch] : cases)
    EXPECT_EQ(RunPatch(patch, kSource).readRc, patch.size() < 32 ? ERR_READ : ERR_DATA) << label;
}

TEST(PatchApplyTest, PatchesGiveTheirResultOrFailKeepingWhatWasWritten) {
  struct Case { const char* label; Bytes patch; int rc; std::string out; };
  const Case cases[] = {
      {"the annotated fixture", ValidWith(), 0, kValidResult},
      {"seek to exactly the end, after the seek back", ValidWith({{TripleAt(2) + 8, 10}}), 0, kValidResult},
      // From position 6, 5 bytes fit, 6 do not.
      {"add beyond the source", ValidWith({{TripleAt(1), 6}}), ERR_DATA, "helloXYZ"},
      {"add the source allows, the diff block not", ValidWith({{TripleAt(2), 5}}), ERR_DATA, kValidResult},
      {"copy beyond the extra block, after the add bytes", ValidWith({{TripleAt(0) + 4, 4}}), ERR_DATA, "hello"},
      {"seek from 11 to -1", ValidWith({{TripleAt(1) + 8, uint32_t(-12)}}), ERR_DATA, kValidResult},
      {"seek from 5 to 12, one past the end", ValidWith({{TripleAt(0) + 8, 7}}), ERR_DATA, "helloXYZ"},
      {"seek 0x7FFFFFFF", ValidWith({{TripleAt(0) + 8, 0x7FFFFFFF}}), ERR_DATA, "helloXYZ"},
      {"seek 0x80000000", ValidWith({{TripleAt(0) + 8, 0x80000000}}), ERR_DATA, "helloXYZ"},
      {"largest add count", ValidWith({{TripleAt(0), 0xFFFFFFFF}}), ERR_DATA, ""},
      {"largest copy count", ValidWith({{TripleAt(0) + 4, 0xFFFFFFFF}}), ERR_DATA, "hello"},
  };
  for (const Case& c : cases) {
    Outcome r = RunPatch(c.patch, kSource);
    EXPECT_EQ(r.applyRc, c.rc) << c.label;
    EXPECT_EQ(r.out, c.out) << c.label;
  }
}

// A header given by hand (the caller's, not read from the file) with a body or a destination that does not fit it.
TEST(PatchApplyTest, HandMadeHeaderWithBadBodyOrDestination) {
  const Bytes valid = ValidWith();
  const ZBSPatchHeader h = RunPatch(valid, kSource).header;
  const Outcome r = RunPatch(Bytes(valid.begin(), valid.end() - 1), kSource, &h);
  EXPECT_EQ(r.applyRc, ERR_DATA) << "a body ending early";
  EXPECT_EQ(r.out, "") << "nothing is written before the whole body is read";
  EXPECT_EQ(RunPatch(valid, kSource, &h, O_WRONLY).applyRc, ERR_READ) << "unreadable body";
  // A full device: the added bytes and the copied bytes are each written and checked.
  const int dfd = open("/dev/full", O_WRONLY);
  const Bytes addOnly = ValidWith({{TripleAt(0) + 4, 0}}), copyOnly = ValidWith({{TripleAt(0), 0}, {TripleAt(1), 0}});
  EXPECT_EQ(RunPatch(addOnly, kSource, &h, O_RDONLY, dfd).applyRc, ERR_WRITE) << "adding";
  EXPECT_EQ(RunPatch(copyOnly, kSource, &h, O_RDONLY, dfd).applyRc, ERR_WRITE) << "copying";
  close(dfd);
}

TEST(PatchApplyTest, BodyAllocationFailureIsMemoryError) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's allocator reports an impossible allocation instead of returning null";
#endif
  // In a child whose address space is capped at 1 GiB, a body of about 12 GiB cannot be allocated.
  const auto apply = [] {
    const struct rlimit limit = {rlim_t(1) << 30, rlim_t(1) << 30};
    ZBSPatchHeader h;
    ZBS_InitHeader(&h, 0, 0, 0, 0xFFFFFFF0u, 0xFFFFFFFFu, 0xFFFFFFFFu);
    _exit(setrlimit(RLIMIT_AS, &limit) != 0 ? 100 : ZBS_ApplyPatch(&h, -1, nullptr, -1));
  };
  EXPECT_EXIT(apply(), testing::ExitedWithCode(ERR_MEMORY), "");
}

// An update folder whose own name fits a buffer but "/0.patch" after it does not: the staged patch's name must never
// be used cut.
TEST(PatchActionTest, TemporaryNameThatDoesNotFitFailsPrepare) {
  testing_support::LogCapture log;
  const std::string long_dir(1020, 'u');  // "/0.patch" would need 1029 bytes
  const char* saved = std::exchange(gSourcePath, long_dir.c_str());
  {
    char line[] = "\"item\" \"file\"";
    PatchFile patch;  // gone before the folder is: its destructor forms the staged name too
    ASSERT_EQ(patch.Parse(line), 0);
    EXPECT_EQ(patch.Prepare(), ERR_WRITE);
  }
  gSourcePath = saved;
  EXPECT_EQ(log.Text(), "PREPARE PATCH file\n");
}

}  // namespace
