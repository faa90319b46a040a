// The producer tools' temporary files, scratch folders and child programs,
// and what becomes of them when a tool fails or is stopped.
//
// An output is written to a new file of its own beside the final name and
// renamed over it only when whole, so a user's file is never truncated and a
// failed run leaves neither a partial output nor the temporary. Every
// temporary file, scratch folder and child is registered while it exists: the
// guards below remove them when a failure unwinds the stack, and the handler
// that InstallStopHandlers sets up removes them (and kills the child) when
// SIGINT, SIGTERM or SIGHUP arrives, then ends the tool by that same signal.
//
// Registration and the handler run on the thread that installed the
// handlers (a stop signal that another thread receives is passed on to it);
// the guards are meant for that thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace temp_files {

// Installs the stop handlers for SIGINT, SIGTERM and SIGHUP, except for a
// signal that was ignored when the program started (as under nohup), which
// stays ignored. Call once, early, from the main thread.
void InstallStopHandlers();

// The process's umask, read without changing it.
mode_t CurrentUmask();

// Removes |path| and, when it is a folder, everything below it, never following
// a symbolic link. Only async-signal-safe calls, so the stop handler uses it
// too. False (errno set) when something could not be removed; a missing
// |path| is no failure.
bool RemoveTree(const char* path);

// A new file beside |dest| (in the same folder, under a name of its own),
// created 0600, removed unless Commit succeeds.
class TempFile {
 public:
  // Throws std::runtime_error naming the folder and the reason.
  explicit TempFile(std::string dest);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return mFd; }
  const std::string& dest() const { return mDest; }
  // Appends |data|. Throws std::runtime_error naming dest() and the reason.
  void Write(std::string_view data);
  // Gives the file |mode| less the umask (as a file created with that mode
  // would have), closes it and renames it over dest(). Throws
  // std::runtime_error naming dest() and the reason; the file is then removed.
  void Commit(unsigned mode);

 private:
  std::string mDest, mPath;
  int mFd = -1;
};

// A new folder under $TMPDIR (or /tmp), removed with everything in it unless
// Keep is called.
class ScratchFolder {
 public:
  // |prefix| starts the folder's name. Throws std::runtime_error naming the
  // folder and the reason.
  explicit ScratchFolder(const std::string& prefix);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return mPath; }
  // Leaves the folder in place from now on, stop signals included.
  void Keep();

 private:
  std::string mPath;
  bool mKept = false;
};

// fork() for a child that the stop handler kills (SIGKILL) and waits for
// before it removes anything. Returns as fork does: 0 in the child, whose stop
// signals have their default actions and whose signal mask is the caller's;
// the child's pid in the parent. Throws std::runtime_error naming |what|.
pid_t ForkChild(const std::string& what);
// Waits for the child ForkChild started and forgets it; its wait status.
// Throws std::runtime_error naming |what|.
int WaitChild(pid_t pid, const std::string& what);

}  // namespace temp_files
