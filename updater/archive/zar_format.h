// The update archive's on-disk format, shared by the reader and the writer.
//
//   offset        size  field
//   0             4     magic "ZAR1"
//   4             4     index offset (absolute)
//   index offset  4     index size: bytes of entries that follow
//   +4            size  entries, back to back:
//                         offset(4) length(4) flags(4) name(n bytes + NUL)
//
// Every integer is unsigned 32-bit big-endian. An item's stored bytes are one
// bzip2 stream; the low 16 bits of its flags are the mode of an extracted file.
// Positions are signed 32-bit in the reader, so an archive stays below 2 GiB.
#pragma once

#include <cstdint>

constexpr char kZarMagic[4] = {'Z', 'A', 'R', '1'};
constexpr int kZarHeaderSize = 8;        // magic + index offset
constexpr int kZarEntryFixedSize = 12;   // offset, length, flags
constexpr int kZarBuckets = 256;
constexpr int64_t kZarMaxPosition = 0x7FFFFFFF;

inline uint32_t zar_get_be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void zar_put_be32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

// The index's bucket of a name: h = h * 37 + byte over the unsigned bytes,
// modulo 2^32, then the low 8 bits.
inline int zar_hash_name(const char* name) {
  uint32_t h = 0;
  for (const unsigned char* p = (const unsigned char*)name; *p; ++p) h = h * 37 + *p;
  return int(h & 0xFF);
}
