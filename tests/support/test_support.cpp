#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "log.h"

namespace fs = std::filesystem;

namespace testing_support {

ScratchDir::ScratchDir() {
  std::string tmpl = (fs::path(::testing::TempDir()) / "updater-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  mPath = tmpl;
}

ScratchDir::~ScratchDir() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info && info->result()->Failed()) {
    fprintf(stderr, "keeping scratch directory %s\n", mPath.c_str());
    return;
  }
  // Tests take permissions away from folders; an unprivileged run needs them back to clean up.
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(mPath, ec); !ec && it != fs::end(it); it.increment(ec))
    if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0755);
  fs::remove_all(mPath, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& data, mode_t mode) {
  for (size_t i = 1; i < path.size(); ++i)
    if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(data.data(), std::streamsize(data.size()));
  chmod(path.c_str(), mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : mode_t(-1);
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  const auto options = fs::directory_options::skip_permission_denied;
  for (auto it = fs::recursive_directory_iterator(root, options, ec); !ec && it != fs::end(it); it.increment(ec))
    out.push_back(it->path().lexically_relative(root).string());
  std::sort(out.begin(), out.end());
  return out;
}

static std::string Drain(int fd) {
  std::string s;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, size_t(n));
  close(fd);
  return s;
}

RunResult RunProgram(const std::vector<std::string>& argv, const RunOptions& options) {
  // Output through pipes, read until every writer is gone: a callback that the program starts writes into them too.
  // Close-on-exec, so that a program started from another thread never holds them open.
  RunResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    for (const std::string& e : options.env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  std::thread out_reader([&] { result.out = Drain(out[0]); });
  std::thread err_reader([&] { result.err = Drain(err[0]); });
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << argv[0] << " timed out after " << options.timeout_seconds << " s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  out_reader.join();
  err_reader.join();
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::string BinDir() {
  if (const char* dir = getenv("UPDATER_BIN_DIR")) return dir;
  return fs::read_symlink("/proc/self/exe").parent_path().string();
}

LogCapture::LogCapture() : mFile(tmpfile()) { gLogFP = mFile; }

LogCapture::~LogCapture() {
  gLogFP = nullptr;
  if (mFile) fclose(mFile);
}

std::string LogCapture::Text() {
  fflush(mFile);
  return ReadFile("/proc/self/fd/" + std::to_string(fileno(mFile)));
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = char(rng() & 0xFF);
  return s;
}

}  // namespace testing_support
