// ReadStrings: the strings file is read by line reads, not by key; the third
// read is the title, the fourth the info text, each after its first "=" with
// its last byte dropped.
#include "ui/strings_file.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "errors.h"
#include "test_support.h"

namespace {

using testing_support::ScratchDir;
using testing_support::WriteFile;

class StringsFileTest : public ::testing::Test {
 protected:
  // Writes |content| as the strings file and reads it back into mTable.
  int Read(const std::string& content) {
    WriteFile(mPath, content);
    return ReadStrings(mPath.c_str(), &mTable);
  }
  // Reads |content| and expects success with these two texts.
  void ExpectTexts(const std::string& content, const std::string& title, const std::string& info) {
    ASSERT_EQ(0, Read(content));
    EXPECT_EQ(title, mTable.title);
    EXPECT_EQ(info, mTable.info);
  }

  ScratchDir mDir;
  std::string mPath = mDir / "updater.ini";
  StringTable mTable;
};

TEST_F(StringsFileTest, ReadsTitleFromThirdLineAndInfoFromFourth) {
  ExpectTexts("[strings]\n# comment\ntitle=Updating Things\ninfo=Please wait.\n", "Updating Things", "Please wait.");
}

TEST_F(StringsFileTest, KeysAreNotExaminedOnlyPositionCounts) {
  ExpectTexts("a\nb\ninfo=first\n=second\n", "first", "second");
}

TEST_F(StringsFileTest, TextKeepsEqualsSignsAfterTheFirst) {
  ExpectTexts("\n\ntitle=a=b==c\ninfo==x=\n", "a=b==c", "=x=");
}

TEST_F(StringsFileTest, EqualsFollowedByNewlineGivesEmptyText) {
  ExpectTexts("\n\ntitle=\ninfo=\n", "", "");
}

TEST_F(StringsFileTest, LastLineWithoutNewlineLosesItsLastCharacter) {
  ExpectTexts("1\n2\ntitle=T\ninfo=abc", "T", "ab");
}

TEST_F(StringsFileTest, CarriageReturnStaysAtEndOfText) {
  ExpectTexts("1\r\n2\r\ntitle=T\r\ninfo=I\r\n", "T\r", "I\r");
}

TEST_F(StringsFileTest, BlanksAreKeptUntrimmed) {
  ExpectTexts("\n\n title = spaced \ninfo=\ttab\t\n", " spaced ", "\ttab\t");
}

TEST_F(StringsFileTest, FirstTwoLinesMayHoldAnythingOrNothing) {
  ExpectTexts("\n\ntitle=x\ninfo=y\n", "x", "y");
  ExpectTexts("no equals here\n=====\ntitle=x2\ninfo=y2\n", "x2", "y2");
}

TEST_F(StringsFileTest, LinesAfterTheFourthAreNeverRead) {
  ExpectTexts("1\n2\ntitle=T\ninfo=I\nno equals\n\xff\xfe garbage\n", "T", "I");
}

TEST_F(StringsFileTest, LongFirstLineTakesTwoReadsAndShiftsTheLines) {
  // 249 bytes and a newline: the first read takes 199 bytes, the second the
  // rest, so the file's second line is read 3 and its third line read 4.
  std::string first(249, 'x');
  ExpectTexts(first + "\ntitle=from line two\ninfo=from line three\ninfo=from line four\n", "from line two", "from line three");
}

TEST_F(StringsFileTest, LongTitleLineIsCutAtItsReadAndItsRestBecomesInfo) {
  // Read 3 takes the title line's first 199 bytes, whose last byte is
  // dropped; read 4 is the rest of that same line.
  std::string head = "title=" + std::string(193, 'T');
  ASSERT_EQ(199u, head.size());
  ExpectTexts("1\n2\n" + head + "k=tail\ninfo=never read\n", std::string(192, 'T'), "tail");
  // A rest without "=" fails as an info line would.
  EXPECT_EQ(ERR_PARSE, Read("1\n2\n" + head + "tail\ninfo=never read\n"));
}

TEST_F(StringsFileTest, TextOfFullReadLengthKeepsAllButItsLastByte) {
  // 199 bytes, no newline within them: the read ends at the buffer's size.
  std::string title_line = "t=" + std::string(197, 'a');
  std::string info_line = "i=" + std::string(196, 'b') + "\n";
  ExpectTexts("1\n2\n" + title_line + info_line, std::string(196, 'a'), std::string(196, 'b'));
}

TEST_F(StringsFileTest, MissingFileIsReadError) {
  EXPECT_EQ(ERR_READ, ReadStrings((mDir / "absent.ini").c_str(), &mTable));
}

TEST_F(StringsFileTest, DirectoryIsReadError) {
  EXPECT_EQ(ERR_READ, ReadStrings(mDir.path().c_str(), &mTable));
}

TEST_F(StringsFileTest, EmptyFileIsReadError) { EXPECT_EQ(ERR_READ, Read("")); }

TEST_F(StringsFileTest, FileOfThreeLinesIsReadError) {
  EXPECT_EQ(ERR_READ, Read("1\n2\ntitle=T\n"));
}

TEST_F(StringsFileTest, FileEndingInsideThirdReadIsNotShort) {
  // Read 3 ends at the end of the file with bytes read: a line; read 4 then
  // finds nothing.
  EXPECT_EQ(ERR_READ, Read("1\n2\ntitle=T"));
}

TEST_F(StringsFileTest, TitleLineWithoutEqualsIsParseError) {
  EXPECT_EQ(ERR_PARSE, Read("1\n2\ntitle T\ninfo=I\n"));
}

TEST_F(StringsFileTest, InfoLineWithoutEqualsIsParseError) {
  EXPECT_EQ(ERR_PARSE, Read("1\n2\ntitle=T\ninfo I\n"));
  // The title had already been converted when the info line failed.
  EXPECT_STREQ("T", mTable.title);
}

TEST_F(StringsFileTest, NewlineOnlyTitleOrInfoLineIsParseError) {
  EXPECT_EQ(ERR_PARSE, Read("1\n2\n\ninfo=I\n"));
  EXPECT_EQ(ERR_PARSE, Read("1\n2\ntitle=T\n\n"));
}

TEST_F(StringsFileTest, EqualsOnlyAsDroppedLastByteIsParseError) {
  // The dropped last byte is looked at no more: an "=" there does not count.
  EXPECT_EQ(ERR_PARSE, Read("1\n2\ntitle=T\ninfo="));
}

}  // namespace
