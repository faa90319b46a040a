// The file systems a run writes to, and the two things done once for each of
// them rather than once for each file: the space check before the first
// installed file changes, and the sync that puts the run's changes on disk.
//
// A file system is known by the nearest existing directory above a path the
// run writes (a directory the run is about to make lands where its parent
// is), held open from the first path noted on it until fs_reset. Paths are
// relative to the installation, or name the update directory.
//
// Space: the bytes the update will write, each file rounded up to whole blocks
// of its file system, and one block for each directory it makes, against the
// space free for unprivileged users (statvfs f_bavail). Backups take none:
// they are the replaced files themselves, renamed, and keep their blocks until
// the end. A patched file's size is its patch header's; an added file's is
// counted by decoding its item, which costs as much again as extracting it,
// so it is done only where the free space is less than what else is planned
// plus 100 times the items' stored size. Left out: files that compress better
// than 100 to 1 (long runs of one byte) on a disk with less free space than
// that; the blocks a file system spends on its own bookkeeping (extent and
// indirect blocks of large files, a directory outgrowing its blocks; one
// block is counted for each new directory, which a file system in memory does
// not take); inodes; the log's own growth; whatever else on the machine
// writes meanwhile. The staged patch files and the manifest are already
// written when the check is made. Whatever it misses, a disk that fills
// during the run fails it, rolled back.
#pragma once

#include <cstdint>

// Notes the file system that holds |path|, for fs_sync. 0, ERR_READ (no
// directory above it can be looked at), ERR_WRITE (it cannot be opened),
// ERR_MEMORY.
int fs_note(const char* path);

// Plans a new file of |bytes| bytes at |path| (notes its file system too).
int fs_plan_bytes(const char* path, uint64_t bytes);
// Plans a new file at |path| holding the archive item |item| decoded; the
// item's size is counted by fs_check_space. |item| must outlive that call.
int fs_plan_item(const char* path, const char* item);
// Plans a new directory at |path|.
int fs_plan_directory(const char* path);

// Before the first installed file changes: 0 when what is planned fits the
// free space of every file system; else ERR_WRITE, logging one line with the
// bytes needed and free. An item that cannot be found or decoded counts for
// what it decoded to: its own failure comes when it is extracted. ERR_READ
// when a file system's free space cannot be asked.
int fs_check_space();

// syncfs of every noted file system: all the run wrote, made, renamed or
// removed there is on disk. 0, or ERR_WRITE when a sync fails.
int fs_sync();

// Closes the directories and forgets what was noted and planned.
void fs_reset();
