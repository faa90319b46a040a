// ReadStrings: the strings file is read by line reads, not by key; the third
// read is the title, the fourth the info text, each after its first "=" with
// its last byte dropped. A read takes at most 199 bytes.
#include "ui/strings_file.h"

#include <gtest/gtest.h>

#include <string>

#include "errors.h"
#include "test_support.h"

namespace {

class StringsFileTest : public ::testing::Test {
 protected:
  int Read(const std::string& content) {
    testing_support::WriteFile(mPath, content);
    mTable = StringTable{};
    return ReadStrings(mPath.c_str(), &mTable);
  }

  testing_support::ScratchDir mDir;
  std::string mPath = mDir / "updater.ini";
  StringTable mTable;
  // 199 bytes: a title line that fills one whole read.
  const std::string mFullTitleRead = "title=" + std::string(193, 'T');
};

TEST_F(StringsFileTest, TextsComeFromTheThirdAndFourthReads) {
  struct Case { const char* label; std::string content, title, info; };
  const Case cases[] = {
      {"plain", "[strings]\n# comment\ntitle=Updating Things\ninfo=Please wait.\n", "Updating Things", "Please wait."},
      {"keys are not examined, only position", "a\nb\ninfo=first\n=second\n", "first", "second"},
      {"equals signs after the first are kept", "\n\ntitle=a=b==c\ninfo==x=\n", "a=b==c", "=x="},
      {"equals then newline is empty text", "\n\ntitle=\ninfo=\n", "", ""},
      {"last line without newline loses its last byte", "1\n2\ntitle=T\ninfo=abc", "T", "ab"},
      {"carriage return stays", "1\r\n2\r\ntitle=T\r\ninfo=I\r\n", "T\r", "I\r"},
      {"blanks kept untrimmed", "\n\n title = spaced \ninfo=\ttab\t\n", " spaced ", "\ttab\t"},
      {"first two lines may hold anything", "no equals here\n=====\ntitle=x2\ninfo=y2\n", "x2", "y2"},
      {"lines after the fourth never read", "1\n2\ntitle=T\ninfo=I\nno equals\n\xff\xfe garbage\n", "T", "I"},
      // 249 bytes and a newline take two reads: the file's second line is read 3.
      {"long first line shifts the lines",
       std::string(249, 'x') + "\ntitle=from line two\ninfo=from line three\ninfo=from line four\n", "from line two",
       "from line three"},
      // Read 3 is the first 199 bytes (last one dropped), read 4 the rest of that line.
      {"long title line's rest becomes info", "1\n2\n" + mFullTitleRead + "k=tail\ninfo=never read\n",
       std::string(192, 'T'), "tail"},
      {"text of full read length keeps all but its last byte",
       "1\n2\nt=" + std::string(197, 'a') + "i=" + std::string(196, 'b') + "\n", std::string(196, 'a'),
       std::string(196, 'b')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(0, Read(c.content));
    EXPECT_EQ(c.title, mTable.title);
    EXPECT_EQ(c.info, mTable.info);
  }
}

TEST_F(StringsFileTest, ShortOrMalformedFilesAreRefused) {
  struct Case { const char* label; std::string content; int rc; };
  const Case cases[] = {
      {"empty file", "", ERR_READ},
      {"three lines", "1\n2\ntitle=T\n", ERR_READ},
      {"file ending inside the third read", "1\n2\ntitle=T", ERR_READ},
      {"title line without equals", "1\n2\ntitle T\ninfo=I\n", ERR_PARSE},
      {"newline-only title line", "1\n2\n\ninfo=I\n", ERR_PARSE},
      {"newline-only info line", "1\n2\ntitle=T\n\n", ERR_PARSE},
      {"equals only as the dropped last byte", "1\n2\ntitle=T\ninfo=", ERR_PARSE},
      {"rest of a long title line without equals", "1\n2\n" + mFullTitleRead + "tail\ninfo=never read\n", ERR_PARSE},
  };
  for (const Case& c : cases) EXPECT_EQ(c.rc, Read(c.content)) << c.label;
}

TEST_F(StringsFileTest, InfoLineWithoutEqualsFailsAfterTheTitleWasConverted) {
  EXPECT_EQ(ERR_PARSE, Read("1\n2\ntitle=T\ninfo I\n"));
  EXPECT_STREQ("T", mTable.title);
}

TEST_F(StringsFileTest, MissingFileOrDirectoryIsReadError) {
  EXPECT_EQ(ERR_READ, ReadStrings((mDir / "absent.ini").c_str(), &mTable));
  EXPECT_EQ(ERR_READ, ReadStrings(mDir.path().c_str(), &mTable));
}

}  // namespace
