// The three-phase action list (phase order, exact progress values, ownership)
// and the manifest lines it is built from.
#include <cmath>
#include <string>
#include <vector>

#include "action.h"
#include "errors.h"
#include "manifest.h"
#include "test_support.h"
#include "ui/progressui.h"

namespace {

struct Journal {
  std::string events;  // "p0 e0 f7:0 ..." in call order
  std::vector<float> progress_before_execute;
  int destroyed = 0;
};

// Records each call; fails the phase it is told to.
struct RecordingAction : Action {
  RecordingAction(Journal* j, int id, int prepare_rc, int execute_rc)
      : j(j), id(std::to_string(id)), prepare_rc(prepare_rc), execute_rc(execute_rc) {}
  ~RecordingAction() override { ++j->destroyed; }
  int Parse(char*) override { return 0; }
  int Prepare() override { return j->events += "p" + id + " ", prepare_rc; }
  int Execute() override {
    j->progress_before_execute.push_back(sProgressVal.load());
    return j->events += "e" + id + " ", execute_rc;
  }
  void Finish(int status) override { j->events += "f" + std::to_string(status) + ":" + id + " "; }
  Journal* j;
  std::string id;
  int prepare_rc, execute_rc;
};

// A run of |count| actions, the one at |fail_prepare| or |fail_execute| failing,
// driven the way the update drives it: what each action saw, the last progress
// value, the log. -1 in the progress means nothing was posted.
TEST(ActionListTest, PhasesProgressAndOwnership) {
  struct Case {
    const char* label;
    int count, fail_prepare, fail_execute, rc;
    std::string events;
    std::vector<float> progress;  // before each Execute: 1 + 98 * i / count in single precision
    float last_progress;
    std::string log;
  };
  const auto below = [](float f) { return std::nextafter(f, 0.0f); };
  const Case cases[] = {
      {"empty list", 0, -1, -1, 0, "", {}, 100.0f, ""},
      {"four actions", 4, -1, -1, 0, "p0 p1 p2 p3 e0 e1 e2 e3 f0:0 f0:1 f0:2 f0:3 ", {1.0f, 25.5f, 50.0f, 74.5f},
       100.0f, ""},
      // Just below 15, 29 and 57: a value formed in double precision would be those whole numbers.
      {"seven actions", 7, -1, -1, 0, "p0 p1 p2 p3 p4 p5 p6 e0 e1 e2 e3 e4 e5 e6 f0:0 f0:1 f0:2 f0:3 f0:4 f0:5 f0:6 ",
       {1.0f, below(15), below(29), 43.0f, below(57), 71.0f, 85.0f}, 100.0f, ""},
      {"a failed Execute finishes every action, in order, with its code", 4, -1, 1, ERR_WRITE,
       "p0 p1 p2 p3 e0 e1 f7:0 f7:1 f7:2 f7:3 ", {1.0f, 25.5f}, 100.0f, "### execution failed\n"},
      {"a failed Prepare stops before any change and posts nothing", 4, 1, -1, ERR_CRC, "p0 p1 ", {}, -1.0f, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    sProgressVal = -1.0f;
    testing_support::LogCapture log;
    Journal j;
    {
      ActionList list;
      for (int i = 0; i < c.count; ++i)
        list.Append(new RecordingAction(&j, i, i == c.fail_prepare ? ERR_CRC : 0, i == c.fail_execute ? ERR_WRITE : 0));
      int rc = list.Prepare();
      if (rc == 0) {
        rc = list.Execute();
        list.Finish(rc);
      }
      EXPECT_EQ(rc, c.rc);
    }
    EXPECT_EQ(j.events, c.events);
    EXPECT_EQ(j.progress_before_execute, c.progress);
    EXPECT_EQ(sProgressVal.load(), c.last_progress);
    EXPECT_EQ(log.Text(), c.log);
    EXPECT_EQ(j.destroyed, c.count);
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
  for (const char* text : accepted) {
    std::string buf = text;
    ActionList list;
    EXPECT_EQ(ParseManifest(buf.data(), &list), 0) << text;
  }
  for (const char* text : refused) {
    std::string buf = text;
    ActionList list;
    EXPECT_EQ(ParseManifest(buf.data(), &list), ERR_PARSE) << text;
  }
}

}  // namespace
