#include "zar_writer.h"

#include <bzlib.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

#include "archive/zar_format.h"
#include "cli.h"
#include "fsutil.h"

namespace zar {

std::vector<char> Compress(std::string_view data, int level) {
  bz_stream strm{};
  if (BZ2_bzCompressInit(&strm, level, 0, 0) != BZ_OK) throw std::runtime_error("bzip2: cannot initialise the compressor");
  std::vector<char> out(data.size() + data.size() / 100 + 1024);
  strm.next_in = const_cast<char*>(data.data());
  strm.avail_in = 0;
  size_t fed = 0;
  size_t done = 0;
  int rc;
  do {
    // avail_in is 32-bit: feed large inputs in slices.
    if (strm.avail_in == 0 && fed < data.size()) {
      size_t n = std::min<size_t>(data.size() - fed, 1u << 30);
      strm.next_in = const_cast<char*>(data.data() + fed);
      strm.avail_in = unsigned(n);
      fed += n;
    }
    if (out.size() - done < 65536) out.resize(out.size() * 2);
    strm.next_out = out.data() + done;
    strm.avail_out = unsigned(std::min<size_t>(out.size() - done, 1u << 30));
    unsigned before = strm.avail_out;
    rc = BZ2_bzCompress(&strm, fed < data.size() ? BZ_RUN : BZ_FINISH);
    done += before - strm.avail_out;
    if (rc != BZ_RUN_OK && rc != BZ_FINISH_OK && rc != BZ_STREAM_END) {
      BZ2_bzCompressEnd(&strm);
      throw std::runtime_error("bzip2: compression failed");
    }
  } while (rc != BZ_STREAM_END);
  BZ2_bzCompressEnd(&strm);
  out.resize(done);
  return out;
}

std::vector<char> Decompress(std::string_view stored) {
  bz_stream strm{};
  if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK) throw std::runtime_error("bzip2: cannot initialise the decoder");
  std::vector<char> out;
  char buf[65536];
  strm.next_in = const_cast<char*>(stored.data());
  strm.avail_in = unsigned(stored.size());
  int rc;
  do {
    strm.next_out = buf;
    strm.avail_out = sizeof(buf);
    rc = BZ2_bzDecompress(&strm);
    if (rc != BZ_OK && rc != BZ_STREAM_END) break;
    out.insert(out.end(), buf, buf + (sizeof(buf) - strm.avail_out));
    if (rc == BZ_OK && strm.avail_in == 0 && strm.avail_out == sizeof(buf)) {
      rc = BZ_UNEXPECTED_EOF;
      break;
    }
  } while (rc != BZ_STREAM_END);
  BZ2_bzDecompressEnd(&strm);
  if (rc != BZ_STREAM_END) throw std::runtime_error("bzip2: corrupt or truncated stream");
  return out;
}

void CheckItemNames(const std::string& archive, const std::vector<std::string>& names) {
  std::set<std::string> paths;  // each name without its "." components
  for (const std::string& name : names) {
    auto refuse = [&](const std::string& why) {
      throw std::runtime_error(archive + ": item '" + cli::Printable(name) + "': " + why);
    };
    if (name[0] == '/') refuse("absolute name");
    std::string path, last;
    for (size_t start = 0; start <= name.size();) {
      size_t end = std::min(name.find('/', start), name.size());
      last = name.substr(start, end - start);
      if (last.empty()) refuse("empty name or component ('//' or a trailing '/')");
      if (last == "..") refuse("'..' component, which leads out of the target folder");
      if (last != ".") path += (path.empty() ? "" : "/") + last;
      start = end + 1;
    }
    if (last == ".") refuse("names a folder, not a file");
    if (!paths.insert(path).second) refuse("a second item for the same path");
  }
}

void Writer::AddData(std::string name, uint32_t mode, std::string_view data) {
  AddStored(Item{std::move(name), mode, Compress(data)});
}

void Writer::AddStored(Item item) {
  mStoredBytes += item.stored.size();
  mIndexBytes += kZarEntryFixedSize + item.name.size() + 1;
  mItems.push_back(std::move(item));
}

uint64_t Writer::ArchiveSize() const { return kZarHeaderSize + mStoredBytes + 4 + mIndexBytes; }

std::vector<char> Writer::Serialize() const {
  if (ArchiveSize() > uint64_t(kZarMaxPosition))
    throw std::length_error("the archive would reach 2 GiB (" + std::to_string(ArchiveSize()) +
                            " bytes); its positions are signed 32-bit");
  std::vector<char> out(ArchiveSize());
  unsigned char* p = (unsigned char*)out.data();
  memcpy(p, kZarMagic, 4);
  uint32_t at = kZarHeaderSize;
  for (const Item& item : mItems) {
    if (!item.stored.empty()) memcpy(p + at, item.stored.data(), item.stored.size());
    at += uint32_t(item.stored.size());
  }
  zar_put_be32(p + 4, at);
  zar_put_be32(p + at, uint32_t(mIndexBytes));
  at += 4;
  uint32_t offset = kZarHeaderSize;
  for (const Item& item : mItems) {
    zar_put_be32(p + at, offset);
    zar_put_be32(p + at + 4, uint32_t(item.stored.size()));
    zar_put_be32(p + at + 8, item.flags);
    memcpy(p + at + 12, item.name.c_str(), item.name.size() + 1);
    at += uint32_t(kZarEntryFixedSize + item.name.size() + 1);
    offset += uint32_t(item.stored.size());
  }
  return out;
}

void Writer::WriteFile(const std::string& path) const {
  std::vector<char> bytes = Serialize();
  fsutil::WriteFile(path, std::string_view(bytes.data(), bytes.size()));
}

}  // namespace zar
