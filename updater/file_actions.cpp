#include "file_actions.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "archive/archive_reader.h"
#include "errors.h"
#include "file_util.h"
#include "filesystems.h"
#include "log.h"
#include "mstrtok.h"

int ParseArgument(char** cursor, char** out, bool install_path) {
  char* token = mstrtok(kQuote, cursor);
  if (!token || (install_path && !IsInstallPath(token))) return ERR_PARSE;
  *out = token;
  return 0;
}

int SkipSeparator(char** cursor) { return mstrtok(kQuote, cursor) ? 0 : ERR_PARSE; }

int ParseCondition(char** cursor, char** conditionPath) {
  int rc = ParseArgument(cursor, conditionPath, false);
  return rc ? rc : SkipSeparator(cursor);
}

int TestCondition(char** conditionPath) {
  bool exists;
  int rc = file_exists(*conditionPath, &exists);
  if (rc == 0 && !exists) *conditionPath = nullptr;
  return rc;
}

// ---- remove ----------------------------------------------------------------

int RemoveFile::SkipIfAbsent(bool prepare) {
  bool exists;
  // Prepare also judges what stands there (a regular file, with a name that
  // can be backed up); Execute only sees whether it has gone since.
  int rc = prepare ? backup_check_target(mPath, &exists) : file_exists(mPath, &exists);
  if (rc == 0 && !exists) {
    LogPrintf("file cannot be removed because it does not exist; skipping\n");
    mSkipped = 1;
  }
  return rc;
}

int RemoveFile::Parse(char* rest) { return ParseArgument(&rest, &mPath, true); }

int RemoveFile::Prepare() {
  LogPrintf("PREPARE REMOVE %s\n", mPath);
  int rc = SkipIfAbsent(true);
  if (rc || mSkipped) return rc;
  // The directory must let us delete the file: test it now, before anything
  // changes, instead of failing half-way through the update.
  char* slash = strrchr(mPath, '/');
  if (slash) {
    *slash = '\0';
    rc = access(mPath, W_OK);
    *slash = '/';
  } else {
    rc = access(".", W_OK);
  }
  if (rc != 0) {
    LogPrintf("access failed: %d\n", errno);
    return ERR_WRITE;
  }
  return backup_plan_replace(mPath);
}

int RemoveFile::Execute() {
  LogPrintf("EXECUTE REMOVE %s\n", mPath);
  if (mSkipped) return 0;
  // An earlier action of the same manifest may have removed it already.
  int rc = SkipIfAbsent(false);
  if (rc || mSkipped) return rc;
  rc = backup_create(mPath, &mBackupMade);
  if (rc) {
    LogPrintf("backup_create failed: %d\n", rc);
    return rc;
  }
  // The backup took the file away; without one of its own (rule 3 of
  // file_util.h, or a file this run created), it is removed here.
  int removed = mBackupMade ? 0 : remove(mPath);
  if (removed != 0) {
    LogPrintf("remove failed: %d\n", removed);
    return ERR_WRITE;
  }
  return 0;
}

void RemoveFile::Finish(int status) {
  LogPrintf("FINISH REMOVE %s\n", mPath);
  if (mSkipped || !mBackupMade) return;
  backup_finish(mPath, status);
}

// ---- add -------------------------------------------------------------------

int AddFile::Parse(char* rest) { return ParseArgument(&rest, &mPath, true); }

int AddFile::Prepare() {
  LogPrintf("PREPARE ADD %s\n", mPath);
  bool exists;
  int rc = backup_check_target(mPath, &exists);
  if (rc == 0) rc = exists ? backup_plan_replace(mPath) : backup_plan_create(mPath);
  return rc ? rc : fs_plan_item(mPath, mPath);
}

int AddFile::Execute() {
  LogPrintf("EXECUTE ADD %s\n", mPath);
  bool exists;
  int rc = file_exists(mPath, &exists);
  if (rc) return rc;
  if (exists) {
    rc = backup_create(mPath, &mBackupMade);
    if (rc) return rc;
    // Moved or removed, never truncated: the new file is created fresh with
    // the item's mode.
    if (!mBackupMade && remove(mPath) != 0) return ERR_WRITE;
  } else {
    rc = ensure_parent_dir(mPath);
    // Noted as this run's own, so that a rollback that must give the name of
    // a parent directory back to a file may remove it.
    if (rc == 0) rc = backup_note_created(mPath, false);
    if (rc) return rc;
  }
  return gArchiveReader.ExtractFile(mPath, mPath);
}

void AddFile::Finish(int status) {
  LogPrintf("FINISH ADD %s\n", mPath);
  // A file that did not exist before has no backup: after a failed run the
  // newly added file stays in place.
  if (mBackupMade) backup_finish(mPath, status);
}

// ---- add-if ----------------------------------------------------------------

int AddIfFile::Parse(char* rest) {
  int rc = ParseCondition(&rest, &mConditionPath);
  return rc ? rc : AddFile::Parse(rest);
}

int AddIfFile::Prepare() {
  int rc = TestCondition(&mConditionPath);
  if (rc || !mConditionPath) return rc;
  return AddFile::Prepare();
}

int AddIfFile::Execute() { return mConditionPath ? AddFile::Execute() : 0; }

void AddIfFile::Finish(int status) {
  if (mConditionPath) AddFile::Finish(status);
}
