// The in-place tokenizer and the quoted-argument convention built on it.
#include <string>
#include <vector>

#include "mstrtok.h"
#include "test_support.h"

namespace {

// Every token of |text| with |delims|, and where the cursor ended.
struct Cut {
  std::vector<std::string> tokens;
  bool cursor_null = false;
  bool cursor_at_nul = false;
};

Cut CutAll(std::string text, const char* delims) {
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  char* cursor = buf.data();
  Cut cut;
  while (char* t = mstrtok(delims, &cursor)) cut.tokens.push_back(t);
  cut.cursor_null = cursor == nullptr;
  cut.cursor_at_nul = cursor && *cursor == '\0';
  return cut;
}

TEST(MstrtokTest, OnlyDelimitersLeavesCursorAtTheNul) {
  Cut cut = CutAll("\r\n\n\r", kNL);
  EXPECT_TRUE(cut.tokens.empty());
  EXPECT_TRUE(cut.cursor_at_nul);
}

TEST(MstrtokTest, NullCursorAndEmptyTextGiveNothing) {
  char* cursor = nullptr;
  EXPECT_EQ(mstrtok(kNL, &cursor), nullptr);
  EXPECT_EQ(cursor, nullptr);
  char empty[] = "";
  cursor = empty;
  EXPECT_EQ(mstrtok(kNL, &cursor), nullptr);
  EXPECT_EQ(cursor, empty);
}

TEST(MstrtokTest, LastTokenNullsTheCursor) {
  Cut cut = CutAll("one\r\n\r\ntwo", kNL);
  EXPECT_EQ(cut.tokens, (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(cut.cursor_null);
}

TEST(MstrtokTest, EmptyDelimiterSetTakesTheWholeRest) {
  Cut cut = CutAll("a b\"c\n", "");
  EXPECT_EQ(cut.tokens, (std::vector<std::string>{"a b\"c\n"}));
}

TEST(MstrtokTest, ConsumesExactlyOneDelimiterAfterAToken) {
  char line[] = "add  \"x\"";
  char* cursor = line;
  EXPECT_STREQ(mstrtok(kWhitespace, &cursor), "add");
  // The second space now belongs to the rest of the line.
  EXPECT_STREQ(cursor, " \"x\"");
  EXPECT_STREQ(mstrtok(kQuote, &cursor), " ");
}

TEST(MstrtokTest, QuotedArguments) {
  EXPECT_EQ(CutAll("\"a b\" \"c\"", kQuote).tokens, (std::vector<std::string>{"a b", " ", "c"}));
  // Two quotes skipped at the start: an empty argument yields no token.
  EXPECT_EQ(CutAll("\"\"x\"", kQuote).tokens, (std::vector<std::string>{"x"}));
  // Nothing between two arguments: the second is taken as the separator.
  EXPECT_EQ(CutAll("\"a\"\"b\"", kQuote).tokens, (std::vector<std::string>{"a", "b"}));
}

TEST(MstrtokTest, BytesAreCompareAsBytes) {
  EXPECT_EQ(CutAll("\xE9t\xE9\n\xFF", kNL).tokens, (std::vector<std::string>{"\xE9t\xE9", "\xFF"}));
}

}  // namespace
