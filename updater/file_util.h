// File utilities and backups beneath the file actions.
//
// A backup of the file at P is "P.zel-backup" beside it: the file itself,
// renamed there in the Execute phase right before P is replaced, patched or
// removed, and renamed back or deleted in the Finish phase. Names ending in
// ".zel-backup" or ".zel-part" (which older updaters copied backups into) are
// the updater's own: no update may name one as a target (IsInstallPath).
//
// Backup rules of a run:
//  1. An action finishes (restores or discards) only a backup it made itself in
//     this run. A backup left by an earlier run is never restored over a file
//     on that account, nor deleted when this run did not back the file up.
//  2. A backup is the file itself, renamed to the backup name: it is always
//     whole, its bytes need no copy and no sync (they are the installed
//     file's own), and it takes no space. The action then creates a fresh
//     file at P, or leaves P absent.
//  3. When several actions change one file, the first backup, which holds the
//     file as it was before the update, is kept: later actions neither
//     overwrite nor finish it. "The same file" is told by the backup file's
//     device and inode, so "x" and "./x" count as one.
//  4. A restore renames the backup over P: the file comes back with its old
//     bytes and mode, and nothing that stands at P by then is written through.
//  5. Prepare plans every backup (with the identity of the file it will hold:
//     its size and CRC-32) and every name the run will create where nothing
//     stands (backup_plan_*). The journal lists them all before the first
//     change, so that Execute writes and syncs nothing of its own; a backup
//     or a creation that was not planned (the tree changed since Prepare) is
//     written to the journal and synced before it is made.
//  6. Only regular files are backed up and replaced: anything else at a target
//     is refused before anything changes (backup_check_target).
//  7. When a file became a directory and the run is rolled back, what the run
//     created there is removed so that the file can come back; nothing else
//     is removed.
//
// Paths are cut in place for a moment (ensure_parent_dir), so every path given
// to these functions must be writable, as the manifest text and the name
// buffers are; each is unchanged when the call returns.
//
// All functions run on the worker thread only, return 0 or an error code, and
// log only the fixed "copy_file:" lines of a backup that cannot be read, made
// or restored, and the one of backup_check_target.
#pragma once

#include <sys/stat.h>

#include <cstdint>

// Tells whether |path| exists (access F_OK, following links) into *exists.
// Only "no such file" and "not a directory" mean absent: any other failure
// (an I/O error, say) is ERR_READ, never taken for absence, which would skip
// a remove or an add-if, or replace a file without a backup. 0 or ERR_READ.
int file_exists(const char* path, bool* exists);

// Creates the missing parent directories of |path| (mode 0755, less the
// umask), outermost first, noting each one it makes (rule 7). An existing
// entry of a name counts as success. |path| must be writable: it is cut at a
// '/' during the call and restored. 0, or ERR_WRITE when a directory cannot be
// made (or noted), ERR_MEMORY.
int ensure_parent_dir(const char* path);

// Judges, before anything changes, what stands at |path|, a file an action
// will back up and replace or remove (rule 6). *exists tells whether anything
// stands there (not following a link); absent is no failure. ERR_READ when it
// cannot be looked at, is not a regular file, or its backup name would not fit
// the file system's limit on a name (logged, naming the file).
int backup_check_target(const char* path, bool* exists);

// How a journal names a backup: by the size and CRC-32 of its content, which
// survive a remount or a copy of the tree; or, in journals of version 1, by
// its inode number.
struct BackupIdentity {
  uint64_t size;
  uint32_t crc;
  bool by_inode;
  uint64_t ino;
};

// Plans, in Prepare, the backup of the regular file at |path| (rule 5): its
// identity is |known| (with |st|, the file's fstat) or, when null, read from
// the file now. A file that cannot be read is planned without one: its
// backup fails in Execute, as a copy that cannot open its source. Planned a
// second time (an earlier action may take it away), its re-creation is
// planned too. 0; ERR_READ or ERR_WRITE when its file system cannot be
// looked at (filesystems.h); ERR_MEMORY.
int backup_plan_replace(const char* path, const BackupIdentity* known = nullptr, const struct stat* st = nullptr);
// Plans, in Prepare, the creation of the file |path| where nothing stands, and
// of every directory above it that is not one now. 0, ERR_READ or ERR_MEMORY.
int backup_plan_create(const char* path);

// One planned journal line (rule 5), in the order planned: kind 'R' (a
// backup, of |size| bytes and CRC-32 |crc|), 'D' or 'A' (a directory or file
// created where nothing stood). False past the last one.
struct PlanLine {
  char kind;
  const char* path;
  uint64_t size;
  uint32_t crc;
};
bool backup_plan_line(int index, PlanLine* out);

// Backs |path| up by renaming it to its backup name. *made is set true when
// this call made the backup (the file is gone from |path|; the caller owns
// the backup and must finish it); false, with the file still at |path|, when
// the file was backed up already in this run by another action (rule 3) or
// was created by this run where nothing stood (the run's rollback keeps such
// files, so it needs none). 0; ERR_READ when the file cannot be opened or
// read; ERR_WRITE when the backup name does not fit its buffer or the rename
// fails. A backup that cannot be made changes nothing.
int backup_create(const char* path, bool* made);

// Renames this run's backup over |path| (rule 4), first clearing a directory
// this run created at |path| (rule 7). 0; ERR_READ when there is no backup of
// this run to restore (logged as a copy that could not open its source);
// ERR_WRITE when it cannot take the file's place (logged likewise).
int backup_restore(const char* path);

// Deletes the backup. 0, or ERR_WRITE (also when there is none).
int backup_discard(const char* path);

// backup_restore when |status| is non-zero, else backup_discard; once
// backup_hold was called, neither: the backup stays, counted unfinished.
int backup_finish(const char* path, int status);

// Leaves every backup as it is from now on, for the next run's recovery to
// finish: whether this run committed is not known.
void backup_hold();

// Notes that this run is about to create |path| where nothing stood (a
// directory when |is_dir|), so that a restore may clear it (rule 7). A name
// that was not planned goes to the journal first, synced. Call it before the
// creation. 0, ERR_WRITE or ERR_MEMORY.
int backup_note_created(const char* path, bool is_dir);

// Tells whether the regular file at |path|'s backup name is the backup |id|
// names (a symbolic link there never is) into *ours; if so, it counts as this
// run's own from now on, for backup_restore and backup_discard. A backup name
// where nothing stands is not ours. 0, or ERR_READ when it cannot be read.
int backup_identify(const char* path, const BackupIdentity& id, bool* ours);

// How many backups this run could not finish: restores that failed, and
// backups that could not be deleted after a restore or a discard. They stay,
// and the journal keeps them listed for the next run.
int backup_unfinished();

// Forgets every backup, plan and file system this run noted (between a
// recovery and the run after it, and for tests that run several updates in
// one process).
void backup_reset_run();
