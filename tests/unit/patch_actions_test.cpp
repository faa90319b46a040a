// Patch actions below the run: what the end-to-end tests cannot reach.
#include <string>

#include "errors.h"
#include "patch_actions.h"
#include "paths.h"
#include "test_support.h"

namespace {

// An update folder whose own name fits a buffer but "/0.patch" after it does not:
// the staged patch's name must never be used cut.
TEST(PatchActionTest, TemporaryNameThatDoesNotFitFailsPrepare) {
  testing_support::LogCapture log;
  const std::string long_dir(1020, 'u');  // "/0.patch" would need 1029 bytes
  const char* saved = gSourcePath;
  gSourcePath = long_dir.c_str();
  {
    char line[] = "\"item\" \"file\"";
    PatchFile patch;
    ASSERT_EQ(patch.Parse(line), 0);
    EXPECT_EQ(patch.Prepare(), ERR_WRITE);
  }
  gSourcePath = saved;
  EXPECT_EQ(log.Text(), "PREPARE PATCH file\n");
}

}  // namespace
