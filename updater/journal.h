// The journal of the backups in flight, which makes a run after a crash safe.
//
// "%s/update.journal" in the update directory exists exactly while a run's
// Execute and Finish phases may have left installed files changed:
//
//   journal_begin    before the first change: "zel-journal 1", the archive's identity
//   journal_note_*   before a backup is copied ("B path") and once it is complete
//                    under its name ("R dev ino path"): a backup the journal lists
//                    is this run's and whole
//   journal_commit   Execute succeeded ("COMMIT"); Finish only deletes backups now
//   journal_end      after Finish: the journal is deleted, unless a restore
//                    failed and a later run must finish it
//
// A run that finds a journal at its start was preceded by an interrupted one
// (journal_recover). Without COMMIT it restores every listed backup that is
// still the one the journal names (by device and inode), so the installation
// is wholly old again before the update is applied anew. With COMMIT the
// interrupted run had applied the update whole: its leftover backups are
// deleted, and when the archive is still the same one, nothing is applied
// again. Backups that no journal lists (left by a run that completed) are
// never restored.
#pragma once

#include <sys/types.h>

// Recovers from an interrupted run, if the update directory holds a journal.
// *applied is set true when that run had applied this same archive whole.
// Logs each restore and discard. 0, or the code of a failed restore (the
// journal then stays, for the next run).
int journal_recover(bool* applied);

// Starts this run's journal. 0 or ERR_WRITE.
int journal_begin();
// Records that a backup of |path| is about to be written. 0 or ERR_WRITE;
// nothing is done while no journal is open.
int journal_note_intent(const char* path);
// Records that the backup of |path|, file |dev|/|ino|, is complete.
int journal_note_backup(const char* path, dev_t dev, ino_t ino);
// Records that the Execute phase succeeded.
int journal_commit();
// Closes the journal; deletes it unless |keep|.
void journal_end(bool keep);
