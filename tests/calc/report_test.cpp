// The results report: header, blocks, destinations and write failures.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calc/calc.h"
#include "tests/calc/model_builder.h"

namespace {

std::string header(const char *name, const char *out) {
  return std::string("\"kpm\",\"Version\",\"1.0\",\"") + __DATE__ + "\"\n\"" + name + "\"\n\"study.xml\"\n\"" + out +
         "\"\n";
}

const char kExampleBlock[] =
    "\n"
    "\"Operational_Condition\",\"cruise\"\n"
    "\"Ambient_Condition\",\"summer\"\n"
    "\"Total_Connected_Load_KW\",150.000000\n"
    "\"Total_Load_Factor_Load_KW\",70.000000\n"
    "\"Zonal_Total_Operating_Load_KW\",87.142857\n"
    "\"Total_lf\",0.466667\n"
    "\"Total_kpm\",0.580952\n"
    "\"SWBS\",\"101\",\"A\",\"Connected_Load_KW\",100.000000,\"Peak_fraction\",0.500000,\"LF\",0.400000,40.000000,"
    "\"KPM\",0.471429,47.142857\n"
    "\"SWBS\",\"102\",\"B\",\"Connected_Load_KW\",50.000000,\"Peak_fraction\",0.800000,\"LF\",0.600000,30.000000,"
    "\"KPM\",0.714286,35.714286\n";

TEST(ResultsReport, BuildDateHasTheCompilerDateForm) {
  EXPECT_TRUE(std::regex_match(std::string(KPM_BUILD_DATE), std::regex("[A-Z][a-z]{2} [ 123][0-9] [0-9]{4}")));
}

TEST(ResultsReport, WorkedExampleToAFileReplacingWhatWasThere) {
  std::string path = temp_path("kpm_report_test_", "example.csv");
  {
    std::ofstream old(path);
    old << std::string(5000, 'x') << "\n"; // longer than the report: must not survive
  }
  ModelBuilder m;
  build_worked_example(m);
  m.z.outfile = const_cast<char *>(path.c_str());
  ASSERT_EQ(calc_kpm(&m.z), 0);
  testing::internal::CaptureStdout();
  print_results(&m.z);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(read_file(path), header("Example", path.c_str()) + kExampleBlock);

  // With debug the destination is named on standard output, and only that.
  m.z.debug = 1;
  testing::internal::CaptureStdout();
  print_results(&m.z);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "z->outfile = " + path + "\n");
  EXPECT_EQ(read_file(path), header("Example", path.c_str()) + kExampleBlock);
  remove(path.c_str());
}

TEST(ResultsReport, WithoutOutputPathGoesToStandardOutput) {
  ModelBuilder m;
  build_worked_example(m);
  ASSERT_EQ(calc_kpm(&m.z), 0);
  testing::internal::CaptureStdout();
  print_results(&m.z);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), header("Example", "stdout") + kExampleBlock);

  m.z.debug = 1;
  testing::internal::CaptureStdout();
  print_results(&m.z);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "out = stdout\n" + header("Example", "stdout") + kExampleBlock);
}

TEST(ResultsReport, EmptyResultsListEndsAfterTheHeader) {
  ModelBuilder m;
  testing::internal::CaptureStdout();
  print_results(&m.z);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), header("Example", "stdout"));
  m.z.debug = 1;
  testing::internal::CaptureStdout();
  print_results(&m.z);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "out = stdout\n" + header("Example", "stdout") + "z->r is NULL Pointer\n");
}

