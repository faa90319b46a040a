// The in-place tokenizer. It cuts a writable, NUL-terminated text by writing a
// NUL over the one delimiter that ends each token, so tokens are pointers into
// the text and live as long as it does. All its state is the caller's cursor.
#pragma once

extern const char kNL[];          // "\r\n": lines of the manifest
extern const char kWhitespace[];  // " \t": the keyword of a line
extern const char kQuote[];       // "\"": quoted arguments

// Skips delimiters at *cursor and returns the next token, NUL-terminated, or
// null when none is left. Exactly one delimiter after the token is consumed.
// The cursor moves past it, becomes null when the token ran to the end of the
// text, and stays at the terminating NUL when only delimiters were left; a
// null cursor, or one at a NUL, returns null and is left as it is.
char* mstrtok(const char* delims, char** cursor);
