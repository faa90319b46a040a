// The archive reader and extraction on valid and malformed archives. Each
// malformed case breaks one field of a valid archive built by the writer.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "archive/archive_reader.h"
#include "archive/zar.h"
#include "common/zar_writer.h"
#include "errors.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Offsets of the fields of an archive made by zar::Writer with one item.
constexpr size_t kIndexOffsetField = 4;

std::vector<char> OneItemArchive(const std::string& name, const std::string& content, uint32_t mode = 0644) {
  zar::Writer w;
  w.AddData(name, mode, content);
  return w.Serialize();
}

uint32_t IndexOffset(const std::vector<char>& a) { return zar_get_be32((const unsigned char*)a.data() + kIndexOffsetField); }

void PutBe32(std::vector<char>& a, size_t at, uint32_t v) { zar_put_be32((unsigned char*)a.data() + at, v); }

class ZarTest : public ::testing::Test {
 protected:
  std::string Save(const std::vector<char>& bytes, const std::string& name = "a.zar") {
    std::string path = dir / name;
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
  }
  ZarFile* Open(const std::vector<char>& bytes) { return zar_open(Save(bytes).c_str()); }
  ScratchDir dir;
};

TEST(ZarHashTest, KnownValues) {
  EXPECT_EQ(zar_hash_name(""), 0);
  EXPECT_EQ(zar_hash_name("update.manifest"), 56);
  EXPECT_EQ(zar_hash_name("\xE9"), 233);
  // h = 'a' * 37 + 'b' = 97 * 37 + 98 = 3687; 3687 mod 256 = 103.
  EXPECT_EQ(zar_hash_name("ab"), 103);
}

TEST_F(ZarTest, OpensValidArchiveAndFindsItems) {
  zar::Writer w;
  w.AddData("update.manifest", 0644, "add \"x\"\n");
  w.AddData("x", 0755, "hello");
  w.AddData("X", 0600, "other case");
  ZarFile* zar = Open(w.Serialize());
  ASSERT_NE(zar, nullptr);
  ZarItem* x = zar_find_item(zar, "x");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->flags, 0755u);
  ZarItem* upper = zar_find_item(zar, "X");
  ASSERT_NE(upper, nullptr);
  EXPECT_NE(upper, x);
  EXPECT_EQ(zar_find_item(zar, "missing"), nullptr);
  zar_close(zar);
}

TEST_F(ZarTest, FirstOfTwoEqualNamesIsFound) {
  zar::Writer w;
  w.AddStored({"dup", 0601, zar::Compress("first")});
  w.AddStored({"dup", 0602, zar::Compress("second")});
  ZarFile* zar = Open(w.Serialize());
  ASSERT_NE(zar, nullptr);
  EXPECT_EQ(zar_find_item(zar, "dup")->flags, 0601u);
  zar_close(zar);
}

TEST_F(ZarTest, RefusesMalformedHeaders) {
  const std::vector<char> good = OneItemArchive("f", "data");
  ZarFile* zar = Open(good);
  ASSERT_NE(zar, nullptr) << "the unbroken archive must open";
  zar_close(zar);

  EXPECT_EQ(Open(std::vector<char>(good.begin(), good.begin() + 11)), nullptr) << "shorter than 12 bytes";
  std::vector<char> magic = good;
  magic[3] = '2';
  EXPECT_EQ(Open(magic), nullptr) << "wrong magic";

  std::vector<char> at_end = good;
  PutBe32(at_end, kIndexOffsetField, uint32_t(good.size()));
  EXPECT_EQ(Open(at_end), nullptr) << "index offset at the end of the file";

  std::vector<char> empty_index = good;
  PutBe32(empty_index, IndexOffset(good), 0);
  EXPECT_EQ(Open(empty_index), nullptr) << "index size 0";
}

// In a child process: 0 when the archive at |path| is refused with no
// allocation failing, once the address space is capped at what is mapped now
// and 256 MiB (an allocation of an index's claimed size fails with ENOMEM,
// where a refusal leaves errno alone).
int OpenWithLittleRoom(const std::string& path) {
  unsigned long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (!statm || fscanf(statm, "%lu", &pages) != 1) return 2;
  const rlim_t room = pages * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(256) << 20);
  const struct rlimit limit = {room, room};
  if (setrlimit(RLIMIT_AS, &limit) != 0) return 2;
  errno = 0;
  const bool refused = zar_open(path.c_str()) == nullptr;
  return refused && errno != ENOMEM ? 0 : 1;
}

