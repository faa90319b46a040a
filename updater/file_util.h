// File utilities and backups beneath the file actions.
//
// A backup of the file at P is "P.zel-backup" beside it: a byte-for-byte copy
// with exactly P's permission bits, made in the Execute phase right before P
// is replaced, patched or removed, and restored or discarded in the Finish
// phase. Names ending in ".zel-backup" or ".zel-part" are the updater's own:
// no update may name one as a target (IsInstallPath).
//
// Backup rules of a run:
//  1. An action finishes (restores or discards) only a backup it made itself in
//     this run. A backup left by an earlier run is never restored over a file
//     on that account, nor deleted when this run did not back the file up.
//  2. A backup that could not be written whole is deleted at once, so it can
//     never be restored over an intact file.
//  3. When several actions change one file, the first backup, which holds the
//     file as it was before the update, is kept: later actions neither
//     overwrite nor finish it. "The same file" is told by the backup file's
//     device and inode, so "x" and "./x" count as one.
//  4. A restore renames the backup over P: the file comes back with its old
//     bytes and mode, and nothing that stands at P by then is written through.
//  5. A backup is written into a new file "P.zel-part" of our own (whatever
//     stood at that name is removed first) and renamed into place once whole:
//     a file under the backup name is always a complete copy. The run's
//     journal (journal.h) lists each backup before and after it is written.
//  6. Only regular files are backed up and replaced: anything else at a target
//     is refused before anything changes (backup_check_target).
//  7. Directories and files this run creates where nothing stood are noted
//     (backup_note_created) before they are made. When a file became a
//     directory and the run is rolled back, what the run created there is
//     removed so that the file can come back; nothing else is removed.
//
// Paths are cut in place for a moment (ensure_parent_dir), so every path given
// to these functions must be writable, as the manifest text and the name
// buffers are; each is unchanged when the call returns.
//
// All functions run on the worker thread only, return 0 or an error code, and
// log only the fixed lines of copy_file and the one of backup_check_target.
#pragma once

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

// Copies the content of |source| to |dest|, creating the parents of |dest|.
// A new |dest| gets the source's permission bits (less the umask); an existing
// one is truncated and keeps its mode; a symbolic link at |dest| is not
// followed and fails the copy. 0, ERR_READ or ERR_WRITE; a partly written
// |dest| stays.
int copy_file(const char* source, const char* dest);

// Judges, before anything changes, what stands at |path|, a file an action
// will back up and replace or remove (rule 6). *exists tells whether anything
// stands there (not following a link); absent is no failure. ERR_READ when it
// cannot be looked at, is not a regular file, or its backup name would not fit
// the file system's limit on a name (logged, naming the file).
int backup_check_target(const char* path, bool* exists);

// Backs |path| up to its backup name. *made is set true when this call made
// the backup (the caller owns it and must finish it), false when the file was
// backed up already in this run by another action (rule 3). 0, or the copy's
// error; ERR_WRITE when the backup name does not fit its buffer.
int backup_create(const char* path, bool* made);

// Renames this run's backup over |path| (rule 4), first clearing a directory
// this run created at |path| (rule 7). 0; ERR_READ when there is no backup of
// this run to restore (logged as a copy that could not open its source);
// ERR_WRITE when it cannot take the file's place (logged likewise).
int backup_restore(const char* path);

// Deletes the backup. 0, or ERR_WRITE (also when there is none).
int backup_discard(const char* path);

// backup_restore when |status| is non-zero, else backup_discard.
int backup_finish(const char* path, int status);

// Notes that this run is about to create |path| where nothing stood (a
// directory when |is_dir|): the journal lists it and a restore may clear it
// (rule 7). Call it before the creation, so that a crash right after it still
// finds it listed. 0, ERR_WRITE or ERR_MEMORY.
int backup_note_created(const char* path, bool is_dir);

// How a journal names a backup: by the size and CRC-32 of its content, which
// survive a remount or a copy of the tree; or, in journals of version 1, by
// its inode number.
struct BackupIdentity {
  uint64_t size;
  uint32_t crc;
  bool by_inode;
  uint64_t ino;
};

// Tells whether the regular file at |path|'s backup name is the backup |id|
// names (a symbolic link there never is) into *ours; if so, it counts as this
// run's own from now on, for backup_restore and backup_discard. A backup name
// where nothing stands is not ours. 0, or ERR_READ when it cannot be read.
int backup_identify(const char* path, const BackupIdentity& id, bool* ours);

// How many backups this run could not finish: restores that failed, and
// backups that could not be deleted after a restore or a discard. They stay,
// and the journal keeps them listed for the next run.
int backup_unfinished();

// Forgets every backup and created name this run noted (between a recovery
// and the run after it, and for tests that run several updates in one
// process).
void backup_reset_run();
