#include "ui/strings_file.h"

#include <stdio.h>   // fopen, fgets, fclose
#include <string.h>  // strlen, strchr, memmove

#include "errors.h"

namespace {

// A line's last byte is dropped whatever it is (normally its newline, but a
// last line without one loses a character), then everything up to and
// including the first "=" goes.
int ExtractValue(char* text) {
  size_t len = strlen(text);
  if (len > 0) text[len - 1] = '\0';
  char* eq = strchr(text, '=');
  if (!eq) return ERR_PARSE;
  // The value moves to the front of its own array: the ranges overlap.
  memmove(text, eq + 1, strlen(eq + 1) + 1);
  return 0;
}

}  // namespace

int ReadStrings(const char* path, StringTable* table) {
  FILE* fp = fopen(path, "r");
  if (!fp) return ERR_READ;

  // fgets stops after a newline or after sizeof - 1 bytes, so a long line
  // takes several reads and shifts the lines after it; the reads, not the
  // lines, are counted. Reads 1 and 2 land in |title| and are overwritten.
  for (int i = 0; i < 3; ++i) {
    if (!fgets(table->title, sizeof table->title, fp)) {
      fclose(fp);
      return ERR_READ;
    }
  }
  if (!fgets(table->info, sizeof table->info, fp)) {
    fclose(fp);
    return ERR_READ;
  }

  int rv = ExtractValue(table->title);
  if (rv == 0) rv = ExtractValue(table->info);
  fclose(fp);
  return rv;
}
