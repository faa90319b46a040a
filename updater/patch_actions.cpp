#include "patch_actions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "archive/archive_reader.h"
#include "errors.h"
#include "file_actions.h"
#include "file_util.h"
#include "fileio.h"
#include "filesystems.h"
#include "log.h"
#include "paths.h"

int PatchFile::sPatchIndex = 0;

PatchFile::PatchFile()
    : mPatchItem(nullptr),
      mPath(nullptr),
      mTempIndex(-1),
      mPatchHeader(),
      mPatchFd(-1),
      mSourceData(nullptr),
      mBackupMade(false) {}

PatchFile::~PatchFile() {
  if (mPatchFd >= 0) close(mPatchFd);
  char name[kPathBufferSize];
  if (FormatPath(name, "%s/%d.patch", gSourcePath, mTempIndex)) unlink(name);
  free(mSourceData);
}

int PatchFile::Parse(char* rest) {
  int rc = ParseArgument(&rest, &mPatchItem, false);
  if (rc == 0) rc = SkipSeparator(&rest);
  if (rc == 0) rc = ParseArgument(&rest, &mPath, true);
  return rc;
}

int PatchFile::Prepare() {
  LogPrintf("PREPARE PATCH %s\n", mPath);
  mTempIndex = sPatchIndex++;
  char name[kPathBufferSize];
  if (!FormatPath(name, "%s/%d.patch", gSourcePath, mTempIndex)) return ERR_WRITE;
  unlink(name);  // a leftover of an earlier run

  int rc = gArchiveReader.ExtractFile(mPatchItem, name);
  if (rc) return rc;
  mPatchFd = robust_open(name, O_RDONLY, 0);
  if (mPatchFd < 0) return ERR_READ;
  rc = ZBS_ReadHeader(mPatchFd, &mPatchHeader);
  if (rc) return rc;

  // Judged before it is opened: a FIFO would block the open for ever.
  bool exists;
  rc = backup_check_target(mPath, &exists);
  if (rc == 0 && !exists) rc = ERR_READ;
  if (rc) return rc;
  int fd = robust_open(mPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
  if (fd < 0) return ERR_READ;
  rc = LoadSourceFile(fd);
  if (rc) LogPrintf("LoadSourceFile failed\n");
  // Its identity for the journal is known now: the bytes just checked.
  struct stat st;
  if (rc == 0 && fstat(fd, &st) != 0) rc = ERR_READ;
  close(fd);
  if (rc) return rc;
  const BackupIdentity identity = {mPatchHeader.srcLength, mPatchHeader.srcCrc32, false, 0};
  rc = backup_plan_replace(mPath, &identity, &st);
  return rc ? rc : fs_plan_bytes(mPath, mPatchHeader.dstLength);
}

int PatchFile::LoadSourceFile(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ERR_READ;
  const uint32_t length = mPatchHeader.srcLength;
  if (uint64_t(st.st_size) != length) return ERR_DATA;
  // One byte at least: an empty source is no lack of memory.
  mSourceData = (unsigned char*)malloc(length ? length : 1);
  if (!mSourceData) return ERR_MEMORY;
  for (uint32_t done = 0; done < length;) {
    uint32_t want = length - done < 1024 ? length - done : 1024;
    ssize_t n = robust_read(fd, mSourceData + done, want);
    if (n < 0) return ERR_READ;
    if (n == 0) return ERR_DATA;  // the file shrank
    done += uint32_t(n);
  }
  if (crc32(mSourceData, length) != mPatchHeader.srcCrc32) {
    LogPrintf("CRC check failed\n");
    return ERR_CRC;
  }
  return 0;
}

int PatchFile::Execute() {
  LogPrintf("EXECUTE PATCH %s\n", mPath);
  struct stat st;
  if (stat(mPath, &st) != 0) return ERR_READ;
  int rc = backup_create(mPath, &mBackupMade);
  if (rc) return rc;
  if (!mBackupMade && remove(mPath) != 0) return ERR_WRITE;
  // Re-created with the bits of the file it replaces, as a new file: never
  // through a link planted at the name since it was removed.
  int fd = robust_open(mPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, st.st_mode & 07777);
  if (fd < 0) return ERR_WRITE;
  rc = ZBS_ApplyPatch(&mPatchHeader, mPatchFd, mSourceData, fd);
  if (close(fd) != 0 && rc == 0) rc = ERR_WRITE;
  return rc;
}

void PatchFile::Finish(int status) {
  LogPrintf("FINISH PATCH %s\n", mPath);
  if (mBackupMade) backup_finish(mPath, status);
}

int PatchIfFile::Parse(char* rest) {
  int rc = ParseCondition(&rest, &mConditionPath);
  return rc ? rc : PatchFile::Parse(rest);
}

int PatchIfFile::Prepare() {
  // Disabled: takes no number, touches nothing.
  int rc = TestCondition(&mConditionPath);
  if (rc || !mConditionPath) return rc;
  return PatchFile::Prepare();
}

int PatchIfFile::Execute() { return mConditionPath ? PatchFile::Execute() : 0; }

void PatchIfFile::Finish(int status) {
  if (mConditionPath) PatchFile::Finish(status);
}
