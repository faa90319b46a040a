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

#include "common/fsutil.h"
#include "common/signing.h"
#include "make_update/update_build.h"
#include "make_update/update_plan.h"
#include "make_update/update_verify.h"

namespace {

const char kUsage[] =
    "Usage: make-update [--from OLD_DIR] --to NEW_DIR --output UPDATE_DIR [-j N] [--memory MIB] [--verify]\n"
    "                   [--sign SECRET_KEY_FILE [--public-key PUBLIC_KEY_FILE]]\n"
    "\n"
    "Writes UPDATE_DIR/update.zar, the update that turns the installed tree OLD_DIR\n"
    "into NEW_DIR (UPDATE_DIR is created when missing).\n"
    "\n"
    "  --from OLD_DIR  the installed release. Without it the update is complete:\n"
    "                  \"add\" for every file of NEW_DIR.\n"
    "  --to NEW_DIR    the release the update installs.\n"
    "  --output DIR    the update folder to write update.zar into.\n"
    "  -j, --jobs N    files diffed at once (default: the number of cores); the\n"
    "                  largest are started first. The output does not depend on N.\n"
    "  --memory MIB    estimated memory the files in flight may take together\n"
    "                  (default: half the machine's memory); one file always runs.\n"
    "  --verify        also apply the update with the updater program beside\n"
    "                  make-update to a scratch copy of OLD_DIR (parent-pid 0, no\n"
    "                  display, umask 0) and check that every regular file then has\n"
    "                  NEW_DIR's bytes and permission bits, and that no other file,\n"
    "                  backup or temporary file is left.\n"
    "  --sign KEY      also write UPDATE_DIR/update.zar.minisig, the archive's\n"
    "                  signature by the secret key file KEY (as made by\n"
    "                  \"minisign -G -W\"; a key encrypted with a password is\n"
    "                  refused). Its trusted comment holds the update's name (the\n"
    "                  last component of UPDATE_DIR) and the archive's size.\n"
    "                  Without --sign, a signature left from an earlier run is\n"
    "                  removed. An updater with \"updater.pub\" beside it applies\n"
    "                  only archives whose signature by that key verifies.\n"
    "  --public-key PUB  with --sign and --verify: check the signature against the\n"
    "                  public key file PUB with the updater's own code, and apply\n"
    "                  the update with a copy of the updater that has PUB beside it.\n"
    "  --help          show this text.\n"
    "\n"
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
    "return or a line feed, and paths longer than 1012 bytes; in NEW_DIR, files of\n"
    "2 GiB or more and a file \"update.manifest\" at its root; a directory of\n"
    "OLD_DIR that is a file in NEW_DIR (the updater removes no directories); an\n"
    "archive that would reach 2 GiB. Every refusal is listed, then nothing is\n"
    "written. Empty directories are not carried and get a warning.\n"
    "\n"
    "The updater creates added files with the item's mode subject to its umask.\n"
    "Progress goes to standard error when it is a terminal; a summary (adds,\n"
    "patches, removes, bytes, size against a complete update) to standard output.\n"
    "\n"
    "Exit codes: 0 success, 1 failure (a refusal, an unreadable or unwritable file,\n"
    "a failed proof or verification; the message names the file and the reason;\n"
    "nothing is written), 2 bad command line.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string from, to, output;
  unsigned jobs = 0;
  uint64_t memoryBudget = 0;
  bool verify = false;
  std::string secretKey, publicKey;
};

unsigned ParseCount(const std::string& option, const std::string& text, unsigned max) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end || errno || v == 0 || v > max || text[0] == '-')
    throw UsageError(option + " needs a whole number from 1 to " + std::to_string(max) + ", not '" + text + "'");
  return unsigned(v);
}

Options ParseArgs(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      value = arg.substr(arg.find('=') + 1);
      arg.resize(arg.find('='));
      hasValue = true;
    } else if (arg.rfind("-j", 0) == 0 && arg.size() > 2) {
      value = arg.substr(2);
      arg = "-j";
      hasValue = true;
    }
    auto takeValue = [&]() -> std::string {
      if (hasValue) return value;
      if (i + 1 == argc) throw UsageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--from") {
      o.from = takeValue();
    } else if (arg == "--to") {
      o.to = takeValue();
    } else if (arg == "--output") {
      o.output = takeValue();
    } else if (arg == "-j" || arg == "--jobs") {
      o.jobs = ParseCount(arg, takeValue(), 1024);
    } else if (arg == "--memory") {
      o.memoryBudget = uint64_t(ParseCount(arg, takeValue(), 1u << 24)) << 20;
    } else if (arg == "--verify" && !hasValue) {
      o.verify = true;
    } else if (arg == "--sign") {
      o.secretKey = takeValue();
    } else if (arg == "--public-key") {
      o.publicKey = takeValue();
    } else {
      throw UsageError("unknown argument '" + std::string(argv[i]) + "'");
    }
  }
  if (o.to.empty()) throw UsageError("--to NEW_DIR is required");
  if (o.output.empty()) throw UsageError("--output UPDATE_DIR is required");
  if (!o.publicKey.empty() && (o.secretKey.empty() || !o.verify))
    throw UsageError("--public-key needs --sign and --verify");
  if (o.jobs == 0) o.jobs = std::max(1u, std::thread::hardware_concurrency());
  if (o.memoryBudget == 0) {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    o.memoryBudget = pages > 0 && pageSize > 0 ? uint64_t(pages) * uint64_t(pageSize) / 2 : uint64_t(1) << 30;
  }
  return o;
}

std::string Plural(size_t n, const std::string& word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : word.back() == 'h' ? "es" : "s");
}

int Run(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  const Options o = ParseArgs(argc, argv);
  // Found first, so that a missing updater fails before the long work.
  const std::string updater = o.verify ? make_update::UpdaterBesideThisProgram() : std::string();
  std::optional<signing::SecretKey> key;
  if (!o.secretKey.empty()) key = signing::ReadSecretKey(o.secretKey);

  const make_update::Plan plan = make_update::PlanUpdate(o.from, o.to);
  for (const std::string& w : plan.warnings) fprintf(stderr, "make-update: warning: %s\n", w.c_str());

  make_update::BuildOptions build;
  build.jobs = o.jobs;
  build.memoryBudget = o.memoryBudget;
  const bool terminal = isatty(STDERR_FILENO);
  if (terminal) {
    build.progress = [](const make_update::BuildProgress& p) {
      const unsigned percent = p.bytesTotal ? unsigned(p.bytesDone * 100 / p.bytesTotal) : 100;
      fprintf(stderr, "\rmake-update: %zu of %zu files, %3u%%", p.filesDone, p.filesTotal, percent);
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
  if (o.verify) make_update::VerifyWithUpdater(updater, plan, bytes, signature, o.publicKey);
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
  if (key) printf("%s: signed\n", signaturePath.c_str());
  printf("update.zar: %zu bytes for %llu bytes of changed files; a complete update would be %llu bytes (%.2f%%)\n",
         bytes.size(), (unsigned long long)u.carriedBytes, (unsigned long long)u.completeSize,
         u.completeSize ? 100.0 * double(bytes.size()) / double(u.completeSize) : 100.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const UsageError& e) {
    // The first line of the usage: the whole text would bury the message.
    fprintf(stderr, "make-update: %s\n%.*sRun 'make-update --help' for the details.\n", e.what(),
            int(strchr(kUsage, '\n') - kUsage + 1), kUsage);
    return 2;
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "make-update: out of memory (try a lower -j or --memory)\n");
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "make-update: %s\n", e.what());
    return 1;
  }
}
