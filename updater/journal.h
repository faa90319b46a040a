// The journal of the backups in flight, which makes a run after a crash safe.
//
// "%s/update.journal" in the update directory exists while a run's Execute and
// Finish phases may have left installed files changed, and after a successful
// run until its outcome is recorded:
//
//   journal_begin    before the first change: "zel-journal 1", the archive's
//                    identity and the number of staged patch files
//   journal_note_*   before a backup is copied ("B path") and once it is complete
//                    under its name ("R dev ino path"): a backup the journal lists
//                    is this run's and whole
//   journal_commit   Execute succeeded ("COMMIT"); Finish only deletes backups now
//   journal_end      after Finish: a failed run's journal is deleted; a
//                    committed one stays until journal_release; either stays
//                    when a backup could not be finished, for a later run
//   journal_release  once the status file holds the outcome: the committed
//                    journal is deleted
//
// A run that finds a journal at its start was preceded by an interrupted one
// (journal_recover). Without COMMIT it restores every listed backup that is
// still the one the journal names (by device and inode), so the installation
// is wholly old again before the update is applied anew. With COMMIT the
// interrupted run had applied the update whole: its leftover backups and
// staged patch files are deleted, and when the archive is still the same one,
// nothing is applied again, and the journal stays until this run's outcome is
// recorded. Backups that no journal lists (left by a run that completed) are
// never restored.
#pragma once

#include <sys/types.h>

// Recovers from an interrupted run, if the update directory holds a journal.
// *applied is set true when that run had applied this same archive whole.
// Logs each restore and discard. 0, or the code of the first failed restore:
// every other listed backup is restored all the same, and the journal stays
// for the next run. A committed run's backup that cannot be deleted, or even
// looked at, is no failure: the journal keeps it listed.
int journal_recover(bool* applied);

// Starts this run's journal; |staged_patches| patch files "%s/%d.patch"
// (numbered from 0) are in the update directory. 0 or ERR_WRITE.
int journal_begin(int staged_patches);
// Records that a backup of |path| is about to be written. 0 or ERR_WRITE;
// nothing is done while no journal is open.
int journal_note_intent(const char* path);
// Records that the backup of |path|, file |dev|/|ino|, is complete.
int journal_note_backup(const char* path, dev_t dev, ino_t ino);
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
