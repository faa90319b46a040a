// The binary patch format and its applier: the patch header record, reading
// and checking a header, applying a patch to a source held in memory, and the
// CRC-32 that verifies the source first.
//
// This layer knows nothing of actions, log or archive; it includes only the
// core's errors.h. The producer tools use the same header and the same
// applier (one format, one applier).
//
// Patch file (every number 32-bit big-endian; unsigned but for the seek):
//
//   Offset                   Size           Field
//   0                        8              magic "ZBDIFF10" (no NUL)
//   8                        4              srcLength: bytes of the source file
//   12                       4              srcCrc32: crc32 of the whole source
//   16                       4              dstLength: bytes of the result (not consulted)
//   20                       4              controlLength: bytes of the control block
//   24                       4              diffLength: bytes of the diff block
//   28                       4              extraLength: bytes of the extra block
//   32                       controlLength  control triples, 12 bytes each
//   32 + control             diffLength     bytes added (mod 256) to source bytes
//   32 + control + diff      extraLength    bytes copied unchanged
//
// The file ends right after the extra block. A control triple is: add count
// (unsigned), copy count (unsigned), seek adjustment (signed two's
// complement), applied in that order: add-count bytes of diff + source, then
// copy-count bytes of extra, then move the source position by the seek.
//
// Format changelog: ZBDIFF10 is the only version.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char kZBSMagic[8] = {'Z', 'B', 'D', 'I', 'F', 'F', '1', '0'};
constexpr int kZBSHeaderSize = 32;
constexpr int kZBSTripleSize = 12;  // add count, copy count, seek adjustment

#pragma pack(push, 1)
// The 32-byte header as a record: big-endian in the file, host order here.
// Filled by ZBS_ReadHeader; ZBS_ApplyPatch only reads it.
struct ZBSPatchHeader {
  char magic[8];           // "ZBDIFF10"
  uint32_t srcLength;      // length of the source file
  uint32_t srcCrc32;       // crc32 of the whole source file
  uint32_t dstLength;      // length of the destination; not consulted when applying
  uint32_t controlLength;  // bytes of the control block, a multiple of 12
  uint32_t diffLength;     // bytes of the diff block
  uint32_t extraLength;    // bytes of the extra block
};
#pragma pack(pop)
static_assert(sizeof(ZBSPatchHeader) == kZBSHeaderSize, "ZBSPatchHeader must be 32 bytes");

// Reads the 32-byte header from |fd|, which stands at the patch file's start,
// into |header| (OUT), and checks it: the magic, a control block of whole
// triples, and header plus blocks adding up to the file's size exactly.
// Returns 0 and leaves |fd| right after the header; ERR_READ when 32 bytes
// cannot be read or the size cannot be queried; ERR_DATA for a bad header.
int ZBS_ReadHeader(int fd, ZBSPatchHeader* header);

// Applies the patch whose header is |header| (as read by ZBS_ReadHeader) and
// whose body is read from |patchfd|, standing right after the header, to the
// |header->srcLength| bytes at |source| (never modified), writing the result
// sequentially to |destfd|. Seeks and closes neither descriptor.
// Returns 0; ERR_MEMORY, ERR_READ, ERR_DATA (the body ends early, or a triple
// reaches outside the source, diff or extra block) or ERR_WRITE. After a
// failure |destfd| holds whatever was written so far.
int ZBS_ApplyPatch(const ZBSPatchHeader* header, int patchfd, unsigned char* source, int destfd);

// CRC-32/BZIP2 of |len| bytes at |buf|: polynomial 0x04C11DB7, most
// significant bit first, initial value and final XOR 0xFFFFFFFF.
// crc32("123456789") == 0xFC891918; no bytes give 0.
uint32_t crc32(const unsigned char* buf, uint32_t len);

// Continues a CRC-32/BZIP2 over more bytes: |crc| is the value returned for
// the bytes so far (0 for none). crc32(b, n) == zbs_crc32_update(0, b, n).
uint32_t zbs_crc32_update(uint32_t crc, const unsigned char* buf, size_t len);

// ---- Format helpers for the producer side (and tests) ---------------------

inline uint32_t zbs_get_be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void zbs_put_be32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}

// Fills |header| (OUT) with the magic and the given fields.
void ZBS_InitHeader(ZBSPatchHeader* header, uint32_t srcLength, uint32_t srcCrc32, uint32_t dstLength,
                    uint32_t controlLength, uint32_t diffLength, uint32_t extraLength);

// Writes |header| in file form (magic, then six big-endian numbers) to the 32
// bytes at |out|.
void ZBS_SerializeHeader(const ZBSPatchHeader* header, unsigned char* out);

// Reads a header in file form from the 32 bytes at |in| into |header| (OUT);
// checks nothing.
void ZBS_ParseHeader(const unsigned char* in, ZBSPatchHeader* header);

// Writes one control triple in file form to the 12 bytes at |out|.
void ZBS_PutTriple(unsigned char* out, uint32_t addCount, uint32_t copyCount, int32_t seek);