// An index is bounded by the file's size and by 2^31 - 1 before a byte is
// allocated for it (the large archive is a sparse file).
TEST_F(ZarTest, IndexIsBoundedBeforeItIsAllocated) {
  const std::pair<uint32_t, off_t> cases[] = {
      {0xFFFFFFF0u, 12},                 // almost 4 GiB claimed by a 12-byte file
      {0xBFFFFFF0u, 12 + 0xBFFFFFF0LL},  // inside a 3 GiB file, but past 2^31 - 1
  };
  for (const auto& [index_size, file_size] : cases) {
    std::vector<char> header = {'Z', 'A', 'R', '1', 0, 0, 0, 8, 0, 0, 0, 0};
    PutBe32(header, 8, index_size);
    const std::string path = Save(header);
    ASSERT_EQ(0, truncate(path.c_str(), file_size));
    EXPECT_EXIT(_exit(OpenWithLittleRoom(path)), ::testing::ExitedWithCode(0), "") << "index size " << index_size;
  }
}

TEST_F(ZarTest, RefusesBadIndexEntries) {
  std::vector<char> good = OneItemArchive("f", "data");
  const uint32_t index = IndexOffset(good);
  // Trailing bytes after the last complete entry, 1 to 13 of them.
  for (int extra = 1; extra <= 13; ++extra) {
    std::vector<char> a = good;
    a.insert(a.end(), size_t(extra), 'q');
    PutBe32(a, index, zar_get_be32((unsigned char*)good.data() + index) + uint32_t(extra));
    EXPECT_EQ(Open(a), nullptr) << extra << " bytes left over";
  }
  // The last name without its NUL inside the index.
  std::vector<char> no_nul = good;
  no_nul.back() = 'g';
  EXPECT_EQ(Open(no_nul), nullptr);
  // An empty name as the last entry (13 bytes): refused.
  zar::Writer w;
  w.AddData("", 0644, "x");
  EXPECT_EQ(Open(w.Serialize()), nullptr);
  // An empty name followed by another entry: accepted.
  zar::Writer w2;
  w2.AddData("", 0644, "x");
  w2.AddData("y", 0644, "y");
  ZarFile* zar = Open(w2.Serialize());
  ASSERT_NE(zar, nullptr);
  EXPECT_NE(zar_find_item(zar, ""), nullptr);
  zar_close(zar);
}

TEST_F(ZarTest, ReadsAtAndPastItemEnd) {
  zar::Writer w;
  w.AddStored({"raw", 0644, {'a', 'b', 'c', 'd', 'e'}});
  w.AddStored({"empty", 0644, {}});
  ZarFile* zar = Open(w.Serialize());
  ASSERT_NE(zar, nullptr);
  ZarItem* raw = zar_find_item(zar, "raw");
  char buf[16];
  EXPECT_EQ(zar_read(zar, raw, 0, buf, 16), 5);
  EXPECT_EQ(std::string(buf, 5), "abcde");
  EXPECT_EQ(zar_read(zar, raw, 3, buf, 16), 2);
  EXPECT_EQ(buf[0], 'd');
  EXPECT_EQ(zar_read(zar, raw, 1, buf, 2), 2);
  EXPECT_EQ(zar_read(zar, raw, 5, buf, 16), 0);
  EXPECT_EQ(zar_read(zar, raw, 6, buf, 16), -1);
  EXPECT_EQ(zar_read(zar, zar_find_item(zar, "empty"), 0, buf, 16), 0);
  zar_close(zar);
}

TEST_F(ZarTest, ItemPastEndOfFileOpensButReadsNothing) {
  std::vector<char> a = OneItemArchive("f", "data");
  const uint32_t entry = IndexOffset(a) + 4;
  PutBe32(a, entry, uint32_t(a.size() + 100));
  ZarFile* zar = Open(a);
  ASSERT_NE(zar, nullptr);
  char buf[8];
  EXPECT_EQ(zar_read(zar, zar_find_item(zar, "f"), 0, buf, 8), 0);
  zar_close(zar);

  ArchiveReader reader;
  ASSERT_EQ(reader.Open(Save(a).c_str()), 0);
  EXPECT_EQ(reader.ExtractFile("f", (dir / "out").c_str()), ERR_READ);
}

TEST_F(ZarTest, PositionBeyondSignedRangeFailsTheRead) {
  std::vector<char> a = OneItemArchive("f", "data");
  const uint32_t entry = IndexOffset(a) + 4;
  PutBe32(a, entry, 0x7FFFFFF0u);      // offset near 2^31
  PutBe32(a, entry + 4, 0x100u);       // length that crosses it
  ZarFile* zar = Open(a);
  ASSERT_NE(zar, nullptr);
  char buf[8];
  EXPECT_EQ(zar_read(zar, zar_find_item(zar, "f"), 0x20, buf, 8), -1);
  zar_close(zar);
}

class ExtractTest : public ZarTest {
 protected:
  int Extract(const std::vector<char>& archive, const char* name, const std::string& dest) {
    ArchiveReader reader;
    if (reader.Open(Save(archive).c_str()) != 0) return -1;
    return reader.ExtractFile(name, dest.c_str());
  }
};

