// The manifest and the body of the update.
//
// The manifest is the archive item "update.manifest": lines separated by any
// run of CR and LF; a line whose first byte is '#' is a comment; every other
// line is optional blanks, a keyword, one blank or tab, and the arguments,
// each between double quotes with at least one non-quote byte between two.
//
//   remove   "path"
//   add      "path"                      (the item of that name becomes the file)
//   patch    "patch-item" "path"
//   add-if   "condition-path" "path"
//   patch-if "condition-path" "patch-item" "path"
#pragma once

class ActionList;

// Cuts |text| (writable, NUL-terminated; it must outlive |list|) into lines
// and appends one parsed action per line to |list|. 0, ERR_PARSE or
// ERR_MEMORY; on failure |list| holds the actions parsed so far.
int ParseManifest(char* text, ActionList* list);

// Extracts the manifest to "%s/update.manifest" of gSourcePath, reads it, parses
// every line, and only then runs the actions: Prepare all, Execute all, Finish
// all. Called once, on the worker thread, with gArchiveReader open. 0 or the
// first failure's code.
int DoUpdate();
