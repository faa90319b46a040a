// make-update: builds an update archive from two release trees, proves it, and
// writes it where the updater expects it.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/cli.h"
#include "common/fsutil.h"
#include "common/signing.h"
#include "make_update/update_build.h"
#include "make_update/update_plan.h"
#include "make_update/update_verify.h"

namespace {

const char kDescription[] =
    "Writes UPDATE_DIR/update.zar, the update that turns the installed tree OLD_DIR\n"
    "into NEW_DIR (UPDATE_DIR is created when missing).\n";

const char kDetails[] =
    "For a file that is in both trees: nothing when bytes and permission bits are\n"
    "the same; \"patch\" when only the bytes changed and the bzip2-compressed patch\n"
    "is smaller than the bzip2-compressed file (a patched file keeps its own bits);\n"
    "\"add\" otherwise. Files of OLD_DIR that NEW_DIR lacks are removed.\n"
    "\n"
    "Manifest order: every \"remove\" first, then the \"add\" and \"patch\" lines, each\n"
    "group sorted by path as bytes ('/'-separated, relative). Removes come first so\n"
    "that a file which became a directory is gone before the files below it are\n"
    "added. Archive items: \"update.manifest\", then one item per add or patch in\n"
    "manifest order; an add's item is named by its path and carries its mode, a\n"
    "patch's item is named \"./PATH.patch\", a name no file item can have. The same\n"
    "trees always give the same bytes.\n"
    "\n"
    "Every patch is applied in memory with the updater's own applier before\n"
    "anything is written, and must give the new file byte for byte.\n"
    "\n"
    "Refused, with a message naming the path and the reason: in either tree,\n"
    "symbolic links and special files, names holding a double quote, a carriage\n"
    "return or a line feed, names ending in \".zel-backup\" or \".zel-part\" (the\n"
    "updater's own), file names longer than 244 bytes (the backup name must fit\n"
    "the 255-byte limit) and paths longer than 1012 bytes; in NEW_DIR, files of\n"
    "2 GiB or more and a file \"update.manifest\" at its root; a directory of\n"
    "OLD_DIR that is a file in NEW_DIR (the updater removes no directories); an\n"
    "archive that would reach 2 GiB. Every refusal is listed, then nothing is\n"
    "written. Empty directories are not carried and get a warning.\n"
    "\n"
    "The updater creates added files with the item's mode subject to its umask.\n"
    "Progress (of the build, and of --verify) goes to standard error when it is a\n"
    "terminal, unless -q is given; a summary (adds, patches, removes, bytes, size\n"
    "against a complete update) to standard output. update.zar is written under a\n"
    "temporary name and renamed into place only when whole. On SIGINT, SIGTERM or\n"
    "SIGHUP the temporary file and the scratch folder are removed and the updater\n"
    "of --verify is stopped; the signal then ends make-update as it would have.\n"
    "\n"
    "Exit codes: 0 success, 1 failure (a refusal, an unreadable or unwritable file,\n"
    "a failed proof or verification; the message names the file and the reason;\n"
    "nothing is written), 2 bad command line.\n";

struct Options {
  std::string from, to, output;
  unsigned jobs = 0;
  uint64_t memoryBudget = 0;
  bool verify = false;
  bool quiet = false;
  std::string secretKey, publicKey;
};

// One progress line on the terminal, rewritten in place.
void ShowProgress(const std::string& text) { fprintf(stderr, "\rmake-update: %s\033[K", text.c_str()); }

std::string Plural(size_t n, const std::string& word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : word.back() == 'h' ? "es" : "s");
}

