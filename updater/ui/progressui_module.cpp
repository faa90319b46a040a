// Finds the window platform at run time. The toolkit code is a module beside
// the program, so the program itself links no toolkit and applies updates on
// machines that have none installed: there, no window is shown.
#include <dlfcn.h>  // dlopen, dlsym, dlclose
#include <stdio.h>  // snprintf

#include "ui/progressui_platform.h"

ProgressPlatform* OpenPlatformModule(const char* folder) {
  char path[1024];
  int n = snprintf(path, sizeof path, "%s/%s", folder, UPDATER_UI_MODULE_FILE);
  if (n < 0 || size_t(n) >= sizeof path) return nullptr;

  // RTLD_LOCAL keeps the toolkit's symbols out of the program's namespace.
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!module) return nullptr;
  CreatePlatformFn create = reinterpret_cast<CreatePlatformFn>(dlsym(module, UPDATER_UI_MODULE_ENTRY));
  ProgressPlatform* app = create ? create(kProgressPlatformVersion) : nullptr;
  // A platform lives as long as the process: the module is never unloaded
  // once it has made one.
  if (!app) dlclose(module);
  return app;
}
