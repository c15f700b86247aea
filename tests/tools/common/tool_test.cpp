// The companion programs' shared pieces: CSV fields, shortest numbers, outputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/common/tool.h"

namespace {

std::string slurp(const std::string &path) {
  std::string s;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  int c;
  while ((c = fgetc(f)) != EOF) s += (char)c;
  fclose(f);
  return s;
}

void put_file(const std::string &path, const char *text) {
  FILE *f = fopen(path.c_str(), "w");
  fputs(text, f);
  fclose(f);
}

std::string temp_folder() {
  char tmpl[] = "/tmp/kpm-tool-test.XXXXXX";
  return std::string(mkdtemp(tmpl));
}

TEST(ToolCsv, TextsAreQuotedWithQuotesDoubled) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  csv_put_text(f, "A, \"big\"\nfan");
  csv_put_separator(f);
  csv_put_text(f, nullptr);
  csv_put_separator(f);
  csv_put_real(f, 0.1);
  csv_end_row(f);
  fclose(f);
  EXPECT_EQ(std::string(buf, size), "\"A, \"\"big\"\"\nfan\",\"\",0.1\r\n");
  free(buf);
  // Quotes at either end and side by side.
  f = open_memstream(&buf, &size);
  csv_put_text(f, "\"\"x\"");
  csv_put_text(f, "\"");
  fclose(f);
  EXPECT_EQ(std::string(buf, size), "\"\"\"\"\"x\"\"\"\"\"\"\"");
  free(buf);
}

TEST(ToolCsv, NumbersReadBackToTheSameDouble) {
  const double values[] = {
      0.0, -0.0, 1.0, 0.1, 1.0 / 3.0, 87.14285714285714, 1e-300, 1.7976931348623157e308, 4.9e-324, 123456789012345678.0,
      -2.5};
  for (double v : values) {
    char buf[SHORTEST_REAL_SIZE];
    format_shortest_real(buf, sizeof buf, v);
    double back = strtod(buf, nullptr);
    EXPECT_EQ(std::signbit(back), std::signbit(v)) << buf;
    EXPECT_EQ(back, v) << buf;
  }
  char buf[SHORTEST_REAL_SIZE];
  format_shortest_real(buf, sizeof buf, 150.0);
  EXPECT_STREQ(buf, "150");
}

TEST(ToolOutput, AppearsOnlyWhenCommitted) {
  std::string dir = temp_folder();
  std::string target = dir + "/out.csv";
  put_file(target, "old\n");

  ToolOutput o;
  ASSERT_EQ(tool_output_open(&o, target.c_str(), nullptr), 0);
  fputs("new\n", o.f);
  EXPECT_EQ(slurp(target), "old\n"); // not yet in place
  tool_output_discard(&o);
  EXPECT_EQ(slurp(target), "old\n");

  ASSERT_EQ(tool_output_open(&o, target.c_str(), nullptr), 0);
  fputs("new\n", o.f);
  EXPECT_EQ(tool_output_commit(&o), 0);
  EXPECT_EQ(slurp(target), "new\n");
  EXPECT_EQ(system(("test $(ls -A " + dir + " | wc -l) -eq 1").c_str()), 0) << "a temporary file was left";
  system(("rm -rf " + dir).c_str());
}

TEST(ToolOutput, RefusesTheInputAndMissingFolders) {
  std::string dir = temp_folder();
  std::string input = dir + "/study.xml";
  put_file(input, "<kpm/>\n");
  ASSERT_EQ(symlink("study.xml", (dir + "/link.xml").c_str()), 0);

  ToolOutput o;
  EXPECT_EQ(tool_output_open(&o, (dir + "/link.xml").c_str(), input.c_str()), TOOL_TROUBLE);
  EXPECT_EQ(tool_output_open(&o, (dir + "/./study.xml").c_str(), input.c_str()), TOOL_TROUBLE);
  EXPECT_EQ(tool_output_open(&o, (dir + "/no-such-folder/x.csv").c_str(), input.c_str()), TOOL_TROUBLE);
  EXPECT_EQ(tool_output_open(&o, dir.c_str(), input.c_str()), TOOL_TROUBLE);
  EXPECT_EQ(slurp(input), "<kpm/>\n");
  system(("rm -rf " + dir).c_str());
}

TEST(ToolOutput, AFullDeviceLeavesTheTargetAsItWas) {
  // /dev/full as the folder is not possible; a write error is simulated by
  // closing the stream's descriptor under it.
  std::string dir = temp_folder();
  std::string target = dir + "/out.csv";
  put_file(target, "old\n");
  ToolOutput o;
  ASSERT_EQ(tool_output_open(&o, target.c_str(), nullptr), 0);
  fputs("new\n", o.f);
  close(fileno(o.f));
  EXPECT_EQ(tool_output_commit(&o), TOOL_TROUBLE);
  EXPECT_EQ(slurp(target), "old\n");
  EXPECT_EQ(system(("test $(ls -A " + dir + " | wc -l) -eq 1").c_str()), 0) << "a temporary file was left";
  system(("rm -rf " + dir).c_str());
}

TEST(ToolOutput, TwoOutputsThatReachOnePlace) {
  std::string dir = temp_folder();
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("sub/b.csv", (dir + "/link.csv").c_str()), 0); // dangling: b.csv is made through it
  struct {
    const char *a, *b;
    int same;
  } cases[] = {
      {"-", "/dev/stdout", 1},      {"-", "/dev/fd/1", 1},        {"/dev/stdout", "/dev/fd/1", 1},
      {"a.csv", "./a.csv", 1},      {"sub/../a.csv", "a.csv", 1}, {"a.csv", "b.csv", 0},
      {"link.csv", "sub/b.csv", 1}, {"link.csv", "b.csv", 0},     {"/dev/null", "/dev/null", 1},
  };
  for (auto &c : cases) {
    std::string a = c.a[0] == '/' || c.a[0] == '-' ? c.a : dir + "/" + c.a;
    std::string b = c.b[0] == '/' || c.b[0] == '-' ? c.b : dir + "/" + c.b;
    EXPECT_EQ(tool_same_output(a.c_str(), b.c_str()), c.same) << c.a << " and " << c.b;
  }
  EXPECT_TRUE(tool_output_is_stdout("/dev/stdout"));
  EXPECT_FALSE(tool_output_is_stdout((dir + "/a.csv").c_str()));
  ToolOutput o;
  ASSERT_EQ(tool_output_open(&o, "/dev/stdout", nullptr), 0);
  EXPECT_TRUE(o.is_stdout);
  EXPECT_EQ(o.f, stdout);
  tool_output_discard(&o);
  system(("rm -rf " + dir).c_str());
}

TEST(ToolOutput, StandardInputAsTheInputIsNotOverwritten) {
  std::string dir = temp_folder();
  std::string list = dir + "/list.csv";
  put_file(list, "name\n");
  int saved = dup(STDIN_FILENO);
  int fd = open(list.c_str(), O_RDONLY);
  dup2(fd, STDIN_FILENO);
  close(fd);
  ToolOutput o;
  int status = tool_output_open(&o, list.c_str(), "-");
  dup2(saved, STDIN_FILENO);
  close(saved);
  EXPECT_EQ(status, TOOL_TROUBLE);
  EXPECT_EQ(slurp(list), "name\n");
  system(("rm -rf " + dir).c_str());
}

} // namespace
