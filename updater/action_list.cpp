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

bool IsInstallPath(const char* path) {
  if (path[0] == '/') return false;
  for (const char* part = path; part; ) {
    const char* slash = strchr(part, '/');
    size_t len = slash ? size_t(slash - part) : strlen(part);
    if (len == 2 && part[0] == '.' && part[1] == '.') return false;
    part = slash ? slash + 1 : nullptr;
  }
  return true;
}
