// Extraction of archive items through the bzip2 decoder, with constant memory
// per item: two 1024-byte buffers and the decoder's state.
#include "archive_reader.h"

#include <bzlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "../errors.h"

ArchiveReader gArchiveReader;

int ArchiveReader::Open(const char* path) {
  Close();
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ERR_READ;
  struct stat opened;
  if (fstat(fd, &opened) != 0) {
    close(fd);
    return ERR_READ;
  }
  return Open(fd, opened);
}

int ArchiveReader::Open(int fd, const struct stat& opened) {
  Close();
  FILE* fp = fdopen(fd, "rb");
  if (!fp) {
    close(fd);
    return ERR_READ;
  }
  mFile = zar_open_stream(fp);
  mOpened = opened;
  return mFile ? 0 : ERR_READ;
}

int ArchiveReader::CheckUnchanged() const {
  struct stat now;
  if (!mFile || fstat(fileno(mFile->fp), &now) != 0) return ERR_READ;
  const bool same = now.st_size == mOpened.st_size && now.st_mtim.tv_sec == mOpened.st_mtim.tv_sec &&
                    now.st_mtim.tv_nsec == mOpened.st_mtim.tv_nsec && now.st_ctim.tv_sec == mOpened.st_ctim.tv_sec &&
                    now.st_ctim.tv_nsec == mOpened.st_ctim.tv_nsec;
  return same ? 0 : ERR_DATA;
}

void ArchiveReader::Close() {
  if (mFile) {
    zar_close(mFile);
    mFile = nullptr;
  }
}

int ArchiveReader::ExtractFile(const char* name, const char* dest) {
  ZarItem* item = mFile ? zar_find_item(mFile, name) : nullptr;
  if (!item) return ERR_READ;

  // O_NOFOLLOW: an installed file is never written through a symbolic link
  // planted at its name; the creation fails instead.
  int fd = open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode_t(item->flags & 0xFFFF));
  if (fd < 0) return ERR_WRITE;
  FILE* out = fdopen(fd, "wb");
  if (!out) {
    close(fd);
    return ERR_WRITE;
  }
  int rc = ExtractItemToStream(item, out);
  // The last buffered bytes are written by fclose: a failure there is a
  // failed write like any other.
  if (fclose(out) != 0 && rc == 0) rc = ERR_WRITE;
  return rc;
}

template <typename Sink>
int ArchiveReader::Decode(ZarItem* item, Sink sink) {
  bz_stream strm;
  memset(&strm, 0, sizeof(strm));
  if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK) return ERR_DATA;

  char inbuf[1024];
  char outbuf[1024];
  uint32_t fed = 0;
  int rc = 0;
  for (;;) {
    if (fed < item->length && strm.avail_in == 0) {
      int n = zar_read(mFile, item, int(fed), inbuf, sizeof(inbuf));
      if (n < 1) {
        rc = ERR_READ;
        break;
      }
      strm.next_in = inbuf;
      strm.avail_in = unsigned(n);
      fed += uint32_t(n);
    }
    const bool starved = strm.avail_in == 0;
    strm.next_out = outbuf;
    strm.avail_out = sizeof(outbuf);
    int bz = BZ2_bzDecompress(&strm);
    if (bz != BZ_OK && bz != BZ_STREAM_END) {
      rc = ERR_DATA;
      break;
    }
    size_t produced = sizeof(outbuf) - strm.avail_out;
    if (produced > 0 && !sink(outbuf, produced)) {
      rc = ERR_WRITE;
      break;
    }
    if (bz == BZ_STREAM_END) break;
    // Every stored byte was fed and the decoder made no progress: the stream
    // was cut short, and calling again would loop for ever.
    if (starved && produced == 0) {
      rc = ERR_DATA;
      break;
    }
  }
  BZ2_bzDecompressEnd(&strm);
  return rc;
}

int ArchiveReader::ExtractItemToStream(ZarItem* item, FILE* out) {
  return Decode(item, [out](const char* buf, size_t n) { return fwrite(buf, n, 1, out) == 1; });
}

int ArchiveReader::CountItem(ZarItem* item, uint64_t limit, uint64_t* size) {
  *size = 0;
  int rc = Decode(item, [&](const char*, size_t n) { return (*size += n) <= limit; });
  return rc == ERR_WRITE ? 0 : rc;  // stopped past the limit: counted far enough
}
