// zbdiff OLD NEW PATCH: writes a binary patch in the updater's format.
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "common/fsutil.h"
#include "zbdiff/zb_cli.h"
#include "zbdiff/zbdiff.h"

namespace {

const char kUsage[] =
    "Usage: zbdiff OLD NEW PATCH\n"
    "\n"
    "Writes PATCH, a binary patch that turns the file OLD into the file NEW, in\n"
    "the updater's patch format (magic ZBDIFF10), uncompressed: the update\n"
    "archive compresses each item. The patch records OLD's length and CRC-32,\n"
    "so it applies to exactly that file (see zbpatch).\n"
    "\n"
    "Files of 2 GiB or more are refused: the format's sizes are 32-bit.\n"
    "Progress is shown on standard error when it is a terminal and the input is\n"
    "large.\n"
    "\n"
    "  --help   show this text.\n"
    "\n"
    "Exit codes: 0 success, 1 failure (the message names the file and the reason),\n"
    "2 bad command line.\n";

constexpr uint64_t kLargeInput = 8u << 20;  // progress is shown from this size on

// A percentage on the terminal, rewritten in place.
class TerminalProgress : public zbdiff::Progress {
 public:
  void Report(uint64_t done, uint64_t total) override {
    const int percent = total ? int(done * 100 / total) : 100;
    if (percent == mLast) return;
    mLast = percent;
    fprintf(stderr, "\rzbdiff: %3d%%", percent);
    if (done >= total) fputc('\n', stderr);
  }

 private:
  int mLast = -1;
};

int Run(const std::string& oldPath, const std::string& newPath, const std::string& patchPath) {
  const std::string old = fsutil::ReadFile(oldPath);
  const std::string neu = fsutil::ReadFile(newPath);
  TerminalProgress terminal;
  const bool show = isatty(STDERR_FILENO) && old.size() + neu.size() >= kLargeInput;
  if (show) fputs("zbdiff: indexing OLD...\n", stderr);
  const std::string patch = zbdiff::MakePatch(old, neu, show ? &terminal : nullptr);
  fsutil::WriteFile(patchPath, patch);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return zbcli::Main("zbdiff", kUsage, argc, argv, Run); }
