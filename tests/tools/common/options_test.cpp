// The shared option layer: how a command line is taken apart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/common/tool.h"

namespace {

enum { OPT_OUTPUT = 1, OPT_QUIET, OPT_DIGITS, OPT_SILENCE };
const ToolOption OPTIONS[] = {
    {OPT_OUTPUT, 'o', "output", "FILE", 0, "write to FILE"},
    {OPT_QUIET, 'q', "quiet", nullptr, 0, "say less"},
    {OPT_DIGITS, 0, "digits", "N", 1, "group by N digits"},
    {OPT_SILENCE, 'W', nullptr, "no-CODE", 0, "silence CODE"},
};
const ToolProgram PROGRAM = {"kpm-test", "FILE...", "Test the option layer.\n", OPTIONS, 4, nullptr};

// Each argument as the layer returns it: "id:value", "operand:value",
// "stop:status".
std::string walk(std::vector<const char *> words) {
  words.insert(words.begin(), "kpm-test");
  ToolArgs a;
  tool_start(&PROGRAM, &a, (int)words.size(), (char **)words.data());
  std::string got;
  testing::internal::CaptureStderr();
  for (int id; (id = tool_next_arg(&a)) != TOOL_ARGS_END;) {
    if (!got.empty()) got += " ";
    if (id == TOOL_ARGS_STOP) {
      got += "stop:" + std::to_string(a.status);
      break;
    }
    got += (id == TOOL_OPERAND ? std::string("operand") : std::to_string(id)) + ":" + (a.value ? a.value : "-null-");
  }
  testing::internal::GetCapturedStderr();
  return got;
}

} // namespace

TEST(Options, ValuesOperandsAndTheEndOfOptions) {
  struct {
    std::vector<const char *> words;
    const char *expected;
  } cases[] = {
      {{"-o", "a", "--output", "b", "--output=c", "-od"}, "1:a 1:b 1:c 1:d"},
      {{"--output=", "-o", "-"}, "1: 1:-"},                              // an empty value; a value that looks like an option
      {{"--digits", "3", "--digits=4"}, "3:-null- operand:3 3:4"},       // an optional value only after "="
      {{"-Wno-x", "-W", "no-y", "-q", "--quiet"}, "4:no-x 4:no-y 2:-null- 2:-null-"},
      {{"-", "x", "--", "-q", "--", "-"}, "operand:- operand:x operand:-q operand:-- operand:-"},
      {{"-qq"}, "stop:2"},          // short options are not bundled
      {{"--quiet=1"}, "stop:2"},    // a value given to an option that takes none
      {{"x", "--output"}, "operand:x stop:2"}, // a value missing at the end
      {{"--out=x"}, "stop:2"},      // no abbreviations
      {{"--bogus", "--help"}, "stop:2"},
  };
  for (const auto &c : cases) EXPECT_EQ(walk(c.words), c.expected) << c.words[0];
}

TEST(Options, HelpIsMadeFromTheTable) {
  char *text = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&text, &size);
  tool_print_help(f, &PROGRAM);
  fclose(f);
  EXPECT_EQ(std::string(text, size), "Usage: kpm-test [OPTION]... FILE...\n"
                                     "Test the option layer.\n"
                                     "\n"
                                     "Options:\n"
                                     "  -o, --output=FILE  write to FILE\n"
                                     "  -q, --quiet        say less\n"
                                     "      --digits[=N]   group by N digits\n"
                                     "  -W no-CODE         silence CODE\n"
                                     "  -h, --help         display this help and exit\n"
                                     "      --version      display the version and exit\n"
                                     "\n"
                                     "Exit status: 0 done; 1 the input has problems; 2 a usage error, or the system\n"
                                     "failed the run (a file that cannot be read or written, memory exhausted).\n"
                                     "\n"
                                     "Report problems to the kpm project's issue tracker.\n");
  free(text);
}

TEST(Options, StatusesOfAProgramComeFromItsOwnRowsFirst) {
  EXPECT_STREQ(tool_status_meaning("kpm-import", TOOL_DONE), "done");
  EXPECT_STREQ(tool_status_meaning("kpm-check", TOOL_DONE), "no errors (warnings allowed)");
  EXPECT_EQ(tool_status_meaning("kpm-import", 3), nullptr);
}
