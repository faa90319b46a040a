// Patch header checking, patch application and the CRC-32.
//
// Everything in a patch comes from outside, so every count is checked against
// what is left of its block before it is used, and every sum is formed in 64
// bits: no count, length or seek can wrap a position past a check.
#include "patch/binary_patch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>  // malloc, free
#include <cstring>  // memcmp, memcpy

#include "errors.h"

namespace {

// The CRC-32/BZIP2 tables, most significant bit first. Table 0 is the
// classic byte table (entry 1 is the polynomial); table k gives the effect of
// a byte followed by k zero bytes, so four bytes are folded in per step.
struct CrcTables {
  uint32_t t[4][256];
  constexpr CrcTables() : t() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
      t[0][i] = c;
    }
    for (int k = 1; k < 4; ++k)
      for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
  }
};
constexpr CrcTables kCrc;
static_assert(kCrc.t[0][1] == 0x04C11DB7u, "CRC table entry 1 is the polynomial");

// Reads exactly |len| bytes, retrying after signals and short reads.
// Returns 0, ERR_READ on a read error, ERR_DATA when the file ends first.
int read_fully(int fd, unsigned char* buf, uint64_t len) {
  while (len > 0) {
    const size_t want = len > (1u << 30) ? size_t(1) << 30 : size_t(len);
    const ssize_t n = read(fd, buf, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ERR_READ;
    if (n == 0) return ERR_DATA;
    buf += n;
    len -= uint64_t(n);
  }
  return 0;
}

// Writes exactly |len| bytes, retrying after signals and short writes.
// Returns 0 or ERR_WRITE.
int write_fully(int fd, const unsigned char* buf, uint64_t len) {
  while (len > 0) {
    const size_t want = len > (1u << 30) ? size_t(1) << 30 : size_t(len);
    const ssize_t n = write(fd, buf, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ERR_WRITE;
    buf += n;
    len -= uint64_t(n);
  }
  return 0;
}

// Body of ZBS_ApplyPatch once the body is in |body|; split out so that the
// caller frees the buffer on every return.
int apply_triples(const ZBSPatchHeader* header, unsigned char* body, const unsigned char* source, int destfd) {
  const unsigned char* control = body;
  unsigned char* diff = body + header->controlLength;
  const unsigned char* extra = diff + header->diffLength;
  const uint64_t srcLength = header->srcLength;
  uint64_t srcPos = 0, diffPos = 0, extraPos = 0;

  // Whole triples only: a partial one at the end is never read (the header
  // check refuses it; this guards callers that fill a header by hand).
  const uint64_t triples = header->controlLength / kZBSTripleSize;
  if (uint64_t(header->controlLength) % kZBSTripleSize != 0) return ERR_DATA;
  for (uint64_t t = 0; t < triples; ++t) {
    const unsigned char* triple = control + t * kZBSTripleSize;
    const uint64_t addCount = zbs_get_be32(triple);
    const uint64_t copyCount = zbs_get_be32(triple + 4);
    const int64_t seek = int32_t(zbs_get_be32(triple + 8));

    if (addCount > srcLength - srcPos || addCount > header->diffLength - diffPos) return ERR_DATA;
    unsigned char* out = diff + diffPos;
    const unsigned char* src = source + srcPos;
    for (uint64_t i = 0; i < addCount; ++i) out[i] = (unsigned char)(out[i] + src[i]);
    if (write_fully(destfd, out, addCount) != 0) return ERR_WRITE;
    diffPos += addCount;
    srcPos += addCount;

    if (copyCount > header->extraLength - extraPos) return ERR_DATA;
    if (write_fully(destfd, extra + extraPos, copyCount) != 0) return ERR_WRITE;
    extraPos += copyCount;

    const int64_t newPos = int64_t(srcPos) + seek;
    if (newPos < 0 || uint64_t(newPos) > srcLength) return ERR_DATA;
    srcPos = uint64_t(newPos);
  }
  return 0;
}

}  // namespace

int ZBS_ReadHeader(int fd, ZBSPatchHeader* header) {
  unsigned char raw[kZBSHeaderSize];
  ssize_t n;
  do {
    n = read(fd, raw, sizeof(raw));
  } while (n < 0 && errno == EINTR);
  if (n != kZBSHeaderSize) return ERR_READ;
  ZBS_ParseHeader(raw, header);

  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  if (memcmp(header->magic, kZBSMagic, sizeof(kZBSMagic)) != 0) return ERR_DATA;
  const uint64_t expected = uint64_t(kZBSHeaderSize) + header->controlLength + header->diffLength +
                            header->extraLength;
  if (st.st_size < 0 || uint64_t(st.st_size) != expected) return ERR_DATA;
  // A control block of whole triples only; a partial last triple is refused
  // here, before anything is changed.
  if (header->controlLength % kZBSTripleSize != 0) return ERR_DATA;
  return 0;
}

int ZBS_ApplyPatch(const ZBSPatchHeader* header, int patchfd, unsigned char* source, int destfd) {
  const uint64_t bodyLength = uint64_t(header->controlLength) + header->diffLength + header->extraLength;
  if (bodyLength > SIZE_MAX) return ERR_MEMORY;
  // An empty body is a valid patch: ask for at least one byte, so that a
  // zero-size request is never mistaken for a lack of memory.
  unsigned char* body = (unsigned char*)malloc(bodyLength ? size_t(bodyLength) : 1);
  if (!body) return ERR_MEMORY;
  int rc = read_fully(patchfd, body, bodyLength);
  if (rc == 0) rc = apply_triples(header, body, source, destfd);
  free(body);
  return rc;
}

uint32_t zbs_crc32_update(uint32_t crc, const unsigned char* buf, size_t len) {
  uint32_t c = ~crc;
  while (len >= 4) {
    c ^= zbs_get_be32(buf);
    c = kCrc.t[3][c >> 24] ^ kCrc.t[2][(c >> 16) & 0xFF] ^ kCrc.t[1][(c >> 8) & 0xFF] ^ kCrc.t[0][c & 0xFF];
    buf += 4;
    len -= 4;
  }
  while (len-- > 0) c = (c << 8) ^ kCrc.t[0][(c >> 24) ^ *buf++];
  return ~c;
}

uint32_t crc32(const unsigned char* buf, uint32_t len) { return zbs_crc32_update(0, buf, len); }

void ZBS_InitHeader(ZBSPatchHeader* header, uint32_t srcLength, uint32_t srcCrc32, uint32_t dstLength,
                    uint32_t controlLength, uint32_t diffLength, uint32_t extraLength) {
  memcpy(header->magic, kZBSMagic, sizeof(kZBSMagic));
  header->srcLength = srcLength;
  header->srcCrc32 = srcCrc32;
  header->dstLength = dstLength;
  header->controlLength = controlLength;
  header->diffLength = diffLength;
  header->extraLength = extraLength;
}

void ZBS_SerializeHeader(const ZBSPatchHeader* header, unsigned char* out) {
  memcpy(out, header->magic, sizeof(kZBSMagic));
  zbs_put_be32(out + 8, header->srcLength);
  zbs_put_be32(out + 12, header->srcCrc32);
  zbs_put_be32(out + 16, header->dstLength);
  zbs_put_be32(out + 20, header->controlLength);
  zbs_put_be32(out + 24, header->diffLength);
  zbs_put_be32(out + 28, header->extraLength);
}

void ZBS_ParseHeader(const unsigned char* in, ZBSPatchHeader* header) {
  memcpy(header->magic, in, sizeof(kZBSMagic));
  header->srcLength = zbs_get_be32(in + 8);
  header->srcCrc32 = zbs_get_be32(in + 12);
  header->dstLength = zbs_get_be32(in + 16);
  header->controlLength = zbs_get_be32(in + 20);
  header->diffLength = zbs_get_be32(in + 24);
  header->extraLength = zbs_get_be32(in + 28);
}

void ZBS_PutTriple(unsigned char* out, uint32_t addCount, uint32_t copyCount, int32_t seek) {
  zbs_put_be32(out, addCount);
  zbs_put_be32(out + 4, copyCount);
  zbs_put_be32(out + 8, uint32_t(seek));
}
