#include "mstrtok.h"

#include <cstring>

const char kNL[] = "\r\n";
const char kWhitespace[] = " \t";
const char kQuote[] = "\"";

char* mstrtok(const char* delims, char** cursor) {
  char* p = *cursor;
  if (!p || !*p) return nullptr;
  // strchr would match the terminating NUL too: test it apart.
  while (*p && strchr(delims, *p)) ++p;
  if (!*p) {
    *cursor = p;
    return nullptr;
  }
  char* token = p;
  for (++p; *p; ++p) {
    if (strchr(delims, *p)) {
      *p = '\0';
      *cursor = p + 1;
      return token;
    }
  }
  *cursor = nullptr;
  return token;
}
