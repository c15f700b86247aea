// The load list: its headers, the texts a study can hold, and studies that
// kpm's own reader reads back exactly as the list gave them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "study/study.h"
#include "tools/lists/load_list.h"
#include "tools/common/tool.h"
#include "xml/xmlentity.h"

namespace {

TEST(ListHeader, FixedColumnsByTheirNamesAndUnitsPairsKeepTheirCase) {
  struct Case {
    const char *header;
    int kind;
    int shift, percent;
    int unit_error;
    const char *oc, *ac;
  } cases[] = {
      {"name", LIST_NAME, 0, 0, 0, "", ""},
      {" Name ", LIST_NAME, 0, 0, 0, "", ""},
      {"Load name", LIST_NAME, 0, 0, 0, "", ""},
      {"EQUIPMENT", LIST_NAME, 0, 0, 0, "", ""},
      {"Name (English)", LIST_NAME, 0, 0, 0, "", ""},
      {"Load (kW)", LIST_IGNORED, 0, 0, 0, "", ""}, // numbers, not names
      {"SWBS", LIST_SWBS, 0, 0, 0, "", ""},
      {"SWBS code", LIST_SWBS, 0, 0, 0, "", ""},
      {"Connected load (kW)", LIST_CONNECTED_LOAD, 0, 0, 0, "", ""},
      {"connected_load", LIST_CONNECTED_LOAD, 0, 0, 0, "", ""},
      {"CONNECTED_LOAD(kW)", LIST_CONNECTED_LOAD, 0, 0, 0, "", ""},
      {"Connected load (W)", LIST_CONNECTED_LOAD, -3, 0, 0, "", ""},
      {"Rated power [MW]", LIST_CONNECTED_LOAD, 3, 0, 0, "", ""},
      {"kW", LIST_CONNECTED_LOAD, 0, 0, 0, "", ""},
      {"Installed power (hp)", LIST_CONNECTED_LOAD, 0, 0, 1, "", ""},
      {"Connected load (kVA)", LIST_CONNECTED_LOAD, 0, 0, 1, "", ""},
      {"Connected load (mW)", LIST_CONNECTED_LOAD, 0, 0, 1, "", ""}, // milli or mega: not a guess
      {"Peak Fraction", LIST_PEAK_FRACTION, 0, 0, 0, "", ""},
      {"peak_fraction (-)", LIST_PEAK_FRACTION, 0, 0, 0, "", ""},
      {"Peak (%)", LIST_PEAK_FRACTION, 0, 1, 0, "", ""},
      {"Peak (kW)", LIST_PEAK_FRACTION, 0, 0, 1, "", ""},
      {"PF", LIST_PF, 0, 0, 0, "", ""},
      {"pf (kW/kVA)", LIST_PF, 0, 0, 0, "", ""}, // the unit's "/" makes no pair
      {"power factor", LIST_PF, 0, 0, 0, "", ""},
      {"cos phi", LIST_PF, 0, 0, 0, "", ""},
      {"cos\xcf\x86", LIST_PF, 0, 0, 0, "", ""},
      {"Qty", LIST_QUANTITY, 0, 0, 0, "", ""},
      {"Qty.", LIST_QUANTITY, 0, 0, 0, "", ""},
      {"Quantity (pcs)", LIST_QUANTITY, 0, 0, 0, "", ""},
      {"No.", LIST_IGNORED, 0, 0, 0, "", ""}, // an item number
      {"Number", LIST_IGNORED, 0, 0, 0, "", ""},
      {"notes", LIST_IGNORED, 0, 0, 0, "", ""},
      {"", LIST_IGNORED, 0, 0, 0, "", ""},
      {"cruise/summer", LIST_PAIR, 0, 0, 0, "cruise", "summer"},
      {" Cruise / Summer ", LIST_PAIR, 0, 0, 0, "Cruise", "Summer"},
      {"a/b/c", LIST_PAIR, 0, 0, 0, "a", "b/c"}, // the first "/" parts the names
      {"cruise/", LIST_PAIR, 0, 0, 0, "cruise", ""},
      {"/", LIST_PAIR, 0, 0, 0, "", ""},
      {"Cruise/Summer (%)", LIST_PAIR, 0, 1, 0, "Cruise", "Summer"},
      {"Cruise/Summer (kW)", LIST_PAIR, 0, 0, 1, "Cruise", "Summer"},
      {"Cruise/Summer (tropical)", LIST_PAIR, 0, 0, 0, "Cruise", "Summer (tropical)"}, // a name, not a unit
      {"Cruise/*", LIST_PAIR, 0, 0, 0, "Cruise", "*"},
  };
  for (const Case &c : cases) {
    ListHeader h;
    EXPECT_EQ(list_classify_header(c.header, strlen(c.header), &h), c.kind) << c.header;
    EXPECT_EQ(h.shift, c.shift) << c.header;
    EXPECT_EQ(h.percent, c.percent) << c.header;
    EXPECT_EQ(h.unit_error != nullptr, c.unit_error != 0) << c.header;
    if (c.kind != LIST_PAIR) continue;
    EXPECT_EQ(std::string(h.oc, h.oc_length), c.oc) << c.header;
    EXPECT_EQ(std::string(h.ac, h.ac_length), c.ac) << c.header;
    EXPECT_EQ(h.all_ambient, std::string(c.ac) == "*") << c.header;
  }
}

// Number cells as a list writes them: the value with each decimal mark (or
// none: not a number that way), and what the cell shows of the list's mark.
TEST(ListNumber, CellsBySeparatorAndDecimalMark) {
  const double NO = -12345; // not a number with that mark
  struct Case {
    const char *cell;
    double with_point, with_comma;
    int marks;
  } cases[] = {
      {"12", 12, 12, MARKS_ALIKE},
      {" -0.5 ", -0.5, NO, MARKS_POINT},
      {"0.9", 0.9, NO, MARKS_POINT},
      {"12.75", 12.75, NO, MARKS_POINT},
      {"0,9", NO, 0.9, MARKS_COMMA},
      {"12,75", NO, 12.75, MARKS_COMMA},
      {"1.500", 1.5, 1500, MARKS_DIFFERENTLY},
      {"1,500", 1500, 1.5, MARKS_DIFFERENTLY},
      {"-1.500", -1.5, -1500, MARKS_DIFFERENTLY},
      {"0.500", 0.5, NO, MARKS_POINT}, // a group never starts with 0
      {"0,500", NO, 0.5, MARKS_COMMA},
      {"1.500,5", NO, 1500.5, MARKS_COMMA},
      {"1,500.5", 1500.5, NO, MARKS_POINT},
      {"1.500.000", NO, 1500000, MARKS_COMMA},
      {"1,500,000.25", 1500000.25, NO, MARKS_POINT},
      {"1 500", 1500, 1500, MARKS_ALIKE},
      {"1\xc2\xa0" "500,5", NO, 1500.5, MARKS_COMMA},
      {"1\xe2\x80\xaf" "500.5", 1500.5, NO, MARKS_POINT},
      {"12 500 000", 12500000, 12500000, MARKS_ALIKE},
      {"1.50", 1.5, NO, MARKS_POINT},     // not a group of three
      {"1.5000", 1.5, NO, MARKS_POINT},   //
      {"1234.500", 1234.5, NO, MARKS_POINT}, // a first group has at most three digits
      {"1 500.000,5", NO, NO, MARKS_NEITHER}, // two kinds of grouping
      {"1,5.", NO, NO, MARKS_NEITHER},
      {".5", 0.5, NO, MARKS_POINT},
      {"5.", 5, NO, MARKS_POINT},
      {"1e-3", 0.001, 0.001, MARKS_ALIKE},
      {"1,5e3", NO, 1500, MARKS_COMMA},
      {"1.500e3", 1500, NO, MARKS_POINT}, // no grouping with an exponent
      {"80%", 0.8, 0.8, MARKS_ALIKE},
      {"80 %", 0.8, 0.8, MARKS_ALIKE},
      {"12.5%", 0.125, NO, MARKS_POINT},
      {"12,5 %", NO, 0.125, MARKS_COMMA},
      {"12 kW", NO, NO, MARKS_NEITHER},
      {"0x10", NO, NO, MARKS_NEITHER},
      {"inf", NO, NO, MARKS_NEITHER},
      {"nan", NO, NO, MARKS_NEITHER},
      {"1..5", NO, NO, MARKS_NEITHER},
      {"%", NO, NO, MARKS_NEITHER},
      {"-", NO, NO, MARKS_NEITHER},
      {"1 000 00", NO, NO, MARKS_NEITHER},
  };
  for (const Case &c : cases) {
    double want[2] = {c.with_point, c.with_comma};
    int mark[2] = {'.', ','};
    for (int m = 0; m < 2; m++) {
      double v = 0;
      int got = list_read_number(c.cell, strlen(c.cell), mark[m], 0, &v, nullptr);
      if (want[m] == NO) {
        EXPECT_EQ(got, NUMBER_BAD) << c.cell << " with " << (char)mark[m];
      } else {
        EXPECT_EQ(got, NUMBER_OK) << c.cell << " with " << (char)mark[m];
        EXPECT_EQ(v, want[m]) << c.cell << " with " << (char)mark[m];
      }
    }
    EXPECT_EQ(list_number_marks(c.cell, strlen(c.cell)), c.marks) << c.cell;
  }
}

TEST(ListNumber, UnitsMoveTheDecimalPointInTheText) {
  // Each is the double nearest to the exact decimal, as if written in kW.
  struct Case {
    const char *cell;
    int shift;
    double v;
  } cases[] = {
      {"1500", -3, 1.5},         {"1", -3, 0.001},       {"0.1", 3, 100},        {"12.345", 3, 12345},
      {"123456789", -3, 123456.789}, {"0.3", -3, 0.0003}, {"33.3%", 0, 0.333},  {"1e-300", -3, 1e-303},
  };
  for (const Case &c : cases) {
    double v = 0;
    ASSERT_EQ(list_read_number(c.cell, strlen(c.cell), '.', c.shift, &v, nullptr), NUMBER_OK) << c.cell;
    EXPECT_EQ(v, c.v) << c.cell;
  }
  // Many digits: the number is rounded once, from all of them.
  std::string digits = "0." + std::string(300, '3');
  double v = 0;
  ASSERT_EQ(list_read_number(digits.data(), digits.size(), '.', 0, &v, nullptr), NUMBER_OK);
  EXPECT_EQ(v, 1.0 / 3);
  EXPECT_EQ(list_read_number("1e308", 5, '.', 3, &v, nullptr), NUMBER_HUGE);
  EXPECT_EQ(list_read_number("1e99999999999999999999", 22, '.', 0, &v, nullptr), NUMBER_HUGE);
  EXPECT_EQ(list_read_number("   ", 3, '.', 0, &v, nullptr), NUMBER_EMPTY);
  EXPECT_EQ(list_read_number("-0", 2, '.', 0, &v, nullptr), NUMBER_OK);
  EXPECT_TRUE(std::signbit(v)); // kpm refuses a power factor of -0: it must reach the range check
}

TEST(ListCopies, NamesOfCopiesAreReadBackExactly) {
  size_t length = 0;
  char *name = list_copy_name("Fire pump", 9, 2, 4, &length);
  EXPECT_EQ(std::string(name, length), "Fire pump (2 of 4)");
  size_t base = 0;
  long k = 0, n = 0;
  EXPECT_TRUE(list_parse_copy_name(name, length, &base, &k, &n));
  EXPECT_EQ(base, 9u);
  EXPECT_EQ(k, 2);
  EXPECT_EQ(n, 4);
  free(name);
  const char *not_copies[] = {"Pump (1 of 1)", "Pump (0 of 2)", "Pump (3 of 2)", "Pump (01 of 2)", "Pump(1 of 2)",
                              " (1 of 2)",     "Pump (1 of 200000)", "Pump (1 of 2) ", "Pump (1of 2)"};
  for (const char *s : not_copies) EXPECT_FALSE(list_parse_copy_name(s, strlen(s), &base, &k, &n)) << s;
}

TEST(StudyText, WhatAnElementCanHold) {
  struct Case {
    std::string text;
    int allow_empty;
    int problem;
  } cases[] = {
      {"Pump \"P1\", aft & fore > 2", 0, TEXT_OK},
      {"line\nbreak", 0, TEXT_OK},
      {"", 1, TEXT_OK},
      {"", 0, TEXT_EMPTY},
      {"a<b", 1, TEXT_HAS_LT},
      {std::string("a\0b", 3), 1, TEXT_HAS_NUL},
      {" a", 1, TEXT_HAS_SPACE},
      {"a\r", 1, TEXT_HAS_SPACE},
      {std::string(STUDY_TEXT_MAX, 'x'), 1, TEXT_OK},
      {std::string(STUDY_TEXT_MAX + 1, 'x'), 1, TEXT_TOO_LONG},
  };
  for (const Case &c : cases)
    EXPECT_EQ(study_text_problem(c.text.data(), c.text.size(), c.allow_empty), c.problem) << c.text.substr(0, 20);
}

// The importer's limits are the reader's own: the longest text and tag it
// keeps read cleanly, one byte more overruns its buffer.
TEST(StudyText, TheLimitsAreTheReadersOwn) {
  struct Case {
    std::string xml;
    int status;
  } cases[] = {
      {"<kpm>" + std::string(STUDY_TEXT_MAX, 'x') + "</kpm>", XML_OK},
      {"<kpm>" + std::string(STUDY_TEXT_MAX + 1, 'x') + "</kpm>", XML_OVERRUN},
      {"<kpm " + std::string(STUDY_TAG_MAX - 4, 'a') + "></kpm>", XML_OK},
      {"<kpm " + std::string(STUDY_TAG_MAX - 3, 'a') + "></kpm>", XML_OVERRUN},
  };
  for (const Case &c : cases) {
    FILE *in = fmemopen((void *)c.xml.data(), c.xml.size(), "rb");
    int status = -1;
    free_XMLENTITY(readfile_XMLENTITY(in, &status));
    fclose(in);
    EXPECT_EQ(status, c.status) << c.xml.size();
  }
}

// The names as kpm's own tag splitting gives them back from the start tag.
std::vector<std::string> split_by_kpm(const std::string &tag) {
  std::string text = tag.substr(1, tag.size() - 2); // between "<" and ">"
  std::vector<std::string> names;
  if (text.back() == '/') names.push_back("<empty-element tag>");
  XMLENTITY *e = parsetag_XMLENTITY(&text[0]);
  for (XMLENTITY *a = e->attr; a; a = a->next) names.push_back(std::string(a->name) + "=" + str_or_null(a->data));
  free_XMLENTITY(e);
  return names;
}

TEST(LfStartTag, KpmReadsBackBothNames) {
  struct Case {
    std::string oc, ac;
  } cases[] = {
      {"cruise", "summer"}, {"cruise, fast", "a\"b"},       {"a\"b", "c\"d/"}, {"x=y", "tropical night"},
      {"a/", "b/"},         {"&amp;", "\xc3\xa9t\xc3\xa9"},
  };
  for (const Case &c : cases) {
    size_t length = 0;
    const char *why = nullptr;
    char *tag = lf_start_tag(c.oc.data(), c.oc.size(), c.ac.data(), c.ac.size(), &length, &why);
    ASSERT_TRUE(tag) << c.oc << " " << c.ac;
    EXPECT_EQ(split_by_kpm(std::string(tag, length)), (std::vector<std::string>{"oc=" + c.oc, "ac=" + c.ac})) << tag;
    free(tag);
  }
  const char *cannot[][2] = {{"a>b", "s"}, {"o", "\"s"}, {"o", "a \"b\""}};
  for (auto &c : cannot) {
    size_t length = 0;
    const char *why = nullptr;
    EXPECT_EQ(lf_start_tag(c[0], strlen(c[0]), c[1], strlen(c[1]), &length, &why), nullptr) << c[0] << c[1];
    EXPECT_TRUE(why);
  }
  // The tag's text (between "<" and ">") may be 65534 bytes: 14 of them are not the names.
  std::string oc(STUDY_TAG_MAX - 14 - 1, 'o');
  size_t length = 0;
  const char *why = nullptr;
  char *tag = lf_start_tag(oc.data(), oc.size(), "a", 1, &length, &why);
  ASSERT_TRUE(tag);
  EXPECT_EQ(length - 2, STUDY_TAG_MAX);
  free(tag);
  oc += 'o';
  EXPECT_EQ(lf_start_tag(oc.data(), oc.size(), "a", 1, &length, &why), nullptr);
}

// Imports list (ImportOptions as given) into a study file and reads that with
// kpm's reader and preparation into z. Returns kpm's status; *xml gets the study.
struct Imported {
  int import_status;
  int kpm_status;
  std::string xml;
  std::string diagnostics;
};

Imported import_and_read(const std::string &list, LoadStudy *z, const char *name = "Study") {
  Imported got;
  char path[] = "/tmp/kpm-list-test.XXXXXX";
  int fd = mkstemp(path);
  FILE *out = fdopen(fd, "w");
  FILE *in = fmemopen((void *)list.data(), list.size(), "rb");
  char *diag_text = nullptr;
  size_t diag_size = 0;
  FILE *diag_stream = open_memstream(&diag_text, &diag_size);
  CsvDiag diag;
  csv_diag_init(&diag, "l.csv", diag_stream);
  ImportOptions options = {name, 0, 0};
  got.import_status = import_load_list(in, &diag, &options, out, nullptr);
  fclose(in);
  fclose(out);
  fclose(diag_stream);
  got.diagnostics = std::string(diag_text, diag_size);
  free(diag_text);
  FILE *f = fopen(path, "rb");
  int c;
  while ((c = fgetc(f)) != EOF) got.xml += (char)c;
  fclose(f);
  got.kpm_status = got.import_status == 0 ? tool_load_study(z, path) : -1;
  unlink(path);
  return got;
}

std::vector<Load *> loads_in_file_order(LoadStudy *z) {
  std::vector<Load *> v;
  for (Load *ld = z->ld; ld; ld = ld->next) v.insert(v.begin(), ld);
  return v;
}

TEST(Import, KpmReadsBackExactlyTheTextsOfTheCells) {
  std::string list = "name,swbs,connected_load,peak_fraction,pf,cruise/a\"b,x y/\xc3\xa9t\xc3\xa9\r\n"
                     "\"Pump \"\"P1\"\", aft & fore\",\"2,5\"\"\",0.1,,-0.5,0.1,\r\n"
                     "\"two\nlines > one\",,1e-300,1,1,,1\r\n"
                     ",\"\",7,0.5,,0,\r\n";
  LoadStudy z;
  Imported got = import_and_read(list, &z, "Zone 3, \"aft\" & fore");
  ASSERT_EQ(got.import_status, 0) << got.diagnostics;
  ASSERT_EQ(got.kpm_status, 0) << got.xml;
  EXPECT_STREQ(z.name, "Zone 3, \"aft\" & fore");
  EXPECT_STREQ(z.oc->name, "cruise");
  EXPECT_STREQ(z.oc->next->name, "x y");
  EXPECT_STREQ(z.ac->name, "a\"b");
  EXPECT_STREQ(z.ac->next->name, "\xc3\xa9t\xc3\xa9");
  std::vector<Load *> ld = loads_in_file_order(&z);
  ASSERT_EQ(ld.size(), 3u);
  EXPECT_STREQ(ld[0]->name, "Pump \"P1\", aft & fore");
  EXPECT_STREQ(ld[0]->swbs, "2,5\"");
  EXPECT_EQ(ld[0]->connected_load, 0.1);
  EXPECT_EQ(ld[0]->peak_fraction, 1.0); // the default
  EXPECT_EQ(ld[0]->power_factor, -0.5);
  EXPECT_EQ(ld[0]->lf->loadfactor, 0.1);
  EXPECT_STREQ(ld[1]->name, "two\nlines > one");
  EXPECT_EQ(ld[1]->swbs, nullptr); // an empty cell: absent
  EXPECT_EQ(ld[1]->connected_load, 1e-300);
  EXPECT_STREQ(ld[1]->lf->ac->name, "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(ld[2]->name, nullptr);
  EXPECT_STREQ(ld[2]->swbs, ""); // written as "": an empty text
  EXPECT_EQ(ld[2]->lf->loadfactor, 0.0);
  release_study_memory();
}

// A list of loads loads with pairs pairs each, every load under every pair.
std::string make_list(int loads, int pairs) {
  std::string s = "name,connected_load";
  for (int p = 0; p < pairs; p++) s += ",o" + std::to_string(p) + "/a";
  s += "\n";
  std::string cells;
  for (int p = 0; p < pairs; p++) cells += ",0.5";
  for (int i = 0; i < loads; i++) s += "L" + std::to_string(i) + ",10" + cells + "\n";
  return s;
}

TEST(Import, StudiesStayWithinTheReadersLimitsAtAnySize) {
  // The root holds its name, the two groups and the loads, each on a line of
  // its own while the white space between them stays within 65535 bytes
  // (3 per child, 1 before the end tag); past that the breaks go inside tags.
  struct Case {
    int loads, pairs;
    const char *layout; // what the text shows between two loads, or of a load's children
  } cases[] = {
      {21841, 1, "</load>\n  <load>"},
      {21842, 1, "</load\n  ><load"},
      {1, 13104, "</lf>\n    <lf"}, // a load's name, connected load and lfs: 5 bytes each, 3 before its end tag
      {1, 13105, "</lf\n    ><lf"},
  };
  for (const Case &c : cases) {
    LoadStudy z;
    Imported got = import_and_read(make_list(c.loads, c.pairs), &z);
    ASSERT_EQ(got.import_status, 0) << got.diagnostics;
    EXPECT_EQ(got.kpm_status, 0) << c.loads << " loads, " << c.pairs << " pairs";
    EXPECT_EQ(z.nbr_ld, c.loads);
    EXPECT_EQ(z.nbr_oc, c.pairs);
    EXPECT_NE(got.xml.find(c.layout), std::string::npos) << c.layout;
    release_study_memory();
  }
}

TEST(Import, ConditionsInTheOrderOfTheirFirstColumn) {
  LoadStudy z;
  Imported got =
      import_and_read("name,connected_load,harbour/winter,cruise/summer,harbour/summer\nA,1,0.1,0.2,0.3\n", &z);
  ASSERT_EQ(got.kpm_status, 0) << got.diagnostics;
  EXPECT_STREQ(z.oc->name, "harbour");
  EXPECT_STREQ(z.oc->next->name, "cruise");
  EXPECT_STREQ(z.ac->name, "winter");
  EXPECT_STREQ(z.ac->next->name, "summer");
  release_study_memory();
}

} // namespace
