// Actions and the three-phase action list.
//
// An update is a list of actions, one per manifest line, run in three phases:
//
//   Append*  -> Prepare (all) --0--> Execute (all) --> Finish(status) (all) -> destroyed
//                        \--error: no Execute, no Finish---------------------> destroyed
//
// Rules the phases keep:
//  1. No installed file changes before every action's Prepare returned 0.
//  2. A file is backed up before it is replaced, patched or removed.
//  3. Execute stops at the first failure; Finish then runs for every action,
//     executed or not, in list order, with that failure's code, and every
//     backup made in the run is restored. With status 0, backups are deleted.
//  4. Progress: 1.0 after Prepare, 1 + 98 * i / count before action i
//     executes, 100.0 after Finish. A failed Prepare posts nothing.
#pragma once

#include <cstdint>

class Action {
 public:
  Action() : mNext(nullptr) {}
  virtual ~Action() {}
  Action(const Action&) = delete;
  Action& operator=(const Action&) = delete;

  // Reads the arguments from |rest|, the rest of the manifest line (null when
  // the keyword ended the line). The action keeps pointers into that text.
  virtual int Parse(char* rest) = 0;
  // Checks and stages; changes no installed file.
  virtual int Prepare() = 0;
  // Makes the change, after backing up what it replaces.
  virtual int Execute() = 0;
  // Ends the action: |status| is 0 when the whole Execute phase succeeded,
  // else the code it failed with.
  virtual void Finish(int status) = 0;

  Action* mNext;  // written only by ActionList::Append
};

// Owns its actions, in the order appended; used once and never copied.
class ActionList {
 public:
  ActionList() : mFirst(nullptr), mLast(nullptr), mCount(0) {}
  ~ActionList();
  ActionList(const ActionList&) = delete;
  ActionList& operator=(const ActionList&) = delete;

  // Takes ownership of |action| (not null, mNext null) and appends it.
  void Append(Action* action);
  int Prepare();
  int Execute();
  void Finish(int status);

  Action* mFirst;
  Action* mLast;
  int32_t mCount;
};

// True when |path| may be written or removed by an update: relative, without
// a ".." component that could lead out of the installation, and not one of the
// updater's own names (its last component ending in ".zel-backup" or
// ".zel-part").
bool IsInstallPath(const char* path);
