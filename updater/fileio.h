// System-call wrappers of the update core. A signal that interrupts a call is
// no failure: the call is made again.
//
// Every sync the updater makes goes through the three sync_ functions. A
// build for the sync-cost benchmark only (CMake option UPDATER_NO_SYNC, off by
// default and never shipped) turns them into no-ops that report success.
#pragma once

#include <sys/types.h>

#include <cstddef>

// open(2) with O_CLOEXEC added, retried on EINTR.
int robust_open(const char* path, int flags, mode_t mode);
// read(2), retried on EINTR.
ssize_t robust_read(int fd, void* buf, size_t count);
// Reads exactly |count| bytes at |offset| (pread, so the file position does
// not move). False when a read fails or the file ends first.
bool pread_all(int fd, void* buf, size_t count, off_t offset);
// Writes all |count| bytes, continuing after partial writes. False on an
// error; a write that reports 0 bytes written counts as one (errno ENOSPC).
bool write_all(int fd, const void* buf, size_t count);
// Reads the whole open file |fd|, from its current position, into a new
// NUL-terminated buffer *out (the caller frees it) of *length bytes before
// the NUL (when |length| is given), asking each time for all that is missing
// but at most 2^31 - 1 bytes. 0; ERR_READ when a read fails; ERR_DATA when the
// file ends before its size; ERR_MEMORY.
int read_whole(int fd, char** out, size_t* length = nullptr);

// fdatasync(2): |fd|'s data, and its size, are on disk. False on failure.
bool sync_data(int fd);
// fsync(2) of the directory |path|: its entries (files created, renamed,
// removed in it) are on disk. False on failure.
bool sync_directory(const char* path);
// syncfs(2): everything written to the file system that holds |fd| is on disk.
// False on failure (a writeback error since the descriptor was opened, too).
bool sync_file_system(int fd);
