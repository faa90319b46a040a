// The archive reader and extraction on valid and malformed archives. Each
// malformed case breaks one field of a valid archive built by the writer.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "archive/archive_reader.h"
#include "archive/zar.h"
#include "common/zar_writer.h"
#include "errors.h"
#include "test_support.h"

using namespace testing_support;

namespace {

std::vector<char> Archive(std::vector<zar::Item> items) {
  zar::Writer w;
  for (zar::Item& item : items) w.AddStored(std::move(item));
  return w.Serialize();
}
uint32_t Be32(const std::vector<char>& a, size_t at) { return zar_get_be32((const unsigned char*)a.data() + at); }
void PutBe32(std::vector<char>& a, size_t at, uint32_t v) { zar_put_be32((unsigned char*)a.data() + at, v); }

class ZarTest : public ::testing::Test {
 protected:
  std::string Save(const std::vector<char>& bytes) {
    WriteFile(dir / "a.zar", std::string(bytes.begin(), bytes.end()));
    return dir / "a.zar";
  }
  ZarFile* Open(const std::vector<char>& bytes) { return zar_open(Save(bytes).c_str()); }
  int Extract(const std::vector<char>& archive, const char* name, const std::string& dest) {
    ArchiveReader reader;
    return reader.Open(Save(archive).c_str()) ? -1 : reader.ExtractFile(name, dest.c_str());
  }
  ScratchDir dir;
};

// Every field of the header and the index that can be broken; the unbroken
// archive must open, so that each refusal is the broken field's.
TEST_F(ZarTest, RefusesMalformedArchives) {
  const std::vector<char> good = Archive({{"f", 0644, zar::Compress("data")}});
  const uint32_t index = Be32(good, 4);
  auto broken = [&](auto edit) { std::vector<char> a = good; edit(a); return a; };
  const std::pair<const char*, std::vector<char>> cases[] = {
      {"shorter than 12 bytes", std::vector<char>(good.begin(), good.begin() + 11)},
      {"wrong magic", broken([](auto& a) { a[3] = '2'; })},
      {"index offset at the end", broken([&](auto& a) { PutBe32(a, 4, uint32_t(good.size())); })},
      {"index size 0", broken([&](auto& a) { PutBe32(a, index, 0); })},
      {"last name without its NUL", broken([](auto& a) { a.back() = 'g'; })},
      {"empty name as the last entry", Archive({{"", 0644, zar::Compress("x")}})},
      {"1 byte after the last entry", broken([&](auto& a) { a.push_back('q'); PutBe32(a, index, Be32(a, index) + 1); })},
      {"13 bytes after the last entry",
       broken([&](auto& a) { a.insert(a.end(), 13, 'q'); PutBe32(a, index, Be32(a, index) + 13); })},
  };
  ZarFile* zar = Open(good);
  ASSERT_NE(zar, nullptr);
  zar_close(zar);
  for (const auto& [what, bytes] : cases) EXPECT_EQ(Open(bytes), nullptr) << what;
}

// 0 when, with the address space capped at what is mapped now and 256 MiB, the
// archive is refused with no allocation failing (one of the index's size would).
int OpenWithLittleRoom(const std::string& path) {
  unsigned long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (!statm || fscanf(statm, "%lu", &pages) != 1) return 2;
  const rlim_t room = pages * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(256) << 20);
  const struct rlimit limit = {room, room};
  if (setrlimit(RLIMIT_AS, &limit) != 0) return 2;
  errno = 0;
  return zar_open(path.c_str()) == nullptr && errno != ENOMEM ? 0 : 1;
}

// An index is bounded by the file's size and by 2^31 - 1 before a byte is
// allocated for it (the large archive is a sparse file).
TEST_F(ZarTest, IndexIsBoundedBeforeItIsAllocated) {
  for (const auto& [index_size, file_size] : {std::pair<uint32_t, off_t>{0xFFFFFFF0u, 12},  // 4 GiB in 12 bytes
                                              {0xBFFFFFF0u, 12 + 0xBFFFFFF0LL}}) {          // fits a 3 GiB file
    std::vector<char> header = {'Z', 'A', 'R', '1', 0, 0, 0, 8, 0, 0, 0, 0};
    PutBe32(header, 8, index_size);
    const std::string path = Save(header);
    ASSERT_EQ(0, truncate(path.c_str(), file_size));
    EXPECT_EXIT(_exit(OpenWithLittleRoom(path)), ::testing::ExitedWithCode(0), "") << "index size " << index_size;
  }
}

TEST_F(ZarTest, FindsItemsByExactNameAndReadsWithinThem) {
  std::vector<char> a =
      Archive({{"raw", 0755, {'a', 'b', 'c', 'd', 'e'}}, {"RAW", 0600, {}}, {"raw", 0601, {}}, {"huge", 0644, {}}});
  // "huge" starts near 2^31 and crosses it.
  const uint32_t huge = Be32(a, 4) + 4 + 3 * 16;
  PutBe32(a, huge, 0x7FFFFFF0u);
  PutBe32(a, huge + 4, 0x100u);
  ZarFile* zar = Open(a);
  ASSERT_NE(zar, nullptr);
  ZarItem* raw = zar_find_item(zar, "raw");
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(raw->flags, 0755u) << "of two equal names the first is found";
  EXPECT_EQ(zar_find_item(zar, "RAW")->flags, 0600u);
  EXPECT_EQ(zar_find_item(zar, "missing"), nullptr);
  char buf[16];
  const struct { ZarItem* item; int pos, size, rc; std::string got; } reads[] = {
      {raw, 0, 16, 5, "abcde"}, {raw, 3, 16, 2, "de"}, {raw, 1, 2, 2, "bc"}, {raw, 5, 16, 0, ""},
      {raw, 6, 16, -1, ""},     {raw, -1, 4, -1, ""},  {zar_find_item(zar, "huge"), 0x20, 8, -1, ""},
  };
  for (const auto& r : reads) {
    EXPECT_EQ(zar_read(zar, r.item, r.pos, buf, r.size), r.rc) << r.item->name << " at " << r.pos;
    EXPECT_EQ(std::string(buf, size_t(std::max(r.rc, 0))), r.got);
  }
  zar_close(zar);
}

TEST_F(ZarTest, ExtractionFailuresAreTheirKind) {
  ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(Extract(Archive({{"f", 0644, zar::Compress("x")}}), "f", dir / "link"), ERR_WRITE);
  EXPECT_FALSE(Exists(dir / "elsewhere")) << "written through a link";
  // /dev/full takes buffered data and refuses it only when it is flushed.
  EXPECT_EQ(Extract(Archive({{"f", 0644, zar::Compress("small")}}), "f", "/dev/full"), ERR_WRITE);
  // A truncated stream must end in an error, not in a wait for more input: in a child that an alarm stops if it waits.
  const std::vector<char> stored = zar::Compress(RandomBytes(5000, 7));
  EXPECT_EXIT(
      {
        alarm(20);
        int wrong = 0;
        for (size_t keep : {size_t(0), size_t(10), stored.size() / 2, stored.size() - 1})
          wrong += Extract(Archive({{"f", 0644, {stored.begin(), stored.begin() + long(keep)}}}), "f", dir / "cut") != ERR_DATA;
        _exit(wrong);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
