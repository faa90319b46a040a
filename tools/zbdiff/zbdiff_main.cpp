// zbdiff OLD NEW PATCH: writes a binary patch in the updater's format.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/cli.h"
#include "common/fsutil.h"
#include "zbdiff/zbdiff.h"

namespace {

const char kDescription[] =
    "Writes PATCH, a binary patch that turns the file OLD into the file NEW, in\n"
    "the updater's patch format (magic ZBDIFF10), uncompressed: the update\n"
    "archive compresses each item. The patch records OLD's length and CRC-32,\n"
    "so it applies to exactly that file (see zbpatch).\n";

const char kDetails[] =
    "Files of 2 GiB or more are refused: the format's sizes are 32-bit.\n"
    "Progress is shown on standard error when it is a terminal and the input is\n"
    "large. PATCH is written under a temporary name beside it and renamed into\n"
    "place only when whole; on a failure or on SIGINT, SIGTERM or SIGHUP the\n"
    "temporary file is removed (a signal then ends zbdiff as it would have).\n"
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

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false;
  const cli::Program program{
      "zbdiff",
      {"[-q] OLD NEW PATCH"},
      kDescription,
      {{"quiet", 'q', nullptr, "show no progress.", [&](const std::string&) { quiet = true; }}},
      kDetails};
  return cli::Main(program, argc, argv, [&](const std::vector<std::string>& files) {
    if (files.size() != 3) throw cli::UsageError(files.size() < 3 ? "OLD, NEW and PATCH are needed" : "too many arguments");
    const std::string old = fsutil::ReadFile(files[0]);
    const std::string neu = fsutil::ReadFile(files[1]);
    TerminalProgress terminal;
    const bool show = !quiet && isatty(STDERR_FILENO) && old.size() + neu.size() >= kLargeInput;
    if (show) fputs("zbdiff: indexing OLD...\n", stderr);
    fsutil::WriteFile(files[2], zbdiff::MakePatch(old, neu, show ? &terminal : nullptr));
    return 0;
  });
}
