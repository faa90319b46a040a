// The remove, add and add-if actions. Their paths point into the manifest
// text, which outlives the action list; they own nothing else.
#pragma once

#include "action.h"

// "remove": deletes an installed file, after backing it up.
class RemoveFile : public Action {
 public:
  RemoveFile() : mPath(nullptr), mSkipped(0), mBackupMade(false) {}
  int Parse(char* rest) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;

  char* mPath;
  int mSkipped;      // 1 once the file was found absent: Execute and Finish only log
  bool mBackupMade;  // this action made the file's backup, and finishes it

 private:
  // Sets mSkipped, with its log line, when the file does not exist; in
  // |prepare|, also refuses what cannot be backed up (backup_check_target).
  int SkipIfAbsent(bool prepare);
};

// "add": installs the archive item named by the path at that path, replacing
// (after a backup) any file of that name.
class AddFile : public Action {
 public:
  AddFile() : mPath(nullptr), mBackupMade(false) {}
  int Parse(char* rest) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;

  char* mPath;
  bool mBackupMade;
};

// "add-if": an add made only when the condition file exists at Prepare time.
class AddIfFile : public AddFile {
 public:
  AddIfFile() : mConditionPath(nullptr) {}
  int Parse(char* rest) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;

  char* mConditionPath;  // null after Prepare when the condition file was absent
};

// Takes the next quoted argument from *cursor into *out: ERR_PARSE when there
// is none. With |install_path|, the argument is a path the update writes or
// removes and must pass IsInstallPath.
int ParseArgument(char** cursor, char** out, bool install_path);
// Consumes the separator between two quoted arguments: ERR_PARSE when missing.
int SkipSeparator(char** cursor);
// The condition path of an -if action and the separator after it.
int ParseCondition(char** cursor, char** conditionPath);
// Sets *conditionPath to null when that file does not exist: the -if action
// is then disabled, decided once in Prepare, before anything executes, and
// never revisited. 0 or ERR_READ.
int TestCondition(char** conditionPath);
