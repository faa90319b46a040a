// zbpatch OLD PATCH NEW: applies a binary patch with the updater's own applier.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/fsutil.h"
#include "zbdiff/zb_cli.h"
#include "errors.h"
#include "patch/binary_patch.h"

namespace {

const char kUsage[] =
    "Usage: zbpatch OLD PATCH NEW\n"
    "\n"
    "Applies PATCH, a binary patch in the updater's format (as zbdiff writes it,\n"
    "uncompressed), to the file OLD and writes the result to NEW, exactly as the\n"
    "updater would: OLD's length and CRC-32 are first checked against the\n"
    "patch's header. NEW is written under a temporary name and renamed into place\n"
    "only when the patch applied; it gets OLD's permission bits.\n"
    "\n"
    "  --help   show this text.\n"
    "\n"
    "Exit codes: 0 success, 1 failure (the message names the file and the reason),\n"
    "2 bad command line.\n";

[[noreturn]] void Fail(const std::string& path, const std::string& why) { throw std::runtime_error(path + ": " + why); }

const char* DescribeHeaderError(int rc) {
  return rc == ERR_READ ? "cannot read a 32-byte patch header (too short or unreadable)"
                        : "not a valid patch: bad magic, block lengths that do not add up to the file's size, "
                          "or a control block of partial triples";
}

const char* DescribeApplyError(int rc) {
  switch (rc) {
    case ERR_MEMORY: return "out of memory for the patch body";
    case ERR_READ: return "cannot read the patch body";
    case ERR_DATA: return "corrupt patch: a triple reaches outside the source, diff or extra block";
    default: return "cannot write the result";
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
  if (int rc = ZBS_ReadHeader(patchfd, &header)) Fail(patchPath, DescribeHeaderError(rc));
  if (old.size() != header.srcLength)
    Fail(oldPath, "is " + std::to_string(old.size()) + " bytes; the patch is for a file of " +
                      std::to_string(header.srcLength) + " bytes");
  const uint32_t crc = crc32((const unsigned char*)old.data(), uint32_t(old.size()));
  if (crc != header.srcCrc32) {
    char buf[96];
    snprintf(buf, sizeof(buf), "CRC-32 is %08x; the patch is for a file with CRC-32 %08x", crc, header.srcCrc32);
    Fail(oldPath, buf);
  }

  const std::string tmp = newPath + ".zbpatch-tmp";
  const int destfd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (destfd < 0) Fail(tmp, std::string("cannot create: ") + strerror(errno));
  int rc = ZBS_ApplyPatch(&header, patchfd, (unsigned char*)old.data(), destfd);
  const int err = errno;
  if (close(destfd) != 0 && rc == 0) rc = ERR_WRITE;
  if (rc == 0 && rename(tmp.c_str(), newPath.c_str()) != 0) {
    const int renameErr = errno;
    unlink(tmp.c_str());
    Fail(newPath, std::string("cannot rename into place: ") + strerror(renameErr));
  }
  if (rc != 0) {
    unlink(tmp.c_str());
    std::string why = DescribeApplyError(rc);
    if (rc == ERR_WRITE || rc == ERR_READ) why += std::string(": ") + strerror(err);
    Fail(rc == ERR_WRITE ? newPath : patchPath, why);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return zbcli::Main("zbpatch", kUsage, argc, argv, Run); }
