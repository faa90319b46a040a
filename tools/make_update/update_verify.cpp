#include "make_update/update_verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>

#include "common/fsutil.h"
#include "common/signing.h"
#include "common/temp_files.h"

extern char** environ;

namespace make_update {

namespace {

[[noreturn]] void FailErrno(const std::string& path, const std::string& what) {
  throw Error(path + ": " + what + ": " + strerror(errno));
}

// Copies the regular files of |from| to |to| with their exact permission bits.
void CopyTree(const std::string& from, const std::string& to, const VerifyProgress& progress) {
  fsutil::MakeDirs(to);
  const std::vector<fsutil::Entry> entries = fsutil::WalkTree(from);
  for (size_t i = 0; i < entries.size(); ++i) {
    const fsutil::Entry& e = entries[i];
    if (progress) progress("copying OLD", i + 1, entries.size());
    const std::string dest = to + "/" + e.rel;
    if (e.kind == fsutil::Entry::kDir) {
      fsutil::MakeDirs(dest);
    } else if (e.kind == fsutil::Entry::kFile) {
      fsutil::WriteFile(dest, fsutil::ReadFile(from + "/" + e.rel), e.mode);
      if (chmod(dest.c_str(), e.mode) != 0) FailErrno(dest, "cannot set its mode");
    }
  }
}

// Runs |argv| in |cwd| with umask 0 and without a display, its output going to
// |outputPath|; returns its wait status.
int RunUpdater(const std::vector<std::string>& argv, const std::string& cwd, const std::string& outputPath) {
  // Everything the child needs is made before fork: between fork and exec only
  // async-signal-safe calls are allowed.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e)
    if (strncmp(*e, "DISPLAY=", 8) != 0 && strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0) env.push_back(*e);
  env.push_back(nullptr);
  const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) FailErrno(outputPath, "cannot create");

  pid_t pid;
  try {
    pid = temp_files::ForkChild(argv[0]);
  } catch (...) {
    close(out);
    throw;
  }
  if (pid == 0) {
    umask(0);
    if (chdir(cwd.c_str()) != 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0) _exit(127);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  close(out);
  return temp_files::WaitChild(pid, argv[0]);
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// What differs between the tree at |installed| and NEW, one line each.
std::vector<std::string> CompareWithNew(const Plan& plan, const std::string& installed, const VerifyProgress& progress) {
  std::vector<std::string> problems;
  std::set<std::string> expected;
  for (const FileState& f : plan.files) {
    if (progress) progress("comparing with NEW", expected.size() + 1, plan.files.size());
    expected.insert(f.path);
    const std::string path = installed + "/" + f.path;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      problems.push_back(Quote(f.path) + " is missing");
      continue;
    }
    if (fsutil::ReadFile(path) != fsutil::ReadFile(plan.newDir + "/" + f.path))
      problems.push_back(Quote(f.path) + " differs from NEW's");
    if ((st.st_mode & 07777) != f.mode) {
      char buf[64];
      snprintf(buf, sizeof(buf), " has mode %04o, NEW's is %04o", unsigned(st.st_mode & 07777), f.mode);
      problems.push_back(Quote(f.path) + buf);
    }
  }
  for (const fsutil::Entry& e : fsutil::WalkTree(installed))
    if (e.kind != fsutil::Entry::kDir && !expected.count(e.rel))
      problems.push_back(Quote(e.rel) + " is left over (a file NEW lacks, a backup or a temporary file)");
  return problems;
}

}  // namespace

std::string UpdaterBesideThisProgram() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) FailErrno("/proc/self/exe", "cannot find this program's folder");
  std::string dir(self, size_t(n));
  dir.resize(dir.rfind('/'));
  const std::string updater = dir + "/updater";
  if (access(updater.c_str(), X_OK) != 0) FailErrno(updater, "cannot verify: no updater program beside make-update");
  return updater;
}

void VerifyWithUpdater(const std::string& updaterPath, const Plan& plan, const std::vector<char>& archive,
                       const std::string& signature, const std::string& publicKeyPath,
                       const VerifyProgress& progress) {
  temp_files::ScratchFolder scratch("make-update-verify");
  const std::string installed = scratch.path() + "/install";
  const std::string update = scratch.path() + "/update";
  if (plan.oldDir.empty())
    fsutil::MakeDirs(installed);
  else
    CopyTree(plan.oldDir, installed, progress);
  fsutil::MakeDirs(update);
  fsutil::WriteFile(update + "/update.zar", std::string_view(archive.data(), archive.size()));
  std::string updater = updaterPath;
  if (!signature.empty()) fsutil::WriteFile(update + "/update.zar.minisig", signature);
  if (!publicKeyPath.empty()) {
    signing::Verify(update + "/update.zar", update + "/update.zar.minisig", publicKeyPath);
    // The key goes beside a copy: installed beside the real program it
    // would hold every later run to this key.
    updater = scratch.path() + "/bin/updater";
    fsutil::MakeDirs(scratch.path() + "/bin");
    fsutil::WriteFile(updater, fsutil::ReadFile(updaterPath), 0755);
    fsutil::WriteFile(scratch.path() + "/bin/updater.pub", fsutil::ReadFile(publicKeyPath));
  }

  if (progress) progress("applying the update with the updater", 0, 0);
  const int status = RunUpdater({updater, update, "0"}, installed, scratch.path() + "/updater.out");
  // From here on a problem is the update's or the updater's: the scratch copy
  // is kept for a look.
  std::vector<std::string> problems;
  try {
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      problems.push_back("the updater did not exit with 0 (wait status " + std::to_string(status) + "; see " +
                         scratch.path() + "/updater.out)");
    } else {
      const std::string result = fsutil::ReadFile(update + "/update.status");
      if (result != "succeeded\n")
        problems.push_back("the update did not succeed: update.status says " + Quote(result.substr(0, result.find('\n'))) +
                           " (see " + update + "/update.log)");
      const std::set<std::string> runFiles = {"update.zar", "update.zar.minisig", "update.manifest", "update.log",
                                              "update.status"};
      for (const fsutil::Entry& e : fsutil::WalkTree(update))
        if (!runFiles.count(e.rel)) problems.push_back(Quote("update/" + e.rel) + " is left in the update folder");
      if (problems.empty()) problems = CompareWithNew(plan, installed, progress);
    }
  } catch (const std::exception& e) {
    problems.push_back(e.what());
  }
  if (problems.empty()) return;
  scratch.Keep();
  std::string message = "verification with " + updaterPath + " failed; nothing was written:";
  for (const std::string& p : problems) message += "\n  " + p;
  message += "\n  (the scratch copy is kept in " + scratch.path() + ")";
  throw Error(message);
}

}  // namespace make_update
