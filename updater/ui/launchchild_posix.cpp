#include "launchchild.h"

#include <spawn.h>

extern char** environ;

void LaunchChild(int argc, char** argv) {
  (void)argc;  // argv is null-terminated: it is main's own vector from the callback on
  pid_t pid;
  posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ);
}
