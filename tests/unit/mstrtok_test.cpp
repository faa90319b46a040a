// The in-place tokenizer and the quoted-argument convention built on it.
#include <string>
#include <vector>

#include "mstrtok.h"
#include "test_support.h"

namespace {

// Cuts |text| with |first| for the first token and |rest| for the others, as
// the manifest cuts a keyword and then its arguments; the tokens and where
// the cursor ended ("null", "nul" at the terminating NUL, or the text left).
TEST(MstrtokTest, Tokens) {
  struct Case {
    std::string text;
    const char *first, *rest;
    std::vector<std::string> tokens;
    std::string cursor;
  };
  const Case cases[] = {
      {"", kNL, kNL, {}, "nul"},
      {"\r\n\n\r", kNL, kNL, {}, "nul"},
      {"one\r\n\r\ntwo", kNL, kNL, {"one", "two"}, "null"},
      {"a b\"c\n", "", "", {"a b\"c\n"}, "null"},  // no delimiters: the whole rest
      // Exactly one delimiter goes with a token: the second blank is an argument.
      {"add  \"x\"", kWhitespace, kQuote, {"add", " ", "x"}, "nul"},
      {"\"a b\" \"c\"", kQuote, kQuote, {"a b", " ", "c"}, "nul"},
      {"\"\"x\"", kQuote, kQuote, {"x"}, "nul"},        // leading quotes skipped: no empty token
      {"\"a\"\"b\"", kQuote, kQuote, {"a", "b"}, "nul"},  // the second argument taken as the separator
      {"\xE9t\xE9\n\xFF", kNL, kNL, {"\xE9t\xE9", "\xFF"}, "null"},  // bytes above 127 are bytes
  };
  for (const Case& c : cases) {
    std::vector<char> buf(c.text.begin(), c.text.end());
    buf.push_back('\0');
    char* cursor = buf.data();
    std::vector<std::string> tokens;
    while (char* t = mstrtok(tokens.empty() ? c.first : c.rest, &cursor)) tokens.push_back(t);
    EXPECT_EQ(tokens, c.tokens) << c.text;
    EXPECT_EQ(std::string(!cursor ? "null" : *cursor ? cursor : "nul"), c.cursor) << c.text;
  }
  char* null = nullptr;
  EXPECT_EQ(mstrtok(kNL, &null), nullptr);
}

}  // namespace