TEST(ResultsReport, TextsAsHeldAndNumbersInFullFixedNotation) {
  ModelBuilder m(nullptr);
  OperationalCondition *oc = m.add_oc("full \"speed\", ahead", 1);
  AmbientCondition *ac = m.add_ac("hot", 1);
  m.add_pair(oc, ac, {{nullptr, nullptr, 1234567.5, 1.0, 0.0000004}, {"3,1", "\"pump\"", 0.0, 1.0, 0.5}});
  m.add_results(oc, m.add_ac("cold", 2), 0); // a pair without load factors still gets its block
  ASSERT_EQ(calc_kpm(&m.z), 0);
  testing::internal::CaptureStdout();
  print_results(&m.z);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            header("(null)", "stdout") +
                "\n"
                "\"Operational_Condition\",\"full \"speed\", ahead\"\n"
                "\"Ambient_Condition\",\"hot\"\n"
                "\"Total_Connected_Load_KW\",1234567.500000\n"
                "\"Total_Load_Factor_Load_KW\",0.493827\n"
                "\"Zonal_Total_Operating_Load_KW\",1234567.500000\n"
                "\"Total_lf\",0.000000\n"
                "\"Total_kpm\",1.000000\n"
                "\"SWBS\",\"(null)\",\"(null)\",\"Connected_Load_KW\",1234567.500000,\"Peak_fraction\",1.000000,"
                "\"LF\",0.000000,0.493827,\"KPM\",1.000000,1234567.500000\n"
                "\"SWBS\",\"3,1\",\"\"pump\"\",\"Connected_Load_KW\",0.000000,\"Peak_fraction\",1.000000,"
                "\"LF\",0.500000,0.000000,\"KPM\",0.000000,0.000000\n"
                "\n"
                "\"Operational_Condition\",\"full \"speed\", ahead\"\n"
                "\"Ambient_Condition\",\"cold\"\n"
                "\"Total_Connected_Load_KW\",0.000000\n"
                "\"Total_Load_Factor_Load_KW\",0.000000\n"
                "\"Zonal_Total_Operating_Load_KW\",0.000000\n"
                "\"Total_lf\",0.000000\n"
                "\"Total_kpm\",0.000000\n");
}

TEST(ResultsReportDeathTest, OutputFileThatCannotBeOpenedEndsTheRun) {
  const char *paths[] = {"", "/nonexistent-dir/report.csv"};
  for (const char *path : paths) {
    ModelBuilder m;
    build_worked_example(m);
    m.z.outfile = const_cast<char *>(path);
    EXPECT_EXIT(print_results(&m.z), testing::ExitedWithCode(1),
                std::string("^ \\*\\*\\* ERROR: Unable to write to output file ") + path + "\n$");
  }
}

TEST(ResultsReportDeathTest, FailedWritesToTheReportFileEndTheRun) {
  // A short report fails only when closed; a long one already while written.
  for (int loads : {2, 5000}) {
    ModelBuilder m;
    OperationalCondition *oc = m.add_oc("o", 1);
    AmbientCondition *ac = m.add_ac("a", 1);
    Results *r = m.add_results(oc, ac, loads);
    for (int i = 0; i < loads; i++) {
      Load *ld = m.add_load("101", "A", 10, 0.5);
      r->lfs[r->nbr_lf++] = m.add_lf(ld, oc, ac, 0.4);
    }
    m.z.outfile = const_cast<char *>("/dev/full");
    ASSERT_EQ(calc_kpm(&m.z), 0);
    EXPECT_EXIT(print_results(&m.z), testing::ExitedWithCode(1),
                "^ \\*\\*\\* ERROR: Unable to write to output file /dev/full\n$")
        << loads << " loads";
  }
}

TEST(ResultsReportDeathTest, AReportCutShortLeavesThePreviousOneWhole) {
  // A file size limit refuses the write half-way (its signal ignored, so the
  // write fails): the previous report stays byte for byte, and nothing is
  // left beside it.
  std::string folder = temp_path("kpm_report_test_", "cut");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  std::string path = folder + "/report.csv";
  {
    std::ofstream old(path);
    old << "the previous report\n";
  }
  ModelBuilder m;
  OperationalCondition *oc = m.add_oc("o", 1);
  AmbientCondition *ac = m.add_ac("a", 1);
  Results *r = m.add_results(oc, ac, 5000);
  for (int i = 0; i < 5000; i++) r->lfs[r->nbr_lf++] = m.add_lf(m.add_load("101", "A", 10, 0.5), oc, ac, 0.4);
  m.z.outfile = const_cast<char *>(path.c_str());
  ASSERT_EQ(calc_kpm(&m.z), 0);
  EXPECT_EXIT(
      {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = 1 << 16;
        setrlimit(RLIMIT_FSIZE, &limit);
        print_results(&m.z);
      },
      testing::ExitedWithCode(1), "^ \\*\\*\\* ERROR: Unable to write to output file " + path + "\n$");
  EXPECT_EQ(read_file(path), "the previous report\n");
  EXPECT_EQ(system(("test \"$(ls -A " + folder + ")\" = report.csv").c_str()), 0) << "a temporary file was left";
  system(("rm -rf " + folder).c_str());
}

TEST(ResultsReportDeathTest, NullStudyEndsTheRunSilently) {
  EXPECT_EXIT(print_results(nullptr), testing::ExitedWithCode(1), "^$");
}

} // namespace
