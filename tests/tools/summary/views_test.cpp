// kpm-summary's text view and page: study texts are data, whatever they hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "calc/calc.h"
#include "tools/summary/summary.h"
#include "tools/common/tool.h"

namespace {

TEST(SummaryTerminalText, ControlsAndStrayBytesNeverReachTheTerminal) {
  const struct {
    const char *in;
    int max;
    const char *out;
    int columns;
  } cases[] = {
      {"Fire pump 1", 40, "Fire pump 1", 11},
      {"\x1b[2J\x1b]0;title\x07", 40, "?[2J?]0;title?", 14}, // escape sequences, bell
      {"a\tb\nc\rd\x7f", 40, "a?b?c?d?", 8},
      {"\xC2\x9B"
       "31m",
       40, "?31m", 4}, // C1 CSI, written as UTF-8
      {"\x9B"
       "31m\xFF\xC3",
       40, "?31m??", 6}, // bytes that are not UTF-8
      {"abc\xE2\x80\xAE"
       "fed",
       40, "abc?fed", 7}, // right-to-left override
      {"L\xC3\xBC"
       "fter \xE2\x82\xAC",
       40,
       "L\xC3\xBC"
       "fter \xE2\x82\xAC",
       8},
      {"abcdefghij", 8, "abcde...", 8},
      {"abcdefgh", 8, "abcdefgh", 8},
      {"\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4", 4, "\xC3\xA4...", 4}, // cut between characters
      {nullptr, 40, "", 0},
  };
  for (const auto &c : cases) {
    char buf[4 * 40 + 4];
    int columns = summary_terminal_text(buf, sizeof buf, c.in, c.max);
    EXPECT_STREQ(buf, c.out) << (c.in ? c.in : "(null)");
    EXPECT_EQ(columns, c.columns) << (c.in ? c.in : "(null)");
  }
}

// A study whose texts are hostile. The reader takes no "<" into a text, but
// the file's name, which the page shows too, can hold one.
struct HostileStudy {
  LoadStudy z{};
  Summary s{};
  std::string path;
  HostileStudy() {
    path = testing::TempDir() + "summary_views_" + std::to_string(getpid()) + " <script>alert(1)<script>.xml";
    FILE *f = fopen(path.c_str(), "w");
    fputs("<kpm><name>Zone \x1b[31m&amp;</name>"
          "<operational_conditions><name order=\"1\">\"x' onmouseover=alert(1) y=</name>"
          "<name order=\"2\">Cruise</name></operational_conditions>"
          "<ambient_conditions><name>Summer\xFF</name></ambient_conditions>"
          "<load><name>Pump \"A\" > 'B'</name><swbs>5\x01</swbs>"
          "<connected_load>100</connected_load><lf oc=\"Cruise\" ac=\"Summer\xFF\">0.5</lf></load>"
          "<load><name>Fan</name><connected_load>10</connected_load>"
          "<lf oc=\"Cruise\" ac=\"Summer\xFF\">0.5</lf></load></kpm>\n",
          f);
    fclose(f);
  }
  ~HostileStudy() {
    summary_release(&s);
    release_study_memory();
    unlink(path.c_str());
  }
};

std::string render(void (*write)(FILE *, Summary *, const SummaryOptions *), Summary *s, const SummaryOptions *opt) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  write(f, s, opt);
  fclose(f);
  std::string text(buf, size);
  free(buf);
  return text;
}

// A study of two pairs; the second governs.
std::string write_plain_study() {
  std::string path = testing::TempDir() + "summary_plain_" + std::to_string(getpid()) + ".xml";
  FILE *f = fopen(path.c_str(), "w");
  fputs("<kpm><name>Zone \x1b[2J</name>"
        "<operational_conditions><name order=\"1\">Harbour</name><name order=\"2\">Cruise</name>"
        "</operational_conditions><ambient_conditions><name>Summer</name></ambient_conditions>"
        "<load><name>Pump\x1b]0;x\x07</name><swbs>512</swbs><connected_load>100</connected_load>"
        "<peak_fraction>0.5</peak_fraction><lf oc=\"Cruise\" ac=\"Summer\">0.5</lf>"
        "<lf oc=\"Harbour\" ac=\"Summer\">0</lf></load>"
        "<load><name>Fan</name><swbs>513</swbs><connected_load>10</connected_load>"
        "<lf oc=\"Cruise\" ac=\"Summer\">1</lf><lf oc=\"Harbour\" ac=\"Summer\">1</lf></load></kpm>\n",
        f);
  fclose(f);
  return path;
}

