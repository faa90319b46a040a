// System-call wrappers of the update core. A signal that interrupts a call is
// no failure: the call is made again.
#pragma once

#include <sys/types.h>

#include <cstddef>

// open(2) with O_CLOEXEC added, retried on EINTR.
int robust_open(const char* path, int flags, mode_t mode);
// read(2), retried on EINTR.
ssize_t robust_read(int fd, void* buf, size_t count);
// Writes all |count| bytes, continuing after partial writes. False on an
// error; a write that reports 0 bytes written counts as one (errno ENOSPC).
bool write_all(int fd, const void* buf, size_t count);
