// The journal of the backups in flight, which makes a run after a crash safe.
//
// "%s/update.journal" in the update directory exists while a run's Execute and
// Finish phases may have left installed files changed, and after a successful
// run until its outcome is recorded. Each line is appended with one write, so
// a crash cuts at most the last one, and a line cut short is ignored:
//
//   zel-journal 2        header, with the two lines after it written at once
//   archive S T C        the archive's identity (archive_identity)
//   staged K             staged patch files "%s/%d.patch", numbered from 0
//   B path               a backup of path is about to be written (as
//                        path.zel-part, renamed to path.zel-backup when whole)
//   R size crc path      that backup is whole: its size and CRC-32
//   D path, A path       a directory (D) or file (A) is about to be created
//                        where nothing stood
//   COMMIT               Execute succeeded; Finish only deletes backups now
//
// The functions that write it:
//   journal_begin        before the first change: the header lines
//   journal_note_*       B, R, D and A lines (file_util.h writes them)
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
// still the one the journal names (same size and CRC-32), first clearing
// what the interrupted run created where such a file had stood, so the
// installation is wholly old again before the update is applied anew. With
// COMMIT the interrupted run had applied the update whole: its leftover
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
// same). A committed run's backup that cannot be deleted, or even looked at,
// is no failure: the journal keeps it listed.
int journal_recover(bool* applied);

// Starts this run's journal for the archive open as |archive_fd|;
// |staged_patches| patch files "%s/%d.patch" (numbered from 0) are in the
// update directory. 0, ERR_READ (the archive's identity) or ERR_WRITE.
int journal_begin(int archive_fd, int staged_patches);
// Records that a backup of |path| is about to be written. 0 or ERR_WRITE;
// nothing is done while no journal is open (this holds for every note).
int journal_note_intent(const char* path);
// Records that the backup of |path|, |size| bytes of CRC-32 |crc|, is whole.
int journal_note_backup(const char* path, uint64_t size, uint32_t crc);
// Records that |path| (a directory when |is_dir|) is about to be created
// where nothing stood.
int journal_note_created(const char* path, bool is_dir);
// Records that the Execute phase succeeded.
int journal_commit();
// Closes the journal after Finish. With |keep| (a backup could not be
// finished) it stays for the next run; else a committed journal stays until
// journal_release and an uncommitted one is deleted.
void journal_end(bool keep);
// Called once the run's outcome is on disk (|recorded|), or known lost: a
// committed journal that journal_end or journal_recover left is deleted when
// |recorded|, else kept, so that a later run finds this update applied. If
// never called, the journal is deleted when the process exits normally.
void journal_release(bool recorded);
