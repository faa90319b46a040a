// The three-phase action list (phase order, exact progress values, ownership), the manifest lines it is built
// from, and the in-place tokenizer that cuts them.
#include <cstdio>
#include <string>
#include <vector>

#include "action.h"
#include "errors.h"
#include "manifest.h"
#include "mstrtok.h"
#include "test_support.h"
#include "ui/progressui.h"

namespace {

int sDestroyed = 0;

// Records each call ("p0 e0@1 f7:0 ...", with the progress posted before each Execute); fails the phase it is told to,
// Prepare with ERR_CRC, Execute with ERR_WRITE.
struct RecordingAction : Action {
  RecordingAction(std::string* log, int id, bool fail_prepare, bool fail_execute)
      : log(log), id(std::to_string(id)), prepare_rc(fail_prepare ? ERR_CRC : 0),
        execute_rc(fail_execute ? ERR_WRITE : 0) {}
  ~RecordingAction() override { ++sDestroyed; }
  int Parse(char*) override { return 0; }
  int Prepare() override { return *log += "p" + id + " ", prepare_rc; }
  int Execute() override {
    char value[32];
    snprintf(value, sizeof value, "@%.8g ", double(sProgressVal.load()));  // enough to tell 15 from just below it
    return *log += "e" + id + value, execute_rc;
  }
  void Finish(int status) override { *log += "f" + std::to_string(status) + ":" + id + " "; }
  std::string* log;
  std::string id;
  int prepare_rc, execute_rc;
};

// A run of |count| actions, the one at |fail_prepare| or |fail_execute| failing, driven the way the update drives
// it: what each action saw, the last progress value (-1: nothing posted), the log.
TEST(ActionListTest, PhasesProgressAndOwnership) {
  struct Case {
    const char* label;
    int count, fail_prepare, fail_execute, rc;
    std::string events;
    float last;
    std::string log;
  };
  const Case cases[] = {
      // 1 + 98 * i / 7 in single precision: just below 15, 29 and 57, which double precision would give.
      {"seven actions", 7, -1, -1, 0,
       "p0 p1 p2 p3 p4 p5 p6 e0@1 e1@14.999999 e2@28.999998 e3@43 e4@56.999996 e5@71 e6@85 f0:0 f0:1 f0:2 f0:3 f0:4 "
       "f0:5 f0:6 ", 100.0f, ""},
      {"a failed Execute finishes every action, in order, with its code", 4, -1, 1, ERR_WRITE,
       "p0 p1 p2 p3 e0@1 e1@25.5 f7:0 f7:1 f7:2 f7:3 ", 100.0f, "### execution failed\n"},
      {"a failed Prepare stops before any change and posts nothing", 4, 1, -1, ERR_CRC, "p0 p1 ", -1.0f, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    sProgressVal = -1.0f;
    sDestroyed = 0;
    testing_support::LogCapture log;
    std::string events;
    {
      ActionList list;
      for (int i = 0; i < c.count; ++i)
        list.Append(new RecordingAction(&events, i, i == c.fail_prepare, i == c.fail_execute));
      int rc = list.Prepare();
      if (rc == 0) {
        rc = list.Execute();
        list.Finish(rc);
      }
      EXPECT_EQ(rc, c.rc);
    }
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(sProgressVal.load(), c.last);
    EXPECT_EQ(log.Text(), c.log);
    EXPECT_EQ(sDestroyed, c.count);
  }
}

// Every kind of manifest line that must be refused, and lines next to them that pass.
TEST(ManifestTest, RefusedAndAcceptedLines) {
  const char* accepted[] = {
      "remove \"a\"\r\n\r\n# comment\nadd\t\"./a/b\"\rremove \"..a\"\nadd \"a..\"\nadd \"a/.../b\"",
      "patch \"../item\" \"a/..b/c\"\npatch-if \"/cond\" \"item\" \"...\"\nadd-if \"/c\" \"x.zel-backup.1\"",
  };
  const char* refused[] = {
      "   \t\n", " #comment\n", "ADD \"f\"\n", "frobnicate \"f\"\n", "add\"f\"\n", "add\n", "add \"\"\n",
      "patch \"item\"\n", "patch \"item\"\"file\"\n", "patch-if \"cond\" \"item\"\n", "add-if \"c\"\n",
      // Targets that leave the installation or take the updater's own names.
      "remove \"/a\"", "remove \"/\"", "remove \"..\"", "add \"../a\"", "add \"a/..\"", "add \"a/../b\"",
      "add-if \"c\" \"a//../b\"", "patch \"i\" \"sub/b.zel-backup\"", "patch-if \"c\" \"i\" \"b.zel-part\"",
      "remove \"b.zel-part/\"",
  };
  const auto parse = [](std::string text) {
    ActionList list;
    return ParseManifest(text.data(), &list);
  };
  for (const char* text : accepted) EXPECT_EQ(parse(text), 0) << text;
  for (const char* text : refused) EXPECT_EQ(parse(text), ERR_PARSE) << text;
}

// Cuts |text| with |first| for the first token and |rest| for the others, as the manifest cuts a keyword and then
// its arguments; the tokens and where the cursor ended ("null", "nul" at the terminating NUL, or the text left).
TEST(MstrtokTest, Tokens) {
  struct Case { std::string text; const char *first, *rest; std::vector<std::string> tokens; std::string cursor; };
  const Case cases[] = {
      {"\r\n\n\r", kNL, kNL, {}, "nul"},
      {"one\r\n\r\ntwo", kNL, kNL, {"one", "two"}, "null"},
      // Exactly one delimiter goes with a token: the second blank is an argument.
      {"add  \"x\"", kWhitespace, kQuote, {"add", " ", "x"}, "nul"},
      {"\"\"x\"", kQuote, kQuote, {"x"}, "nul"},          // leading quotes skipped: no empty token
  };
  for (const Case& c : cases) {
    std::string buf = c.text;
    char* cursor = buf.data();
    std::vector<std::string> tokens;
    while (char* t = mstrtok(tokens.empty() ? c.first : c.rest, &cursor)) tokens.push_back(t);
    EXPECT_EQ(tokens, c.tokens) << c.text;
    EXPECT_EQ(std::string(!cursor ? "null" : *cursor ? cursor : "nul"), c.cursor) << c.text;
  }
}

}  // namespace