TEST_F(ExtractTest, ExtractsContentWithItsMode) {
  umask(022);
  for (size_t size : {size_t(0), size_t(1), size_t(1024), size_t(4096), size_t(3 << 20)}) {
    const std::string content = RandomBytes(size, uint32_t(size));
    const std::string dest = dir / ("out" + std::to_string(size));
    ASSERT_EQ(Extract(OneItemArchive("f", content, 0751), "f", dest), 0) << size;
    EXPECT_EQ(ReadFile(dest), content) << size;
    EXPECT_EQ(ModeOf(dest), 0751u & ~022u);
  }
}

TEST_F(ExtractTest, ExistingFileKeepsItsMode) {
  const std::string dest = dir / "out";
  WriteFile(dest, "old content that is longer", 0600);
  ASSERT_EQ(Extract(OneItemArchive("f", "new", 0755), "f", dest), 0);
  EXPECT_EQ(ReadFile(dest), "new");
  EXPECT_EQ(ModeOf(dest), 0600u);
}

TEST_F(ExtractTest, MissingItemCreatesNothing) {
  const std::string dest = dir / "out";
  EXPECT_EQ(Extract(OneItemArchive("f", "x"), "g", dest), ERR_READ);
  EXPECT_FALSE(Exists(dest));
  ArchiveReader closed;
  EXPECT_EQ(closed.ExtractFile("f", dest.c_str()), ERR_READ);
}

TEST_F(ExtractTest, CorruptStreamIsDataErrorAndLeavesEmptyFile) {
  zar::Writer w;
  w.AddStored({"f", 0644, {'n', 'o', 't', ' ', 'b', 'z', 'i', 'p'}});
  const std::string dest = dir / "out";
  EXPECT_EQ(Extract(w.Serialize(), "f", dest), ERR_DATA);
  EXPECT_TRUE(Exists(dest));
  EXPECT_EQ(ReadFile(dest), "");
}

TEST_F(ExtractTest, TruncatedStreamIsDataErrorNotAHang) {
  std::vector<char> stored = zar::Compress(RandomBytes(5000, 7));
  for (size_t keep : {size_t(0), size_t(10), stored.size() / 2, stored.size() - 1}) {
    zar::Writer w;
    w.AddStored({"f", 0644, std::vector<char>(stored.begin(), stored.begin() + long(keep))});
    EXPECT_EQ(Extract(w.Serialize(), "f", dir / "out"), ERR_DATA) << "kept " << keep;
  }
}

TEST_F(ExtractTest, EmptyStreamGivesEmptyFile) {
  const std::string dest = dir / "out";
  ASSERT_EQ(Extract(OneItemArchive("f", ""), "f", dest), 0);
  EXPECT_TRUE(Exists(dest));
  EXPECT_EQ(ReadFile(dest), "");
}

TEST_F(ExtractTest, WriteErrorAtCloseIsWriteError) {
  // /dev/full takes buffered data and refuses it only when it is flushed.
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(Extract(OneItemArchive("f", "small"), "f", "/dev/full"), ERR_WRITE);
}

TEST_F(ExtractTest, DanglingLinkAtDestinationIsNotFollowed) {
  const std::string link = dir / "link";
  ASSERT_EQ(symlink((dir / "elsewhere").c_str(), link.c_str()), 0);
  EXPECT_EQ(Extract(OneItemArchive("f", "x"), "f", link), ERR_WRITE);
  EXPECT_FALSE(Exists(dir / "elsewhere"));
}

TEST_F(ExtractTest, OpeningAnotherArchiveClosesTheFirst) {
  ArchiveReader reader;
  ASSERT_EQ(reader.Open(Save(OneItemArchive("first", "1"), "1.zar").c_str()), 0);
  ASSERT_EQ(reader.Open(Save(OneItemArchive("second", "2"), "2.zar").c_str()), 0);
  EXPECT_EQ(reader.ExtractFile("first", (dir / "o1").c_str()), ERR_READ);
  EXPECT_EQ(reader.ExtractFile("second", (dir / "o2").c_str()), 0);
  EXPECT_NE(reader.Open((dir / "missing.zar").c_str()), 0);
  EXPECT_EQ(reader.ExtractFile("second", (dir / "o3").c_str()), ERR_READ) << "a failed open leaves none open";
  reader.Close();
  reader.Close();
}

TEST_F(ZarTest, WriterOutputIsDeterministic) {
  auto build = [] {
    zar::Writer w;
    w.AddData("a", 0644, "alpha");
    w.AddData("b/c", 0755, RandomBytes(10000, 3));
    return w.Serialize();
  };
  EXPECT_EQ(build(), build());
}

}  // namespace
