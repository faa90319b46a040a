// The update core's access to the update archive: open it, extract named
// items (each one bzip2 stream) to files, close it. One instance exists,
// gArchiveReader, used only by the update's worker thread.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "zar.h"

class ArchiveReader {
 public:
  ArchiveReader() : mFile(nullptr), mOpened{} {}
  ~ArchiveReader() { Close(); }
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // Opens the archive at |path|, closing any open one first. 0 or ERR_READ.
  int Open(const char* path);
  // Takes |fd| (open for reading) as the archive, closing any open one first;
  // |opened| is the file's state when it was opened, before anything read
  // it, for CheckUnchanged. The descriptor is the reader's from now on, also
  // on failure. 0 or ERR_READ.
  int Open(int fd, const struct stat& opened);
  // Releases the open archive, if any. Closing twice is harmless.
  void Close();
  // 0 while the open archive's size, modification time and change time are
  // those it had when it was opened; ERR_DATA once any differs (the bytes
  // applied might not be the bytes checked), ERR_READ when it cannot be asked.
  int CheckUnchanged() const;

  // Decompresses the item |name| into a file created at |dest| with the item's
  // mode (less the umask; an existing file keeps its own). 0, ERR_READ (no such
  // item, no archive, unreadable bytes), ERR_WRITE or ERR_DATA. No directory is
  // made, and on failure the destination stays with whatever was written.
  int ExtractFile(const char* name, const char* dest);

  // Decompresses |item| into |out|. 0, ERR_READ, ERR_WRITE or ERR_DATA.
  int ExtractItemToStream(ZarItem* item, FILE* out);

  // Counts the bytes |item| decompresses to into *size, writing them nowhere
  // (the archive records no content sizes). Stops once the count passes
  // |limit|, *size then being more than |limit|: an item that would not fit
  // is not decoded to its end. 0, ERR_READ or ERR_DATA.
  int CountItem(ZarItem* item, uint64_t limit, uint64_t* size);

  // The open archive's descriptor, -1 when none is open.
  int Descriptor() const { return mFile ? fileno(mFile->fp) : -1; }

  // The open archive (null when none), for tools that list its items.
  ZarFile* File() const { return mFile; }

 private:
  // Decompresses |item|, handing each run of output bytes to |sink|, which
  // returns false to stop the decoding with ERR_WRITE.
  template <typename Sink>
  int Decode(ZarItem* item, Sink sink);

  ZarFile* mFile;
  struct stat mOpened;
};

extern ArchiveReader gArchiveReader;
