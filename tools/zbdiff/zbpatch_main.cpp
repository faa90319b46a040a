// zbpatch OLD PATCH NEW: applies a binary patch with the updater's own applier.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/cli.h"
#include "common/fsutil.h"
#include "common/temp_files.h"
#include "errors.h"
#include "patch/binary_patch.h"

namespace {

const char kDescription[] =
    "Applies PATCH, a binary patch in the updater's format (as zbdiff writes it,\n"
    "uncompressed), to the file OLD and writes the result to NEW, exactly as the\n"
    "updater would: OLD's length and CRC-32 are first checked against the\n"
    "patch's header. NEW gets OLD's permission bits (less the umask).\n";

const char kDetails[] =
    "NEW is written under a temporary name beside it and renamed into place only\n"
    "when the patch applied; on a failure or on SIGINT, SIGTERM or SIGHUP the\n"
    "temporary file is removed (a signal then ends zbpatch as it would have).\n"
    "\n"
    "Exit codes: 0 success, 1 failure (the message names the file and the reason),\n"
    "2 bad command line.\n";

[[noreturn]] void Fail(const std::string& path, const std::string& why) { throw std::runtime_error(path + ": " + why); }

std::string DescribeHeaderError(int rc, int err) {
  if (rc == ERR_READ)
    return err ? std::string("cannot read its header: ") + strerror(err) : "too short for a 32-byte patch header";
  return "not a valid patch: bad magic, block lengths that do not add up to the file's size, "
         "or a control block of partial triples";
}

std::string DescribeApplyError(int rc, int err) {
  switch (rc) {
    case ERR_MEMORY: return "out of memory for the patch body";
    case ERR_READ: return std::string("cannot read the patch body") + (err ? std::string(": ") + strerror(err) : "");
    case ERR_DATA: return "corrupt patch: a triple reaches outside the source, diff or extra block";
    default: return std::string("cannot write") + (err ? std::string(": ") + strerror(err) : "");
  }
}

int Run(const std::string& oldPath, const std::string& patchPath, const std::string& newPath) {
  std::string old = fsutil::ReadFile(oldPath);
  const unsigned mode = fsutil::Stat(oldPath).mode;

  const int patchfd = open(patchPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (patchfd < 0) Fail(patchPath, std::string("cannot open: ") + strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } patchCloser{patchfd};

  ZBSPatchHeader header;
  errno = 0;
  if (int rc = ZBS_ReadHeader(patchfd, &header)) Fail(patchPath, DescribeHeaderError(rc, errno));
  if (old.size() != header.srcLength)
    Fail(oldPath, "is " + std::to_string(old.size()) + " bytes; the patch is for a file of " +
                      std::to_string(header.srcLength) + " bytes");
  const uint32_t crc = crc32((const unsigned char*)old.data(), uint32_t(old.size()));
  if (crc != header.srcCrc32) {
    char buf[96];
    snprintf(buf, sizeof(buf), "CRC-32 is %08x; the patch is for a file with CRC-32 %08x", crc, header.srcCrc32);
    Fail(oldPath, buf);
  }

  temp_files::TempFile out(newPath);
  errno = 0;
  if (const int rc = ZBS_ApplyPatch(&header, patchfd, (unsigned char*)old.data(), out.fd()))
    Fail(rc == ERR_WRITE ? newPath : patchPath, DescribeApplyError(rc, errno));
  out.Commit(mode);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const cli::Program program{"zbpatch", {"OLD PATCH NEW"}, kDescription, {}, kDetails};
  return cli::Main(program, argc, argv, [](const std::vector<std::string>& files) {
    if (files.size() != 3) throw cli::UsageError(files.size() < 3 ? "OLD, PATCH and NEW are needed" : "too many arguments");
    return Run(files[0], files[1], files[2]);
  });
}
