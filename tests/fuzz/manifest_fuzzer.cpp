// Parses arbitrary bytes as a manifest, building the action list without
// running any action: the tokenizer, the line rules and every action's Parse.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "action.h"
#include "manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The manifest is read into a buffer one byte longer, NUL-terminated.
  char* text = (char*)malloc(size + 1);
  if (!text) return 0;
  if (size) memcpy(text, data, size);
  text[size] = '\0';
  {
    ActionList list;
    ParseManifest(text, &list);
  }
  free(text);
  return 0;
}
