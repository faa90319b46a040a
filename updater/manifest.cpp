#include "manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "action.h"
#include "archive/archive_reader.h"
#include "errors.h"
#include "file_actions.h"
#include "file_util.h"
#include "fileio.h"
#include "filesystems.h"
#include "journal.h"
#include "mstrtok.h"
#include "patch_actions.h"
#include "paths.h"

namespace {

// A new action for |keyword|, or null with *known false for an unknown one.
// Keywords are compared whole, byte for byte, in this order.
Action* MakeAction(const char* keyword, bool* known) {
  *known = true;
  if (strcmp(keyword, "remove") == 0) return new (std::nothrow) RemoveFile;
  if (strcmp(keyword, "add") == 0) return new (std::nothrow) AddFile;
  if (strcmp(keyword, "patch") == 0) return new (std::nothrow) PatchFile;
  if (strcmp(keyword, "add-if") == 0) return new (std::nothrow) AddIfFile;
  if (strcmp(keyword, "patch-if") == 0) return new (std::nothrow) PatchIfFile;
  *known = false;
  return nullptr;
}

}  // namespace

int ParseManifest(char* text, ActionList* list) {
  char* lines = text;
  while (char* line = mstrtok(kNL, &lines)) {
    if (line[0] == '#') continue;
    char* rest = line;
    char* keyword = mstrtok(kWhitespace, &rest);
    if (!keyword) return ERR_PARSE;
    bool known;
    Action* action = MakeAction(keyword, &known);
    if (!known) return ERR_PARSE;
    if (!action) return ERR_MEMORY;
    int rc = action->Parse(rest);
    if (rc) {
      delete action;
      return rc;
    }
    list->Append(action);
  }
  return 0;
}

int DoUpdate() {
  char path[kPathBufferSize];
  if (!FormatPath(path, "%s/update.manifest", gSourcePath)) return ERR_WRITE;
  int rc = gArchiveReader.ExtractFile("update.manifest", path);
  if (rc) return rc;

  int fd = robust_open(path, O_RDONLY, 0);
  if (fd < 0) return ERR_READ;
  char* text = nullptr;
  rc = read_whole(fd, &text);
  if (rc == 0) {
    // The actions point into |text|: it is freed only after the list is gone.
    ActionList list;
    rc = ParseManifest(text, &list);
    if (rc == 0) rc = list.Prepare();
    // Nothing has changed yet: an update that does not fit stops here.
    if (rc == 0) rc = journal_plan(gArchiveReader.Descriptor(), PatchFile::sPatchIndex);
    if (rc == 0) rc = fs_check_space();
    if (rc == 0) rc = journal_begin();
    if (rc == 0) {
      rc = list.Execute();
      // The bytes applied must be the bytes whose signature was checked: an
      // archive rewritten during the run is rolled back.
      if (rc == 0) rc = gArchiveReader.CheckUnchanged();
      // COMMIT may reach the disk only after every new file's bytes and every
      // changed entry: one sync of each file system the run changed.
      if (rc == 0) rc = fs_sync();
      // Once COMMIT is recorded, a crash in Finish leaves a finished update.
      if (rc == 0) rc = journal_commit();
      list.Finish(rc);
      // A backup that could not be restored or deleted stays listed for the
      // next run.
      journal_end(backup_unfinished() > 0);
    }
  }
  free(text);
  close(fd);
  return rc;
}
