// The progress channel's three values and three functions. Everything here
// works, and is needed, also when no window is ever shown.
#include "progressui.h"

#include <cstring>

#include "paths.h"

std::atomic<float> sProgressVal{0.0f};
std::atomic<bool> sQuit{false};
const char* sProgramPath = nullptr;

namespace {
char sProgramPathBuf[kPathBufferSize];
}  // namespace

int InitProgressUI(int* argc, char*** argv) {
  // The folder comes from the kernel, never from argv[0]: a bare name found
  // along PATH would make it the current directory, which is the
  // installation, and a module loaded from there runs as the updater.
  sProgramPath = nullptr;
  const char* arg0 = *argc > 0 ? (*argv)[0] : nullptr;
  if (!arg0) return 0;
  const char* slash = strrchr(arg0, '/');
  char folder[kPathBufferSize];
  if (ProgramFolder(folder) && FormatPath(sProgramPathBuf, "%s/%s", folder, slash ? slash + 1 : arg0))
    sProgramPath = sProgramPathBuf;
  return 0;
}

void UpdateProgressUI(float progress) { sProgressVal.store(progress, std::memory_order_relaxed); }

void QuitProgressUI() { sQuit.store(true, std::memory_order_relaxed); }
