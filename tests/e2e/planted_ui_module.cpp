// Planted by the end-to-end tests as "updater_ui_gtk.so" where the updater must never load a module from: being loaded
// leaves a marker in the current directory, before anything of it is called.
#include <fcntl.h>
#include <unistd.h>

__attribute__((constructor)) static void LeaveMarker() {
  int fd = open("planted-module-was-loaded", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}
