// Helpers shared by the unit and end-to-end tests: scratch directories, file bytes and modes, archives built with the
// archive writer, and running the built programs.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory under the test temp dir, removed at destruction unless the
// test failed (then it is kept and its path printed, for a look).
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return mPath; }
  std::string operator/(const std::string& rel) const { return mPath + "/" + rel; }

 private:
  std::string mPath;
};

std::string ReadFile(const std::string& path);
// Writes |data| to |path|, creating parent directories, then sets |mode| exactly.
void WriteFile(const std::string& path, const std::string& data, mode_t mode = 0644);
bool Exists(const std::string& path);  // lstat succeeds
mode_t ModeOf(const std::string& path);  // permission bits, 07777
// Every path below |root| (files and directories), sorted, relative.
std::vector<std::string> ListTree(const std::string& root);

struct RunResult {
  int exit_code = -1;  // -1 when ended by a signal
  int signal = 0;
  std::string out, err;
};

struct RunOptions {
  std::string cwd;                 // empty: inherit
  std::vector<std::string> env;    // extra NAME=VALUE entries
  int timeout_seconds = 60;        // killed after this, and the test fails
};

// Runs |argv| (argv[0] a path, no PATH search) and waits for it.
RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

// The folder that holds the built programs: $UPDATER_BIN_DIR, or the folder of the test executable.
std::string BinDir();

// Points the update log (gLogFP) at a temporary file for the life of the
// object, so a test can read back exactly what was logged.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::string Text();

 private:
  FILE* mFile;
};

std::string RandomBytes(size_t n, uint32_t seed);

}  // namespace testing_support
