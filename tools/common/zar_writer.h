// Writing update archives: the producer side of the archive format, shared by
// the zar and make-update tools and by the tests that build fixtures.
//
// Layout written: header, the items' stored bytes in the order added, then the
// index. The same items in the same order give the same bytes (no time stamps).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zar {

struct Item {
  std::string name;
  uint32_t flags = 0;        // low 16 bits: mode given to an extracted file
  std::vector<char> stored;  // the bytes as stored: normally one bzip2 stream
};

// One bzip2 stream of |data| at block size |level| (1..9). Throws std::bad_alloc
// or std::runtime_error on a library failure.
std::vector<char> Compress(std::string_view data, int level = 9);

// Inverse of Compress, for tools and tests; throws std::runtime_error on bad data.
std::vector<char> Decompress(std::string_view stored);

// Refuses names that an archive must not hold, because extracting them could
// write outside the target folder or the updater would refuse them: an
// absolute name, one with an empty or ".." component (an empty name is one)
// or ending in ".", and a name that denotes the same path as an earlier one
// ("a" and "./a"). Throws std::runtime_error "ARCHIVE: item 'NAME': why" for the first.
void CheckItemNames(const std::string& archive, const std::vector<std::string>& names);

class Writer {
 public:
  // Adds an item whose content is |data|, compressed here.
  void AddData(std::string name, uint32_t mode, std::string_view data);
  // Adds an item whose stored bytes are given as they are (already compressed,
  // or deliberately broken in a test).
  void AddStored(Item item);

  const std::vector<Item>& items() const { return mItems; }
  // Bytes of the archive so far: header, stored items and index.
  uint64_t ArchiveSize() const;

  // The whole archive as bytes. Throws std::length_error when it would reach
  // 2 GiB, which the reader's signed 32-bit positions cannot address.
  std::vector<char> Serialize() const;
  // Writes Serialize() to |path| through a temporary file renamed into place.
  // Throws std::runtime_error naming the file and the reason.
  void WriteFile(const std::string& path) const;

 private:
  std::vector<Item> mItems;
  uint64_t mStoredBytes = 0;
  uint64_t mIndexBytes = 0;
};

}  // namespace zar
