#include "action.h"

#include <cstring>

#include "log.h"
#include "ui/progressui.h"

ActionList::~ActionList() {
  Action* action = mFirst;
  while (action) {
    Action* next = action->mNext;
    delete action;
    action = next;
  }
}

void ActionList::Append(Action* action) {
  if (mLast)
    mLast->mNext = action;
  else
    mFirst = action;
  mLast = action;
  ++mCount;
}

int ActionList::Prepare() {
  for (Action* action = mFirst; action; action = action->mNext) {
    int rc = action->Prepare();
    if (rc) return rc;
  }
  UpdateProgressUI(1.0f);
  return 0;
}

int ActionList::Execute() {
  // Single precision, one division by q then the addition: the window sees
  // exactly these values.
  const float q = float(mCount) / 98.0f;
  int i = 0;
  for (Action* action = mFirst; action; action = action->mNext, ++i) {
    UpdateProgressUI(float(i) / q + 1.0f);
    int rc = action->Execute();
    if (rc) {
      LogPrintf("### execution failed\n");
      return rc;
    }
  }
  return 0;
}

void ActionList::Finish(int status) {
  for (Action* action = mFirst; action; action = action->mNext) action->Finish(status);
  UpdateProgressUI(100.0f);
}

namespace {

// True when |s| (of |len| bytes) ends in |suffix|.
bool EndsWith(const char* s, size_t len, const char* suffix) {
  size_t n = strlen(suffix);
  return len >= n && memcmp(s + len - n, suffix, n) == 0;
}

}  // namespace

bool IsInstallPath(const char* path) {
  if (path[0] == '/') return false;
  const char* last = path;
  size_t last_len = 0;
  for (const char* part = path; part; ) {
    const char* slash = strchr(part, '/');
    size_t len = slash ? size_t(slash - part) : strlen(part);
    if (len == 2 && part[0] == '.' && part[1] == '.') return false;
    if (len > 0) {
      last = part;
      last_len = len;
    }
    part = slash ? slash + 1 : nullptr;
  }
  // The updater's own names beside each file it changes: an update that wrote
  // or removed one would clobber a backup, or have its file taken for one.
  return !EndsWith(last, last_len, ".zel-backup") && !EndsWith(last, last_len, ".zel-part");
}
