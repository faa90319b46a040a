// The patch and patch-if actions. In Prepare a patch action extracts its
// patch item to a numbered temporary file in the update directory, reads the
// patch header and loads the whole installed file, verifying its size and
// CRC-32, so that every file to patch is known to fit before anything
// changes. Execute backs the file up, re-creates it with its own permission
// bits and writes the patched content from the bytes held in memory.
#pragma once

#include "action.h"
#include "patch/binary_patch.h"

class PatchFile : public Action {
 public:
  PatchFile();
  // Closes the patch file, deletes it and frees the source bytes.
  ~PatchFile() override;
  int Parse(char* rest) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;

  // Reads the open file |fd| into mSourceData and checks its size and CRC-32
  // against the header. 0, ERR_READ, ERR_DATA, ERR_MEMORY or ERR_CRC.
  int LoadSourceFile(int fd);

  char* mPatchItem;              // archive item holding the patch (manifest text)
  char* mPath;                   // the installed file to patch (manifest text)
  int mTempIndex;                // number of the temporary patch file; -1 until Prepare
  ZBSPatchHeader mPatchHeader;   // filled in Prepare
  int mPatchFd;                  // the temporary patch file, open from Prepare on; -1 before
  unsigned char* mSourceData;    // the whole installed file, srcLength bytes; owned
  bool mBackupMade;              // this action made the file's backup, and finishes it

  // Numbers the temporary patch files of the run in the order the patch
  // actions are prepared; shared by patch and patch-if.
  static int sPatchIndex;
};

// "patch-if": a patch made only when the condition file exists at Prepare time.
class PatchIfFile : public PatchFile {
 public:
  PatchIfFile() : mConditionPath(nullptr) {}
  int Parse(char* rest) override;
  int Prepare() override;
  int Execute() override;
  void Finish(int status) override;

  char* mConditionPath;  // null after Prepare when the condition file was absent
};
