// Low-level archive reader. The index is read with one read, parsed in
// memory and freed at once; each item is one allocation with its name.
//
// The index comes from outside, so every length is bounded before it is used:
// an index must lie inside the file before a byte is allocated for it, and
// positions are computed in 64 bits and refused past 2^31 - 1.
#include "zar.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// Reads exactly 4 bytes as a big-endian number; false on a short read.
bool read_be32(FILE* fp, uint32_t* out) {
  unsigned char b[4];
  if (fread(b, 1, 4, fp) != 4) return false;
  *out = zar_get_be32(b);
  return true;
}

}  // namespace

ZarFile* zar_open(const char* path) {
  FILE* fp = fopen(path, "rb");
  return fp ? zar_open_stream(fp) : nullptr;
}

ZarFile* zar_open_stream(FILE* fp) {
  ZarFile* zar = (ZarFile*)malloc(sizeof(ZarFile));
  if (!zar) {
    fclose(fp);
    return nullptr;
  }
  zar->fp = fp;
  for (ZarItem*& head : zar->buckets) head = nullptr;
  if (zar_read_index(zar) != 0) {
    zar_close(zar);
    return nullptr;
  }
  return zar;
}

void zar_close(ZarFile* zar) {
  fclose(zar->fp);
  for (ZarItem* item : zar->buckets) {
    while (item) {
      ZarItem* next = item->next;
      free(item);
      item = next;
    }
  }
  free(zar);
}

int zar_read_index(ZarFile* zar) {
  struct stat st;
  if (fstat(fileno(zar->fp), &st) != 0) return -1;
  const int64_t file_size = st.st_size;

  char magic[4];
  if (fread(magic, 1, 4, zar->fp) != 4 || memcmp(magic, kZarMagic, 4) != 0) return -1;
  uint32_t index_offset, index_size;
  if (!read_be32(zar->fp, &index_offset)) return -1;
  if (index_offset > kZarMaxPosition) return -1;
  if (fseek(zar->fp, long(index_offset), SEEK_SET) != 0) return -1;
  if (!read_be32(zar->fp, &index_size)) return -1;
  // An archive lists at least one item, and its index lies inside the file
  // and below 2^31: checked before the size is trusted for an allocation.
  // Every name is then shorter than 2^31 bytes as well.
  const int64_t index_end = int64_t(index_offset) + 4 + int64_t(index_size);
  if (index_size == 0 || index_end > file_size || index_end > kZarMaxPosition) return -1;

  char* buf = (char*)malloc(index_size);
  if (!buf) return -1;
  int rc = 0;
  if (fread(buf, 1, index_size, zar->fp) != index_size) rc = -1;
  const char* cursor = buf;
  const char* end = buf + index_size;
  while (rc == 0 && cursor < end) rc = zar_consume_index(zar, &cursor, end);
  free(buf);
  return rc;
}

int zar_consume_index(ZarFile* zar, const char** cursor, const char* end) {
  const unsigned char* p = (const unsigned char*)*cursor;
  // Twelve bytes of numbers, at least one name byte and the NUL.
  if (end - *cursor < kZarEntryFixedSize + 2) return -1;
  uint32_t offset = zar_get_be32(p);
  uint32_t length = zar_get_be32(p + 4);
  uint32_t flags = zar_get_be32(p + 8);
  const char* name = *cursor + kZarEntryFixedSize;
  const char* nul = (const char*)memchr(name, '\0', size_t(end - name));
  if (!nul || nul - name > kZarMaxPosition) return -1;
  *cursor = nul + 1;
  return zar_insert_item(zar, name, int(nul - name), offset, length, flags);
}

int zar_insert_item(ZarFile* zar, const char* name, int namelen, uint32_t offset,
                    uint32_t length, uint32_t flags) {
  if (namelen < 0) return -1;
  ZarItem* item = (ZarItem*)malloc(offsetof(ZarItem, name) + size_t(namelen) + 1);
  if (!item) return -1;
  item->next = nullptr;
  item->offset = offset;
  item->length = length;
  item->flags = flags;
  memcpy(item->name, name, size_t(namelen));
  item->name[namelen] = '\0';

  // Appended at the tail, so that of two equal names the first listed is found.
  ZarItem** link = &zar->buckets[zar_hash_name(item->name)];
  while (*link) link = &(*link)->next;
  *link = item;
  return 0;
}

ZarItem* zar_find_item(ZarFile* zar, const char* name) {
  for (ZarItem* item = zar->buckets[zar_hash_name(name)]; item; item = item->next)
    if (strcmp(item->name, name) == 0) return item;
  return nullptr;
}

int zar_read(ZarFile* zar, ZarItem* item, int pos, char* buf, int size) {
  if (pos < 0 || size < 0) return -1;
  if (uint32_t(pos) == item->length) return 0;
  if (uint32_t(pos) > item->length) return -1;
  const int64_t at = int64_t(item->offset) + pos;
  if (at > kZarMaxPosition) return -1;
  uint32_t n = item->length - uint32_t(pos);
  if (uint32_t(size) < n) n = uint32_t(size);
  if (fseek(zar->fp, long(at), SEEK_SET) != 0) return -1;
  return int(fread(buf, 1, n, zar->fp));
}
