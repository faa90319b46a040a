#include "make_update/update_build.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <numeric>
#include <system_error>
#include <thread>

#include "archive/zar_format.h"
#include "common/fsutil.h"
#include "errors.h"
#include "patch/binary_patch.h"
#include "zbdiff/zbdiff.h"

namespace make_update {

namespace {

// What one file of NEW turned out to need.
struct FileResult {
  ActionKind kind = ActionKind::kAdd;
  bool unchanged = false;
  std::vector<char> stored;       // the add's or the patch's item
  uint64_t completeStored = 0;    // bytes of NEW's file compressed, as a complete update stores it
};

// The bytes a file's work holds at its peak: both contents, the compressed
// new file and, when it is diffed, the diff's suffix array (4 bytes per old
// byte), the patch (about the new size) and its compressed form.
uint64_t EstimateCost(const FileState& f) {
  uint64_t cost = 2 * f.size;
  if (f.inOld && f.mode == f.oldMode) cost += 5 * f.oldSize + 2 * f.size;
  return cost + 64 * 1024;
}

// An anonymous in-memory file holding |data|, rewound; -1 on failure.
int MemoryFile(const char* name, std::string_view data) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return -1;
    }
    done += size_t(n);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

// Compares the |expected.size()| bytes of |fd| from its start with |expected|.
bool FileHolds(int fd, std::string_view expected) {
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0 || uint64_t(end) != expected.size()) return false;
  std::vector<char> buf(1 << 16);
  size_t at = 0;
  while (at < expected.size()) {
    const ssize_t n = pread(fd, buf.data(), std::min(buf.size(), expected.size() - at), off_t(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || memcmp(buf.data(), expected.data() + at, size_t(n)) != 0) return false;
    at += size_t(n);
  }
  return true;
}

FileResult BuildFile(const Plan& plan, const FileState& f) {
  FileResult r;
  const std::string neu = fsutil::ReadFile(plan.newDir + "/" + f.path);
  std::vector<char> compressed = zar::Compress(neu);
  r.completeStored = compressed.size();
  // A patched file keeps its own bits, so a change of bits needs an add.
  if (f.inOld && f.mode == f.oldMode && f.oldSize <= kMaxFileSize) {
    const std::string old = fsutil::ReadFile(plan.oldDir + "/" + f.path);
    if (old == neu) {
      r.unchanged = true;
      return r;
    }
    // With either side empty a patch can never be smaller than the add.
    if (!old.empty() && !neu.empty()) {
      std::vector<char> patch = zar::Compress(zbdiff::MakePatch(old, neu));
      if (patch.size() < compressed.size()) {
        ProvePatch(f.path, old, patch, neu);
        r.kind = ActionKind::kPatch;
        r.stored = std::move(patch);
        return r;
      }
    }
  }
  r.stored = std::move(compressed);
  return r;
}

// Runs BuildFile for every file of |plan| on |options.jobs| threads, largest
// work first, admitting a file only while the estimated bytes in flight stay
// within the budget. Results land at their file's index, so the order of
// completion never shows in the output.
std::vector<FileResult> BuildFiles(const Plan& plan, const BuildOptions& options, size_t* peakInFlight /* OUT */) {
  const size_t count = plan.files.size();
  std::vector<FileResult> results(count);
  std::vector<std::exception_ptr> errors(count);
  std::vector<uint64_t> cost(count);
  std::vector<size_t> order(count);
  BuildProgress progress;
  progress.filesTotal = count;
  for (size_t i = 0; i < count; ++i) {
    cost[i] = EstimateCost(plan.files[i]);
    const FileState& f = plan.files[i];
    progress.bytesTotal += f.size + (f.inOld ? f.oldSize : 0);
  }
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return cost[a] > cost[b]; });

  std::mutex mutex;
  std::condition_variable admitted;
  size_t next = 0;
  uint64_t inFlight = 0;
  size_t filesInFlight = 0;
  *peakInFlight = 0;
  bool failed = false;

  auto worker = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      admitted.wait(lock, [&] {
        return failed || next == count || inFlight == 0 || inFlight + cost[order[next]] <= options.memoryBudget;
      });
      if (failed || next == count) return;
      const size_t i = order[next++];
      inFlight += cost[i];
      *peakInFlight = std::max(*peakInFlight, ++filesInFlight);
      lock.unlock();
      const FileState& f = plan.files[i];
      try {
        try {
          results[i] = BuildFile(plan, f);
        } catch (const std::bad_alloc&) {
          throw Error(plan.newDir + "/" + f.path + ": out of memory while diffing it (try a lower -j or --memory)");
        }
      } catch (...) {
        errors[i] = std::current_exception();
      }
      lock.lock();
      inFlight -= cost[i];
      filesInFlight--;
      if (errors[i]) failed = true;
      progress.filesDone++;
      progress.bytesDone += f.size + (f.inOld ? f.oldSize : 0);
      if (!failed && options.progress) options.progress(progress);
      admitted.notify_all();
    }
  };

  const unsigned jobs = std::max(1u, std::min<unsigned>(options.jobs, unsigned(std::max<size_t>(count, 1))));
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < jobs; ++t) {
    // Fewer threads than asked only costs time: this thread works too.
    try {
      threads.emplace_back(worker);
    } catch (const std::system_error&) {
      break;
    }
  }
  worker();
  for (std::thread& t : threads) t.join();
  // Report the first failing file in path order, whichever thread met it first.
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
  return results;
}

