// Patch actions below the run: what the end-to-end tests cannot reach.
#include <string>

#include "errors.h"
#include "patch_actions.h"
#include "paths.h"
#include "test_support.h"

namespace {

TEST(PatchActionTest, TemporaryNameThatDoesNotFitFailsPrepare) {
  testing_support::LogCapture log;
  const std::string long_dir(1020, 'u');  // "/0.patch" would need 1029 bytes
  const char* saved = gSourcePath;
  gSourcePath = long_dir.c_str();
  {
    char line[] = "\"item\" \"file\"";
    PatchFile patch;
    ASSERT_EQ(patch.Parse(line), 0);
    EXPECT_STREQ(patch.mPatchItem, "item");
    EXPECT_STREQ(patch.mPath, "file");
    EXPECT_EQ(patch.Prepare(), ERR_WRITE);
    EXPECT_EQ(patch.mPatchFd, -1);
  }
  gSourcePath = saved;
  EXPECT_EQ(log.Text(), "PREPARE PATCH file\n");
}

TEST(PatchActionTest, ParseNeedsEveryArgument) {
  char one[] = "\"item\"";
  char glued[] = "\"item\"\"file\"";
  char two_for_if[] = "\"cond\" \"item\"";
  PatchFile a, b;
  PatchIfFile c;
  EXPECT_EQ(a.Parse(one), ERR_PARSE);
  EXPECT_EQ(b.Parse(glued), ERR_PARSE);
  EXPECT_EQ(c.Parse(two_for_if), ERR_PARSE);
  EXPECT_EQ(a.Parse(nullptr), ERR_PARSE);
}

}  // namespace
