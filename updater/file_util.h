// File utilities and backups beneath the file actions.
//
// A backup of the file at P is "P.zel-backup" beside it: a byte-for-byte copy
// with P's permission bits, made in the Execute phase right before P is
// replaced, patched or removed, and restored or discarded in the Finish phase.
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
//  4. A restore gives the file the backup's permission bits back.
//  5. A backup is written as "P.zel-part" and renamed into place once whole:
//     a file under the backup name is always a complete copy. The run's
//     journal (journal.h) lists each backup before and after it is written.
//
// Paths are cut in place for a moment (ensure_parent_dir), so every path given
// to these functions must be writable, as the manifest text and the name
// buffers are; each is unchanged when the call returns.
//
// All functions run on the worker thread only, return 0 or an error code, and
// log only the fixed lines of copy_file.
#pragma once

// Tells whether |path| exists (access F_OK, following links) into *exists.
// Only "no such file" and "not a directory" mean absent: any other failure
// (an I/O error, say) is ERR_READ, never taken for absence, which would skip
// a remove or an add-if, or replace a file without a backup. 0 or ERR_READ.
int file_exists(const char* path, bool* exists);

// Creates the missing parent directories of |path| (mode 0755, less the
// umask), outermost first. An existing entry of a name counts as success.
// |path| must be writable: it is cut at a '/' during the call and restored.
// 0, or ERR_WRITE when a directory cannot be made.
int ensure_parent_dir(const char* path);

// Copies the content of |source| to |dest|, creating the parents of |dest|.
// A new |dest| gets the source's permission bits (less the umask); an existing
// one is truncated and keeps its mode; a symbolic link at |dest| is not
// followed and fails the copy. 0, ERR_READ or ERR_WRITE; a partly written
// |dest| stays.
int copy_file(const char* source, const char* dest);

// Backs |path| up to its backup name. *made is set true when this call made
// the backup (the caller owns it and must finish it), false when the file was
// backed up already in this run by another action (rule 3). 0, or the copy's
// error; ERR_WRITE when the backup name does not fit its buffer.
int backup_create(const char* path, bool* made);

// Copies the backup over |path| with the backup's mode, then deletes it.
// 0; the copy's error (the backup stays); or ERR_WRITE.
int backup_restore(const char* path);

// Deletes the backup. 0, or ERR_WRITE (also when there is none).
int backup_discard(const char* path);

// backup_restore when |status| is non-zero, else backup_discard.
int backup_finish(const char* path, int status);

// How many backups this run could not finish: restores that failed, and
// backups that could not be deleted after a restore or a discard. They stay,
// and the journal keeps them listed for the next run.
int backup_unfinished();

// Forgets every backup this run made (for tests that run several updates in
// one process).
void backup_reset_run();