// Archive bytes taken by one item: its stored bytes and its index entry.
uint64_t ItemBytes(const std::string& name, uint64_t stored) { return stored + kZarEntryFixedSize + name.size() + 1; }

}  // namespace

std::string PatchItemName(const std::string& path) { return "./" + path + ".patch"; }

std::string FormatManifest(const std::vector<Action>& actions) {
  std::string text = "# update built by make-update\n";
  for (const Action& a : actions) {
    switch (a.kind) {
      case ActionKind::kRemove: text += "remove \"" + a.path + "\"\n"; break;
      case ActionKind::kAdd: text += "add \"" + a.path + "\"\n"; break;
      case ActionKind::kPatch: text += "patch \"" + a.item + "\" \"" + a.path + "\"\n"; break;
    }
  }
  return text;
}

void ProvePatch(const std::string& path, std::string_view old, const std::vector<char>& stored, std::string_view neu) {
  auto fault = [&](const std::string& why) {
    return Error(path + ": the generated patch is wrong (" + why + "); this is a fault of the patch generator, "
                 "and no update was written");
  };
  std::vector<char> patch;
  try {
    patch = zar::Decompress(std::string_view(stored.data(), stored.size()));
  } catch (const std::runtime_error& e) {
    throw fault(e.what());
  }
  const int patchFd = MemoryFile("patch", std::string_view(patch.data(), patch.size()));
  const FdCloser patchCloser{patchFd};
  const int destFd = memfd_create("patched", MFD_CLOEXEC);
  const FdCloser destCloser{destFd};
  if (patchFd < 0 || destFd < 0) throw Error(path + ": cannot make an in-memory file to prove its patch: " + strerror(errno));

  ZBSPatchHeader header;
  if (ZBS_ReadHeader(patchFd, &header) != 0) throw fault("its header is not valid");
  if (header.srcLength != old.size()) throw fault("it expects an old file of " + std::to_string(header.srcLength) + " bytes");
  if (header.srcCrc32 != crc32((const unsigned char*)old.data(), uint32_t(old.size())))
    throw fault("it expects an old file of another CRC-32");
  // The applier takes a mutable pointer but never writes through it.
  const int rc = ZBS_ApplyPatch(&header, patchFd, (unsigned char*)const_cast<char*>(old.data()), destFd);
  if (rc == ERR_MEMORY) throw std::bad_alloc();
  if (rc != 0) throw fault("the applier failed with code " + std::to_string(rc));
  if (!FileHolds(destFd, neu)) throw fault("applying it does not give the new file byte for byte");
}

Update BuildUpdate(const Plan& plan, const BuildOptions& options) {
  Update u;
  std::vector<FileResult> results = BuildFiles(plan, options, &u.peakFilesInFlight);
  for (const std::string& path : plan.removes) {
    u.actions.push_back(Action{ActionKind::kRemove, path, {}, 0});
    u.removes++;
  }
  std::vector<zar::Item> items;       // in manifest order
  std::vector<Action> completeAdds;   // the manifest a complete update would have
  uint64_t completeItems = 0;
  for (size_t i = 0; i < plan.files.size(); ++i) {
    const FileState& f = plan.files[i];
    FileResult& r = results[i];
    completeAdds.push_back(Action{ActionKind::kAdd, f.path, f.path, f.mode});
    completeItems += ItemBytes(f.path, r.completeStored);
    if (r.unchanged) {
      u.unchanged++;
      continue;
    }
    u.carriedBytes += f.size;
    // A patch item's mode is only that of the updater's temporary patch file.
    const Action a = r.kind == ActionKind::kPatch ? Action{ActionKind::kPatch, f.path, PatchItemName(f.path), 0644}
                                                  : Action{ActionKind::kAdd, f.path, f.path, f.mode};
    (a.kind == ActionKind::kPatch ? u.patches : u.adds)++;
    items.push_back(zar::Item{a.item, a.mode, std::move(r.stored)});
    u.actions.push_back(a);
  }

  u.manifest = FormatManifest(u.actions);
  u.archive.AddData("update.manifest", 0644, u.manifest);
  for (zar::Item& item : items) u.archive.AddStored(std::move(item));

  u.completeSize = kZarHeaderSize + 4 + completeItems +
                   ItemBytes("update.manifest", zar::Compress(FormatManifest(completeAdds)).size());
  return u;
}

}  // namespace make_update
