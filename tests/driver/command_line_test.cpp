// How the command line fills the study record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"

namespace {

struct CommandLineCase {
  std::vector<std::string> args; // after the program name
  const char *xmlfile;           // null: none
  const char *outfile;           // null: none
  int debug;
};

const CommandLineCase kCases[] = {
    {{}, nullptr, nullptr, 0},
    {{"in.xml"}, "in.xml", nullptr, 0},
    {{"-oreport.csv", "in.xml"}, "in.xml", "report.csv", 0},
    {{"in.xml", "-Oreport.csv"}, "in.xml", "report.csv", 0},
    {{"-o=report.csv"}, nullptr, "=report.csv", 0},
    {{"-output.csv"}, nullptr, "utput.csv", 0},
    {{"in.xml", "-o"}, "in.xml", "", 0},
    {{"-oa.csv", "-ob.csv", "in.xml"}, "in.xml", "b.csv", 0},
    {{"-d"}, nullptr, nullptr, 1},
    {{"-D", "-d"}, nullptr, nullptr, 1},
    {{"-debug"}, nullptr, nullptr, 1},
    {{"-dx", "in.xml"}, "in.xml", nullptr, 1},
    {{"-", "-x", "--d", "in.xml"}, "in.xml", nullptr, 0},
    {{""}, "", nullptr, 0},
    {{"-o -d"}, nullptr, " -d", 0},
};

TEST(CommandLine, FillsPathsAndSwitches) {
  for (const CommandLineCase &c : kCases) {
    std::vector<char *> argv;
    std::string prog = "kpm";
    argv.push_back(&prog[0]);
    std::vector<std::string> args = c.args;
    for (std::string &a : args) argv.push_back(&a[0]);
    LoadStudy z;
    memset(&z, 0x55, sizeof z); // the parser must set all three fields itself
    testing::internal::CaptureStderr();
    process_command_line(&z, (int)argv.size(), argv.data());
    testing::internal::GetCapturedStderr();
    std::string where = "case starting " + (c.args.empty() ? std::string("(none)") : c.args[0]);
    if (c.xmlfile) {
      ASSERT_NE(z.xmlfile, nullptr) << where;
      EXPECT_STREQ(z.xmlfile, c.xmlfile) << where;
    } else {
      EXPECT_EQ(z.xmlfile, nullptr) << where;
    }
    if (c.outfile) {
      ASSERT_NE(z.outfile, nullptr) << where;
      EXPECT_STREQ(z.outfile, c.outfile) << where;
    } else {
      EXPECT_EQ(z.outfile, nullptr) << where;
    }
    EXPECT_EQ(z.debug, c.debug) << where;
  }
}

TEST(CommandLine, InputPathIsTheArgumentItselfAndReportPathACopy) {
  char prog[] = "kpm", in[] = "in.xml", out[] = "-or.csv";
  char *argv[] = {prog, in, out};
  LoadStudy z;
  process_command_line(&z, 3, argv);
  EXPECT_EQ(z.xmlfile, in);
  EXPECT_NE(z.outfile, out + 2);
  EXPECT_STREQ(z.outfile, "r.csv");
}

TEST(CommandLine, UnknownOptionsAreWarnedWithTheWholeArgument) {
  char prog[] = "kpm", a[] = "-", b[] = "-x", c[] = "--d";
  char *argv[] = {prog, a, b, c};
  LoadStudy z;
  testing::internal::CaptureStderr();
  process_command_line(&z, 4, argv);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), " *** Warning: unknown command line option (-)\n"
                                                    " *** Warning: unknown command line option (-x)\n"
                                                    " *** Warning: unknown command line option (--d)\n");
}

TEST(CommandLineDeathTest, SecondInputPathEndsTheRun) {
  char prog[] = "kpm", a[] = "a.xml", b[] = "b.xml";
  char *argv[] = {prog, a, b};
  LoadStudy z;
  EXPECT_EXIT(process_command_line(&z, 3, argv), testing::ExitedWithCode(1),
              "^ \\*\\*\\* Error: Multiple input files specified \\(a.xml b.xml\\)\n$");
}

TEST(CopyString, CopiesIntoANewBlock) {
  EXPECT_EQ(copystring(nullptr), nullptr);
  const char empty[] = "";
  char *e = copystring(empty);
  ASSERT_NE(e, nullptr);
  EXPECT_NE(e, empty);
  EXPECT_STREQ(e, "");
  const char text[] = "Load, \"A\"";
  char *t = copystring(text);
  EXPECT_NE(t, text);
  EXPECT_STREQ(t, text);
}

} // namespace