int Run(const Options& o) {
  // Found first, so that a missing updater fails before the long work.
  const std::string updater = o.verify ? make_update::UpdaterBesideThisProgram() : std::string();
  std::optional<signing::SecretKey> key;
  if (!o.secretKey.empty()) key = signing::ReadSecretKey(o.secretKey);

  const make_update::Plan plan = make_update::PlanUpdate(o.from, o.to);
  for (const std::string& w : plan.warnings) fprintf(stderr, "make-update: warning: %s\n", w.c_str());

  make_update::BuildOptions build;
  build.jobs = o.jobs;
  build.memoryBudget = o.memoryBudget;
  const bool terminal = !o.quiet && isatty(STDERR_FILENO);
  if (terminal) {
    build.progress = [](const make_update::BuildProgress& p) {
      const unsigned percent = p.bytesTotal ? unsigned(p.bytesDone * 100 / p.bytesTotal) : 100;
      ShowProgress(std::to_string(p.filesDone) + " of " + std::to_string(p.filesTotal) + " files, " +
                   std::to_string(percent) + "%");
    };
  }
  const make_update::Update u = make_update::BuildUpdate(plan, build);
  if (terminal && !plan.files.empty()) fputc('\n', stderr);

  const std::string archivePath = o.output + "/update.zar";
  std::vector<char> bytes;
  try {
    bytes = u.archive.Serialize();
  } catch (const std::length_error& e) {
    throw make_update::Error(archivePath + ": " + e.what());
  }
  std::string signature;
  if (key) {
    std::filesystem::path name = std::filesystem::absolute(o.output).lexically_normal();
    if (!name.has_filename()) name = name.parent_path();
    signature = signing::Sign(*key, std::string_view(bytes.data(), bytes.size()),
                              "update:" + name.filename().string() + "\tsize:" + std::to_string(bytes.size()));
  }
  if (o.verify) {
    make_update::VerifyProgress progress;
    if (terminal)
      progress = [](const char* phase, size_t done, size_t total) {
        ShowProgress("verifying: " + std::string(phase) +
                     (total ? ", " + std::to_string(done) + " of " + std::to_string(total) + " files" : ""));
      };
    make_update::VerifyWithUpdater(updater, plan, bytes, signature, o.publicKey, progress);
    if (terminal) fputc('\n', stderr);
  }
  fsutil::MakeDirs(o.output);
  fsutil::WriteFile(archivePath, std::string_view(bytes.data(), bytes.size()));
  const std::string signaturePath = archivePath + ".minisig";
  if (key)
    fsutil::WriteFile(signaturePath, signature);
  else if (unlink(signaturePath.c_str()) != 0 && errno != ENOENT)
    throw make_update::Error(signaturePath + ": cannot remove the signature of an earlier archive: " + strerror(errno));

  printf("%s: %s, %s, %s; %s unchanged%s\n", archivePath.c_str(), Plural(u.adds, "add").c_str(),
         Plural(u.patches, "patch").c_str(), Plural(u.removes, "remove").c_str(), Plural(u.unchanged, "file").c_str(),
         o.verify ? "; verified with the updater" : "");
  printf("update.zar: %zu bytes for %llu bytes of changed files; a complete update would be %llu bytes (%.2f%%)\n",
         bytes.size(), (unsigned long long)u.carriedBytes, (unsigned long long)u.completeSize,
         u.completeSize ? 100.0 * double(bytes.size()) / double(u.completeSize) : 100.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const cli::Program program{
      "make-update",
      {"[--from OLD_DIR] --to NEW_DIR --output UPDATE_DIR [-j N] [--memory MIB] [--verify] [-q]\n"
       "                   [--sign KEY [--public-key PUB]]"},
      kDescription,
      {
          {"from", 0, "OLD_DIR",
           "the installed release. Without it the update is\n"
           "complete: \"add\" for every file of NEW_DIR.",
           [&](const std::string& v) { o.from = v; }},
          {"to", 0, "NEW_DIR", "the release the update installs.", [&](const std::string& v) { o.to = v; }},
          {"output", 0, "UPDATE_DIR", "the update folder to write update.zar into.",
           [&](const std::string& v) { o.output = v; }},
          {"jobs", 'j', "N",
           "files diffed at once (default: the number of\n"
           "cores); the largest are started first. The output\n"
           "does not depend on N.",
           [&](const std::string& v) { o.jobs = cli::ParseCount("--jobs", v, 1024); }},
          {"memory", 0, "MIB",
           "estimated memory the files in flight may take\n"
           "together (default: half the machine's memory); one\n"
           "file always runs.",
           [&](const std::string& v) { o.memoryBudget = uint64_t(cli::ParseCount("--memory", v, 1u << 24)) << 20; }},
          {"verify", 0, nullptr,
           "also apply the update with the updater program\n"
           "beside make-update to a scratch copy of OLD_DIR\n"
           "(parent-pid 0, no display, umask 0) and check that\n"
           "every regular file then has NEW_DIR's bytes and\n"
           "permission bits, and that no other file, backup or\n"
           "temporary file is left.",
           [&](const std::string&) { o.verify = true; }},
          {"sign", 0, "KEY",
           "also write UPDATE_DIR/update.zar.minisig, the\n"
           "archive's signature by the secret key file KEY (as\n"
           "made by \"minisign -G -W\"; a key encrypted with a\n"
           "password is refused). Its trusted comment holds the\n"
           "update's name (the last component of UPDATE_DIR) and\n"
           "the archive's size. Without --sign, a signature left\n"
           "from an earlier run is removed. An updater with\n"
           "\"updater.pub\" beside it applies only archives whose\n"
           "signature by that key verifies.",
           [&](const std::string& v) { o.secretKey = v; }},
          {"public-key", 0, "PUB",
           "with --sign and --verify: check the signature\n"
           "against the public key file PUB with the updater's\n"
           "own code, and apply the update with a copy of the\n"
           "updater that has PUB beside it.",
           [&](const std::string& v) { o.publicKey = v; }},
          {"quiet", 'q', nullptr, "show no progress.", [&](const std::string&) { o.quiet = true; }},
      },
      kDetails};
  return cli::Main(program, argc, argv, [&](const std::vector<std::string>& operands) {
    if (!operands.empty()) throw cli::UsageError("unexpected argument '" + cli::Printable(operands[0]) + "'");
    if (o.to.empty()) throw cli::UsageError("--to NEW_DIR is required");
    if (o.output.empty()) throw cli::UsageError("--output UPDATE_DIR is required");
    if (!o.publicKey.empty() && (o.secretKey.empty() || !o.verify))
      throw cli::UsageError("--public-key needs --sign and --verify");
    if (o.jobs == 0) o.jobs = std::max(1u, std::thread::hardware_concurrency());
    if (o.memoryBudget == 0) {
      const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
      o.memoryBudget = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) / 2 : uint64_t(1) << 30;
    }
    return Run(o);
  });
}
