#include "test_support.h"

#include "log.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0755);
    if (DIR* d = opendir(path.c_str())) {
      while (struct dirent* de = readdir(d))
        if (strcmp(de->d_name, ".") && strcmp(de->d_name, "..")) RemoveTree(path + "/" + de->d_name);
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void Collect(const std::string& root, const std::string& rel, std::vector<std::string>& out) {
  DIR* d = opendir((root + (rel.empty() ? "" : "/" + rel)).c_str());
  if (!d) return;
  while (struct dirent* de = readdir(d)) {
    if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..")) continue;
    std::string child = rel.empty() ? de->d_name : rel + "/" + de->d_name;
    out.push_back(child);
    struct stat st;
    if (lstat((root + "/" + child).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) Collect(root, child, out);
  }
  closedir(d);
}

std::string Drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, size_t(n));
  return s;
}

}  // namespace

ScratchDir::ScratchDir() {
  std::string base = ::testing::TempDir();
  if (base.empty() || base.back() != '/') base += '/';
  std::string tmpl = base + "updater-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  mPath = buf.data();
}

ScratchDir::~ScratchDir() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info && info->result()->Failed()) {
    fprintf(stderr, "keeping scratch directory %s\n", mPath.c_str());
    return;
  }
  RemoveTree(mPath);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data, mode_t mode) {
  for (size_t i = 1; i < path.size(); ++i)
    if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), std::streamsize(data.size()));
  out.close();
  chmod(path.c_str(), mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return mode_t(-1);
  return st.st_mode & 07777;
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> out;
  Collect(root, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

void FlipBase64Bit(const std::string& path, size_t column) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text = ReadFile(path);
  char& c = text[text.find('\n') + 1 + column];
  c = kAlphabet[kAlphabet.find(c) ^ 1];
  WriteFile(path, text);
}

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  int out_pipe[2], err_pipe[2];
  // Close-on-exec, so a program started from another thread never holds
  // these pipes open and keeps the caller waiting.
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    for (const std::string& e : options.env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  std::string out, err;
  std::thread t_out([&] { out = Drain(out_pipe[0]); });
  std::thread t_err([&] { err = Drain(err_pipe[0]); });
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << argv[0] << " timed out after " << options.timeout_seconds << " s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  t_out.join();
  t_err.join();
  close(out_pipe[0]);
  close(err_pipe[0]);
  result.out = out;
  result.err = err;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::string BinDir() {
  if (const char* dir = getenv("UPDATER_BIN_DIR")) return dir;
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string self(buf, size_t(n));
  return self.substr(0, self.rfind('/'));
}

LogCapture::LogCapture() : mFile(tmpfile()) { gLogFP = mFile; }

LogCapture::~LogCapture() {
  gLogFP = nullptr;
  if (mFile) fclose(mFile);
}

std::string LogCapture::Text() {
  if (!mFile) return "";
  fflush(mFile);
  rewind(mFile);
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, mFile)) > 0) s.append(buf, n);
  return s;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng() & 0xFF);
  return s;
}

}  // namespace testing_support
