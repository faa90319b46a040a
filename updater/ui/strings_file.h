// The strings file: the progress window's title and info text, kept beside
// the program as its own path with ".ini" appended.
//
// The file is read by position, not by key: lines 1 and 2 are skipped, line 3
// holds the title and line 4 the info text, each as "key=text" ending in a
// newline. Only the first "=" separates key and text; the key itself is not
// examined. Nothing after line 4 is read.
#pragma once

struct StringTable {
  char title[200];  // NUL-terminated, at most 197 bytes of text after a read
  char info[200];
};

// Fills |table| from the strings file at |path|. 0 on success; ERR_READ when
// the file cannot be opened or ends (or fails) before its fourth line; ERR_PARSE
// when line 3 or 4 has no "=". On failure |table| may hold partial text, which
// the caller must not use.
int ReadStrings(const char* path, StringTable* table);
