// The journal of the backups in flight, which makes a run after a crash, or
// a power cut, safe.
//
// "%s/update.journal" in the update directory exists while a run's Execute and
// Finish phases may have left installed files changed, and after a successful
// run until its outcome is recorded. Lines are appended whole, each group with
// one write, so a crash cuts at most the last one, and a line cut short is
// ignored:
//
//   zel-journal 2        header
//   archive S T C        the archive's identity (archive_identity)
//   staged K             staged patch files "%s/%d.patch", numbered from 0
//   R size crc path      path may be backed up: its backup, once there, is
//                        path.zel-backup holding size bytes of CRC-32 crc
//   D path, A path       a directory (D) or file (A) may be created where
//                        nothing stood (a directory: also where a file
//                        stands that an earlier action removes)
//   COMMIT               Execute succeeded; Finish only deletes backups now
//   (B path              written by older updaters before a backup was
//                        copied into path.zel-part; recovery deletes that)
//
// A run's syncs, so that a power cut at any point leaves a state the next run
// puts right; there are five, however many files it changes (one more for
// each further file system the installation spans):
//   journal_begin        before the first change: every line but COMMIT,
//                        planned in Prepare (file_util.h, rule 5), with one
//                        write and fdatasync; then fsync of the update
//                        directory, for the journal's new name, which the
//                        installation's changes must not outrun when the
//                        update directory is on another file system. Execute
//                        writes nothing here and syncs nothing, unless a
//                        change was not planned.
//   fs_sync              once Execute succeeded: one syncfs of each file
//                        system the run changed puts every new file's bytes
//                        and every changed entry on disk
//   journal_commit       COMMIT, fdatasync; only then are backups deleted
//   (the status file)    fdatasync, before journal_release deletes a
//                        committed journal
// A failed run syncs its restores (fs_sync) before its journal is deleted,
// and so does journal_recover; a run that changes nothing syncs nothing.
// Between syncs, the design relies on directory operations of one file
// system reaching the disk in the order they were made, as the log of a
// journaling file system (ext4, xfs) keeps them: a new file never shows up
// at a name whose backup rename was lost. Btrfs may put an fsynced file's own
// changes on disk ahead of others, but every such sync here follows a syncfs
// of all the installation changes it depends on, or precedes all of them.

// The functions that write it:
//   journal_plan         after Prepare: composes the first lines, and plans
//                        their room (filesystems.h)
//   journal_begin        writes them
//   journal_note_*       R, D and A lines of what was not planned, synced
//   journal_commit       COMMIT
//   journal_end          after Finish: a failed run's journal is deleted; a
//                        committed one stays until journal_release; either
//                        stays when a backup could not be finished, for a
//                        later run
//   journal_release      once the status file holds the outcome: the
//                        committed journal is deleted
//
// A run that finds a journal at its start was preceded by an interrupted one
// (journal_recover). Without COMMIT it restores every listed backup that is
// there and is the one the journal names (same size and CRC-32), first
// clearing what the interrupted run created where such a file had stood, so
// the installation is wholly old again before the update is applied anew.
// With COMMIT the interrupted run had applied the update whole: its leftover
// backups and staged patch files are deleted, and when the archive is still
// the same one, nothing is applied again, and the journal stays until this
// run's outcome is recorded. Backups that no journal lists (left by a run that
// completed) are never restored. A journal is deleted only when every backup
// it lists was restored (or deleted, after COMMIT), is gone, or is proven not
// to be the one listed.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kArchiveIdentitySize = 96;

// The identity of the open archive |fd| into |out|: "archive SIZE
// SECONDS.NANOSECONDS CRC", with the CRC-32 of its header and index bytes as
// they stand (read raw, bounded by the file's size, not parsed), so that
// another archive of the same size and time is told apart. 0 or ERR_READ.
int archive_identity(int fd, char (&out)[kArchiveIdentitySize]);

// Recovers from an interrupted run, if the update directory holds a journal.
// *applied is set true when that run had applied this same archive whole.
// Logs each restore and discard. 0; or, keeping the journal for a later run:
// ERR_READ when the journal, the archive's identity or a listed backup cannot
// be read, ERR_DATA for a journal line this code did not write, or the code
// of the first failed restore (every other listed backup is restored all the
// same), ERR_WRITE when what it put right cannot be synced. A committed run's
// backup that cannot be deleted, or even looked at, is no failure: the
// journal keeps it listed.
int journal_recover(bool* applied);

// Composes this run's first lines for the archive open as |archive_fd|, from
// the plan of Prepare (file_util.h); |staged_patches| patch files
// "%s/%d.patch" (numbered from 0) are in the update directory. Plans the
// journal's room and the status file's. 0, ERR_READ (the archive's
// identity), ERR_WRITE or ERR_MEMORY.
int journal_plan(int archive_fd, int staged_patches);
// Starts this run's journal with the lines journal_plan composed, on disk
// when it returns. 0 or ERR_WRITE (then no journal is left).
int journal_begin();
// Records, on disk when it returns, that the backup of |path|, |size| bytes of
// CRC-32 |crc|, is about to be made. 0 or ERR_WRITE; nothing is done while no
// journal is open (this holds for every note).
int journal_note_backup(const char* path, uint64_t size, uint32_t crc);
// Records, on disk when it returns, that |path| (a directory when |is_dir|)
// is about to be created where nothing stood.
int journal_note_created(const char* path, bool is_dir);
// Records that the Execute phase succeeded, on disk when it returns 0.
// ERR_WRITE otherwise, with COMMIT taken back, or, when even that fails,
// every backup held for the next run (backup_hold).
int journal_commit();
// Closes the journal after Finish. With |keep| (a backup could not be
// finished) it stays for the next run; else a committed journal stays until
// journal_release and an uncommitted one is deleted once the rollback is on
// disk (fs_sync; it stays when that fails).
void journal_end(bool keep);
// Called once the run's outcome is on disk (|recorded|), or known lost: a
// committed journal that journal_end or journal_recover left is deleted when
// |recorded|, else kept, so that a later run finds this update applied. If
// never called, the journal is deleted when the process exits normally.
void journal_release(bool recorded);
// True once this run began a journal or found one: it changed, or may have
// changed, installed files, and its outcome is worth a synced status file.
bool journal_used();
