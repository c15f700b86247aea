// Outputs of kpm-summary that are not plain files: devices and pipes are
// written in place, never replaced by a renamed file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/common/tool.h"

namespace {

TEST(SummaryOutput, ADeviceIsWrittenInPlaceNotReplaced) {
  char tmpl[] = "/tmp/kpm-summary-output.XXXXXX";
  std::string dir = mkdtemp(tmpl);
  // A link to /dev/null: were the output renamed into place, the link would
  // become a plain file (and /dev/null itself stays out of harm's way).
  std::string link = dir + "/sink";
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);

  ToolOutput o;
  ASSERT_EQ(tool_output_open(&o, link.c_str(), nullptr), 0);
  fputs("rows\n", o.f);
  EXPECT_EQ(tool_output_commit(&o), 0);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(system(("test $(ls -A " + dir + " | wc -l) -eq 1").c_str()), 0) << "a temporary file was left";

  // A full device fails at the commit, as a full disk does.
  ASSERT_EQ(tool_output_open(&o, "/dev/full", nullptr), 0);
  for (int i = 0; i < 10000; i++) fputs("rows that do not fit\n", o.f);
  testing::internal::CaptureStderr();
  EXPECT_EQ(tool_output_commit(&o), TOOL_TROUBLE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot write /dev/full"), std::string::npos);
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  system(("rm -rf " + dir).c_str());
}

} // namespace