TEST(SummaryTextView, ColourMarksTheGoverningCellOnlyAndPlainTextHasNoEscape) {
  std::string path = write_plain_study();
  LoadStudy z{};
  ASSERT_EQ(tool_load_study(&z, path.c_str()), 0);
  ASSERT_EQ(calc_kpm(&z), 0);
  Summary s;
  summary_build(&s, &z);
  summary_group_loads(&s, 1);
  SummaryOptions opt;
  summary_default_options(&opt);
  opt.by_swbs = 1;
  std::string plain = render(summary_write_text, &s, &opt);
  EXPECT_EQ(plain.find('\x1b'), std::string::npos) << plain;
  EXPECT_NE(plain.find("Zone ?[2J\n"), std::string::npos) << plain;
  EXPECT_NE(plain.find("Harbour    10.0\nCruise     60.0*\n"), std::string::npos) << plain;
  EXPECT_NE(plain.find("* Governing: Cruise / Summer, 60.0 kW, 50.0 kW (500.0 %) above the next pair, "
                       "Harbour / Summer\n"),
            std::string::npos)
      << plain;

  opt.colour = 1;
  std::string coloured = render(summary_write_text, &s, &opt);
  // The matrix cell and the pairs' table cell of the governing pair, nothing else.
  size_t first = coloured.find("\x1b[1;7m60.0\x1b[0m*");
  ASSERT_NE(first, std::string::npos) << coloured;
  EXPECT_NE(coloured.find("\x1b[1;7m60.0\x1b[0m*", first + 1), std::string::npos) << coloured;
  size_t inverse = 0, at = 0;
  while ((at = coloured.find("\x1b[1;7m", at)) != std::string::npos) inverse++, at++;
  EXPECT_EQ(inverse, 2u);
  // The study's own escape sequences are still replaced.
  EXPECT_NE(coloured.find("Zone ?[2J"), std::string::npos);
  EXPECT_NE(coloured.find("Pump?]0;x?"), std::string::npos);
  summary_release(&s);
  release_study_memory();
  unlink(path.c_str());
}

TEST(SummaryPage, StudyTextsAreEscapedAndNothingIsFetched) {
  HostileStudy h;
  ASSERT_EQ(tool_load_study(&h.z, h.path.c_str()), 0);
  ASSERT_EQ(calc_kpm(&h.z), 0);
  summary_build(&h.s, &h.z);
  summary_group_loads(&h.s, 1);
  SummaryOptions opt;
  summary_default_options(&opt);
  std::string page = render(summary_write_html, &h.s, &opt);

  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_NE(page.find(" &lt;script&gt;alert(1)&lt;script&gt;.xml"), std::string::npos);
  EXPECT_NE(page.find("Zone \xEF\xBF\xBD[31m&amp;amp;"), std::string::npos);
  EXPECT_NE(page.find("Pump &quot;A&quot; &gt; &#39;B&#39;"), std::string::npos);
  // A quote in a name cannot end an attribute.
  EXPECT_EQ(page.find("\"x'"), std::string::npos);
  EXPECT_NE(page.find("data-oc=\"&quot;x&#39; onmouseover=alert(1) y=\""), std::string::npos);
  EXPECT_NE(page.find("Summer\xEF\xBF\xBD"), std::string::npos); // a byte that is not UTF-8
  EXPECT_NE(page.find("5\xEF\xBF\xBD"), std::string::npos);      // a control character
  EXPECT_EQ(page.find('\x1b'), std::string::npos);
  EXPECT_EQ(page.find('\x01'), std::string::npos);

  EXPECT_NE(page.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                      "style-src 'unsafe-inline'\">"),
            std::string::npos);
  for (const char *external : {"http:", "https:", "src=", "<link", "url(", "@import", "<img", "<iframe"})
    EXPECT_EQ(page.find(external), std::string::npos) << external;

  // One bar per pair, each with its exact total.
  size_t bars = 0, at = 0;
  while ((at = page.find("data-total=\"", at)) != std::string::npos) {
    at += 12;
    double total = strtod(page.c_str() + at, nullptr);
    EXPECT_EQ(total, h.s.pairs[bars]->total_operating_load);
    bars++;
  }
  EXPECT_EQ(bars, (size_t)h.s.nbr_pairs);
}

} // namespace
