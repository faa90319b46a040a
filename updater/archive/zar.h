// Low-level reader of the update archive: open an archive and hold its index
// in a 256-bucket hash table, find items by name, read their stored bytes.
//
// Failures are silent: -1 or null, never an update error code, no log. The
// archive layer above (ArchiveReader) turns them into codes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "zar_format.h"

struct ZarItem {
  ZarItem* next;    // next item in the same bucket, in index order
  uint32_t offset;  // absolute offset of the first stored byte
  uint32_t length;  // number of stored bytes
  uint32_t flags;   // low 16 bits: mode of an extracted file
  char name[1];     // NUL-terminated; the record is allocated with room for the whole name
};

struct ZarFile {
  FILE* fp;                       // opened "rb", owned
  ZarItem* buckets[kZarBuckets];  // chain heads, by zar_hash_name
};

// Opens the archive at |path| and reads its whole index. Returns a handle that
// owns the stream and every item, or null on any failure (nothing is left open).
ZarFile* zar_open(const char* path);

// The same for an archive already open as |fp| ("rb"), which the handle owns
// from now on, also on failure (it is then closed).
ZarFile* zar_open_stream(FILE* fp);

// Closes the stream and frees every item and the handle. |zar| must not be null.
void zar_close(ZarFile* zar);

// The first item of the index whose name equals |name| byte for byte, or null.
ZarItem* zar_find_item(ZarFile* zar, const char* name);

// Reads up to |size| stored bytes of |item| from |pos| into |buf|. Returns the
// count read (short at the end of the file), 0 at the item's end, -1 for a
// position past the end, a position beyond 2^31 - 1, or a failed seek.
int zar_read(ZarFile* zar, ZarItem* item, int pos, char* buf, int size);

// Helpers of zar_open, exposed for tests.
int zar_read_index(ZarFile* zar);
int zar_consume_index(ZarFile* zar, const char** cursor, const char* end);
int zar_insert_item(ZarFile* zar, const char* name, int namelen, uint32_t offset,
                    uint32_t length, uint32_t flags);
