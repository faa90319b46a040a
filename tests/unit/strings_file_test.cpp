// ReadStrings: the strings file is read by line reads, not by key; the third
// read is the title, the fourth the info text, each after its first "=" with
// its last byte dropped. A read takes at most 199 bytes.
#include "ui/strings_file.h"

#include <gtest/gtest.h>

#include <string>

#include "errors.h"
#include "test_support.h"

namespace {

// 199 bytes: a title line that fills one whole read.
const std::string kFullTitleRead = "title=" + std::string(193, 'T');

TEST(StringsFileTest, TextsComeFromTheThirdAndFourthReadsOrAreRefused) {
  struct Case { const char* label; std::string content; int rc; std::string title, info; };
  const Case cases[] = {
      {"plain", "[strings]\n# comment\ntitle=Updating Things\ninfo=Please wait.\n", 0, "Updating Things", "Please wait."},
      {"keys are not examined, only position", "a\nb\ninfo=first\n=second\n", 0, "first", "second"},
      {"equals signs after the first are kept", "\n\ntitle=a=b==c\ninfo==x=\n", 0, "a=b==c", "=x="},
      {"last line without newline loses its last byte", "1\n2\ntitle=T\ninfo=abc", 0, "T", "ab"},
      {"carriage return and blanks stay", "1\r\n2\r\n title = T\r\ninfo=\tI\r\n", 0, " T\r", "\tI\r"},
      {"lines after the fourth never read", "1\n2\ntitle=T\ninfo=I\nno equals\n\xff\xfe garbage\n", 0, "T", "I"},
      // Read 3 is the first 199 bytes (last one dropped), read 4 the rest of that line.
      {"long title line's rest becomes info", "1\n2\n" + kFullTitleRead + "k=tail\ninfo=never read\n", 0,
       std::string(192, 'T'), "tail"},
      {"text of full read length keeps all but its last byte",
       "1\n2\nt=" + std::string(197, 'a') + "i=" + std::string(196, 'b') + "\n", 0, std::string(196, 'a'),
       std::string(196, 'b')},
      {"empty file", "", ERR_READ},
      {"three lines", "1\n2\ntitle=T\n", ERR_READ},
      {"file ending inside the third read", "1\n2\ntitle=T", ERR_READ},
      {"title line without equals", "1\n2\ntitle T\ninfo=I\n", ERR_PARSE},
      {"newline-only title line", "1\n2\n\ninfo=I\n", ERR_PARSE},
      {"newline-only info line", "1\n2\ntitle=T\n\n", ERR_PARSE},
      {"info line without equals", "1\n2\ntitle=T\ninfo I\n", ERR_PARSE},
      {"equals only as the dropped last byte", "1\n2\ntitle=T\ninfo=", ERR_PARSE},
      {"rest of a long title line without equals", "1\n2\n" + kFullTitleRead + "tail\ninfo=never read\n", ERR_PARSE},
  };
  testing_support::ScratchDir dir;
  for (const Case& c : cases) {
    testing_support::WriteFile(dir / "updater.ini", c.content);
    StringTable table{};
    EXPECT_EQ(c.rc, ReadStrings((dir / "updater.ini").c_str(), &table)) << c.label;
    if (c.rc == 0) EXPECT_EQ(c.title + "|" + c.info, std::string(table.title) + "|" + table.info) << c.label;
  }
  StringTable table;
  EXPECT_EQ(ERR_READ, ReadStrings((dir / "absent.ini").c_str(), &table));
  EXPECT_EQ(ERR_READ, ReadStrings(dir.path().c_str(), &table)) << "a directory";
}

}  // namespace
