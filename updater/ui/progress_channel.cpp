// The progress channel's three values and three functions. Everything here
// works, and is needed, also when no window is ever shown.
#include "progressui.h"

std::atomic<float> sProgressVal{0.0f};
std::atomic<bool> sQuit{false};
const char* sProgramPath = nullptr;

int InitProgressUI(int* argc, char*** argv) {
  (void)argc;
  sProgramPath = (*argv)[0];
  return 0;
}

void UpdateProgressUI(float progress) { sProgressVal.store(progress, std::memory_order_relaxed); }

void QuitProgressUI() { sQuit.store(true, std::memory_order_relaxed); }
