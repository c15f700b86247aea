// The study file reader on small study files written to a temporary folder.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "calc/calc.h"
#include "study/study.h"
#include "xml/xmlentity.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const char kExample[] = R"(<kpm>
  <name>Example</name>
  <comment>Two loads under one pair of conditions</comment>
  <operational_conditions>
    <name order="1">cruise</name>
  </operational_conditions>
  <ambient_conditions>
    <name order="1">summer</name>
  </ambient_conditions>
  <load>
    <name>B</name>
    <swbs>102</swbs>
    <connected_load>50</connected_load>
    <peak_fraction>0.8</peak_fraction>
    <pf>0.85</pf>
    <lf oc="cruise" ac="summer">0.6</lf>
  </load>
  <load>
    <!-- the larger load -->
    <name>A</name>
    <swbs>101</swbs>
    <connected_load>100</connected_load>
    <peak_fraction>0.5</peak_fraction>
    <pf>0.9</pf>
    <lf oc="cruise" ac="summer">0.4</lf>
  </load>
</kpm>
)";

// Conditions o and a, for studies about their loads.
std::string with_conditions(const std::string &loads) {
  return "<kpm><operational_conditions><name>o</name></operational_conditions>"
         "<ambient_conditions><name>a</name></ambient_conditions>" +
         loads + "</kpm>";
}

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t i = s.find(from); i != std::string::npos; i = s.find(from, i + to.size())) s.replace(i, from.size(), to);
  return s;
}

class Reader : public testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kpm-study-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/study.xml";
  }
  void TearDown() override {
    xml_verbose_off();
    std::string cmd = "rm -rf '" + dir_ + "'";
    (void)system(cmd.c_str());
  }

  void write(const std::string &text) {
    std::ofstream f(path_, std::ios::binary);
    f << text;
  }

  // Reads path_ into a fresh study; keeps the study for inspection.
  int read(const std::string &text, int debug = 0) {
    write(text);
    memset(&z_, 0, sizeof z_);
    init_kpm(&z_);
    z_.xmlfile = &path_[0];
    z_.debug = debug;
    CaptureStdout();
    CaptureStderr();
    int status = read_xml_file(&z_);
    err_ = GetCapturedStderr();
    out_ = GetCapturedStdout();
    return status;
  }

  // Runs the whole program on path_: its exit status and standard error.
  int run_program(const char *args, std::string *err) {
    char exe[PATH_MAX] = {0};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) < 0) return -1;
    std::string kpm = std::string(exe);
    kpm = kpm.substr(0, kpm.rfind('/')) + "/../kpm";
    std::string cmd = "cd '" + dir_ + "' && '" + kpm + "' " + args + " >/dev/null 2>stderr.txt";
    int rc = system(cmd.c_str());
    std::ifstream f(dir_ + "/stderr.txt");
    std::stringstream ss;
    ss << f.rdbuf();
    *err = ss.str();
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }

  LoadStudy z_;
  std::string dir_, path_, out_, err_;
};

TEST_F(Reader, ExampleStudyGivesTheModel) {
  ASSERT_EQ(read(kExample), 0);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(out_, "Preparing input for calculations\n");
  EXPECT_STREQ(z_.name, "Example");
  ASSERT_EQ(z_.nbr_oc, 1);
  EXPECT_STREQ(z_.oc->name, "cruise");
  EXPECT_EQ(z_.oc->order, 1);
  ASSERT_EQ(z_.nbr_ac, 1);
  EXPECT_STREQ(z_.ac->name, "summer");
  ASSERT_EQ(z_.nbr_ld, 2);
  Load *a = z_.ld, *b = a->next;
  EXPECT_STREQ(a->name, "A");
  EXPECT_STREQ(a->swbs, "101");
  EXPECT_EQ(a->connected_load, 100);
  EXPECT_EQ(a->peak_fraction, 0.5);
  EXPECT_EQ(a->power_factor, 0.9);
  EXPECT_STREQ(b->name, "B");
  EXPECT_STREQ(b->swbs, "102");
  EXPECT_EQ(b->connected_load, 50);
  EXPECT_EQ(b->peak_fraction, 0.8);
  EXPECT_EQ(b->power_factor, 0.85);
  EXPECT_EQ(b->next, nullptr);
  ASSERT_NE(a->lf, nullptr);
  EXPECT_EQ(a->lf->ld, a);
  EXPECT_STREQ(a->lf->oc_name, "cruise");
  EXPECT_STREQ(a->lf->ac_name, "summer");
  EXPECT_EQ(a->lf->loadfactor, 0.4);
  EXPECT_EQ(a->lf->next, nullptr);
  EXPECT_EQ(b->lf->loadfactor, 0.6);
  ASSERT_NE(z_.r, nullptr);
  EXPECT_EQ(z_.r->next, nullptr);
  ASSERT_EQ(z_.r->nbr_lf, 2);
  EXPECT_EQ(z_.r->lfs[0], a->lf);
  EXPECT_EQ(z_.r->lfs[1], b->lf);
}

// Every error line of the reader and of the preparation, as the reader returns
// it, and as the whole program ends on it.
TEST_F(Reader, ErrorTable) {
  struct Case {
    const char *what;
    std::string text;
    int status;
    const char *err; // {F} stands for the path
  };
  const std::string lf = "<lf oc=\"o\" ac=\"a\">0.5</lf>";
  const Case cases[] = {
      {"malformed end tag", "<kpm><name>x</nam></kpm>", 3, " *** ERROR: errors detected in input xml file ({F}) (3)\n"},
      {"doctype first", "<!DOCTYPE kpm><kpm/>", 3, " *** ERROR: errors detected in input xml file ({F}) (3)\n"},
      {"error after the root", with_conditions("") + "<x></y>", 3,
       " *** ERROR: errors detected in input xml file ({F}) (3)\n"},
      {"unclosed root", "<kpm><name>x</name>", 3, " *** ERROR: errors detected in input xml file ({F}) (3)\n"},
      {"empty file", "", 4, " *** ERROR: file ({F}) not in xml format (4)\n"},
      {"no markup", "just text\n", 4, " *** ERROR: file ({F}) not in xml format (4)\n"},
      {"stray end tag", "</kpm>", 4, " *** ERROR: file ({F}) not in xml format (4)\n"},
      {"declaration first", "<?xml version=\"1.0\"?>" + with_conditions(""), 5,
       " *** ERROR: file ({F}) does not start with <kpm> tag (processing instruction) (5)\n"},
      {"comment first", "<!-- x -->" + with_conditions(""), 5,
       " *** ERROR: file ({F}) does not start with <kpm> tag (comment) (5)\n"},
      {"other root", "<Study><name>x</name></Study>", 5,
       " *** ERROR: file ({F}) does not start with <kpm> tag (study) (5)\n"},
      {"unknown child of kpm", "<kpm><Remarks/></kpm>", 6, " *** ERROR: Unknown tag <remarks> in file {F} (6)\n"},
      {"processing instruction in kpm", "<kpm><?pi x?></kpm>", 6,
       " *** ERROR: Unknown tag <processing instruction> in file {F} (6)\n"},
      {"unknown in operational conditions",
       "<kpm><operational_conditions><cond>x</cond></operational_conditions></kpm>", 6,
       " *** ERROR: Unknown tag <cond> in file {F} (6)\n"},
      {"unknown in ambient conditions", "<kpm><ambient_conditions><Name/><x/></ambient_conditions></kpm>", 6,
       " *** ERROR: Unknown tag <x> in file {F} (6)\n"},
      {"unknown in load", with_conditions("<load>" + lf + "<Weight>3</Weight></load>"), 6,
       " *** ERROR: Unknown tag <weight> in file {F} (6)\n"},
      {"cdata in load", with_conditions("<load><![CDATA[x]]>" + lf + "</load>"), 6,
       " *** ERROR: Unknown tag <cdata> in file {F} (6)\n"},
      {"lf attribute in capitals", with_conditions("<load><lf OC=\"o\" ac=\"a\">0.5</lf></load>"), 6,
       " *** ERROR: Unknown <lf> name token (OC) in file {F} (6)\n"},
      {"lf other attribute", with_conditions("<load><lf oc=\"o\" ac=\"a\" x=\"1\">0.5</lf></load>"), 6,
       " *** ERROR: Unknown <lf> name token (x) in file {F} (6)\n"},
      {"lf without ac", with_conditions("<load><lf oc=\"o\">0.5</lf></load>"), 6,
       " *** ERROR: oc and/or ac not defined for <lf> in file {F} (6)\n"},
      {"lf oc without value", with_conditions("<load><lf ac=\"a\" oc>0.5</lf></load>"), 6,
       " *** ERROR: oc and/or ac not defined for <lf> in file {F} (6)\n"},
      {"load without load factors", with_conditions("<load><name>L</name><!-- none --></load>"), 6,
       " *** ERROR: no load factors defined for a load in file {F} (6)\n"},
      {"error in the first load stops the walk", with_conditions("<load><x/></load><load><y/></load>"), 6,
       " *** ERROR: Unknown tag <x> in file {F} (6)\n"},
      {"no operational condition", "<kpm><ambient_conditions><name>a</name></ambient_conditions></kpm>", 1,
       " *** ERROR: No Operational Conditions defined\n"},
      {"blank condition names make none",
       "<kpm><operational_conditions><name> </name><name/></operational_conditions></kpm>", 1,
       " *** ERROR: No Operational Conditions defined\n"},
      {"no ambient condition", "<kpm><operational_conditions><name>o</name></operational_conditions></kpm>", 1,
       " *** ERROR: No Ambient Conditions defined\n"},
      {"oc differs in case", with_conditions("<load><name>L</name><lf oc=\"O\" ac=\"a\">0.5</lf></load>"), 1,
       " *** ERROR: Load (L) Operational Condition (O) not defined\n"},
      {"empty oc value", with_conditions("<load><lf oc=\"\" ac=\"a\">0.5</lf></load>"), 1,
       " *** ERROR: Load ((null)) Operational Condition () not defined\n"},
      {"unknown ac", with_conditions("<load><name>L</name><lf oc=\"o\" ac=\"b\">0.5</lf></load>"), 1,
       " *** ERROR: Load (L) Ambient Condition (b) not defined\n"},
      {"lf above 1", with_conditions("<load><name>L</name><lf oc=\"o\" ac=\"a\">1.5</lf></load>"), 1,
       " *** ERROR: Illegal Load factor (1.500000) for Load (L) OC = (o) AC = (a)\n"},
      {"lf nan", with_conditions("<load><name>L</name><lf oc=\"o\" ac=\"a\"> NaN</lf></load>"), 1,
       " *** ERROR: Illegal Load factor (nan) for Load (L) OC = (o) AC = (a)\n"},
      {"lf empty element keeps -1", with_conditions("<load><name>L</name><lf oc=\"o\" ac=\"a\"/></load>"), 1,
       " *** ERROR: Illegal Load factor (-1.000000) for Load (L) OC = (o) AC = (a)\n"},
      {"lf above peak", with_conditions("<load><name>L</name><peak_fraction>0.4</peak_fraction>" + lf + "</load>"), 1,
       " *** ERROR: Illegal Load factor (0.500000) > peak fracktion (0.400000) for Load (L) OC = (o) AC = (a)\n"},
      {"connected load below 0",
       with_conditions("<load><name>L</name><connected_load>-5 kW</connected_load>" + lf + "</load>"), 1,
       " *** ERROR: Illegal Connected Load (-5.000000) for Load (L)\n"},
      {"connected load inf",
       with_conditions("<load><name>L</name><connected_load>inf</connected_load>" + lf + "</load>"), 1,
       " *** ERROR: Illegal Connected Load (inf) for Load (L)\n"},
      {"connected load nan",
       with_conditions("<load><name>L</name><connected_load>-nan</connected_load>" + lf + "</load>"), 1,
       " *** ERROR: Illegal Connected Load (-nan) for Load (L)\n"},
      {"peak fraction above 1",
       with_conditions("<load><name>L</name><peak_fraction>1.5</peak_fraction>" + lf + "</load>"), 1,
       " *** ERROR: Illegal peak fraction (1.500000) for Load (L)\n"},
      {"peak fraction nan", with_conditions("<load><name>L</name><peak_fraction>nan</peak_fraction>" + lf + "</load>"),
       1, " *** ERROR: Illegal peak fraction (nan) for Load (L)\n"},
      {"power factor empty text", with_conditions("<load><name>L</name><pf></pf>" + lf + "</load>"), 1,
       " *** ERROR: Illegal power factor (0.000000) for Load (L)\n"},
      {"power factor 1.01", with_conditions("<load><name>L</name><pf>1.01</pf>" + lf + "</load>"), 1,
       " *** ERROR: Illegal power factor (1.010000) for Load (L)\n"},
      {"power factor nan", with_conditions("<load><name>L</name><pf>NAN(1)</pf>" + lf + "</load>"), 1,
       " *** ERROR: Illegal power factor (nan) for Load (L)\n"},
      {"last load in the file is reported",
       with_conditions("<load><name>L1</name><pf>0</pf>" + lf + "</load><load><name>L2</name><pf>2</pf>" + lf +
                       "</load>"),
       1, " *** ERROR: Illegal power factor (2.000000) for Load (L2)\n"},
  };
  for (const Case &c : cases) {
    int status = read(c.text);
    std::string err = replace_all(c.err, "{F}", path_);
    EXPECT_EQ(status, c.status) << c.what;
    EXPECT_EQ(err_, err) << c.what;
    // Reading errors end before the preparation's progress line.
    EXPECT_EQ(out_, c.status == 1 ? "Preparing input for calculations\n" : "") << c.what;

    std::string run_err;
    EXPECT_EQ(run_program("study.xml", &run_err), 1) << c.what;
    std::string expected =
        replace_all(c.err, "{F}", "study.xml") + " *** Error in read_xml_file(" + std::to_string(c.status) + ")\n";
    EXPECT_EQ(run_err, expected) << c.what;
  }
}

// Large studies are mapped while they are read, on a thread of its own when
// there is more than one processor: the outcome must not depend on it, also
// when a child far down fails and must be reported in its place.
TEST_F(Reader, SameOutcomeMappedOnOneThreadOrTwo) {
  auto loads = [](int count, int bad_at, const char *bad) {
    std::string s;
    for (int i = 0; i < count; i++)
      s += "<load><name>L" + std::to_string(i) + "</name>" + (i == bad_at ? bad : "") +
           "<lf oc=\"o\" ac=\"a\">0.5</lf></load>";
    return s;
  };
  struct Case {
    const char *what;
    std::string text;
    int status;
  };
  const Case cases[] = {
      {"all good", with_conditions(loads(5000, -1, "")), 0},
      {"unknown tag far down", with_conditions(loads(5000, 4321, "<x/>")), 6},
      {"unknown tag in the first", with_conditions(loads(300, 0, "<x/>")), 6},
      {"unknown tag in the last", with_conditions(loads(300, 299, "<x/>")), 6},
      {"two bad loads: the first counts", with_conditions(loads(300, 100, "<x/>") + loads(300, 5, "<y/>")), 6},
      {"conditions after a bad load", "<kpm>" + loads(200, 150, "<x/>") + with_conditions("").substr(5), 6},
      {"XML error after a bad load", with_conditions(loads(300, 10, "<x/>") + "<load></lood>"), 3},
      {"bad value checked after reading", with_conditions(loads(3000, 2999, "<pf>2</pf>")), 1},
      // Commented-out loads stay out, however the comment fails.
      {"loads in an over-long comment", with_conditions(loads(300, -1, "") + "<!--" + loads(2000, -1, "") + "-->"), 3},
      {"loads in a comment holding a comment",
       with_conditions(loads(300, -1, "") + "<!-- old <!-- note -->" + loads(10, -1, "") + "-->" + loads(300, -1, "")),
       3},
      {"a failed item far down", with_conditions(loads(3000, 2500, "<!>")), 3},
      {"a failed item after the root", with_conditions(loads(300, -1, "")) + "<!>", 3},
      {"an unclosed comment after the root", with_conditions(loads(300, -1, "")) + "<!-- open", 0},
  };
  for (const Case &c : cases) {
    // One thread, two threads, and the debug run that maps after reading.
    int status[3];
    std::string err[3], names[3];
    for (int run = 0; run < 3; run++) {
      set_calc_workers(run == 1 ? 2 : 1);
      status[run] = read(c.text, run == 2);
      err[run] = err_;
      for (Load *ld = z_.ld; ld; ld = ld->next) names[run] += std::string(ld->name) + ",";
    }
    set_calc_workers(0);
    EXPECT_EQ(status[0], c.status) << c.what;
    for (int run = 1; run < 3; run++) {
      EXPECT_EQ(status[run], status[0]) << c.what << " run " << run;
      EXPECT_EQ(err[run], err[0]) << c.what << " run " << run;
    }
    // The model after a failure is never used; only the mapping runs share it.
    EXPECT_EQ(names[1], names[0]) << c.what;
  }
}

// Load factors share the copies of condition names; a tool that releases a
// study's memory and reads another must not get names of the first.
TEST_F(Reader, ConditionNamesOfAReleasedStudyAreNotReused) {
  ASSERT_EQ(read(with_conditions("<load><lf oc=\"o\" ac=\"a\">0.5</lf><lf oc=\"o\" ac=\"a\">0.5</lf></load>")), 0);
  EXPECT_EQ(z_.ld->lf->oc_name, z_.ld->lf->next->oc_name); // one copy
  release_study_memory();
  ASSERT_EQ(read(with_conditions("<load><lf ac=\"a\" oc=\"o\">0.25</lf></load>")), 0);
  EXPECT_STREQ(z_.ld->lf->oc_name, "o");
  EXPECT_STREQ(z_.ld->lf->ac_name, "a");
  EXPECT_EQ(z_.ld->lf->oc, z_.oc);
}

TEST_F(Reader, ErrorsBeforeTheFileIsRead) {
  CaptureStderr();
  EXPECT_EQ(read_xml_file(nullptr), -1);
  EXPECT_EQ(GetCapturedStderr(), " *** ERROR: Null pointer in read_xml_FILE (-1)\n");

  LoadStudy z;
  memset(&z, 0, sizeof z);
  CaptureStderr();
  EXPECT_EQ(read_xml_file(&z), 1);
  EXPECT_EQ(GetCapturedStderr(), " *** ERROR: input xml file not specified on command line (1)\n");

  std::string missing = dir_ + "/nosuch.xml";
  z.xmlfile = &missing[0];
  CaptureStderr();
  EXPECT_EQ(read_xml_file(&z), 2);
  EXPECT_EQ(GetCapturedStderr(), " *** ERROR: unable to open input xml file (" + missing + ") (2)\n");
}

TEST_F(Reader, RepeatedPairReportedAndLatestValueUsed) {
  std::string lfs;
  for (int i = 1; i <= 3; i++) lfs += "<lf oc=\"o\" ac=\"a\">0." + std::to_string(i) + "</lf>";
  ASSERT_EQ(read(with_conditions("<load><name>L</name>" + lfs + "</load>")), 0);
  std::string line = " *** ERROR: Load (L) loadfactor defined multiple times for OC = o AC = a\n";
  EXPECT_EQ(err_, line + line + line);
  ASSERT_EQ(z_.r->nbr_lf, 1);
  EXPECT_EQ(z_.r->lfs[0]->loadfactor, 0.3);

  std::string run_err;
  EXPECT_EQ(run_program("-oout.csv study.xml", &run_err), 0);
  EXPECT_EQ(run_err, line + line + line);
}

TEST_F(Reader, StudyNameIsTheFirstNonEmptyOne) {
  ASSERT_EQ(read("<kpm><name/><name> </name><name>First</name><NAME>Second</NAME>" + with_conditions("").substr(5)), 0);
  EXPECT_STREQ(z_.name, "First");
  ASSERT_EQ(read(with_conditions("")), 0);
  EXPECT_EQ(z_.name, nullptr);
}

TEST_F(Reader, ConditionsAndTheirOrders) {
  ASSERT_EQ(read("<KPM><Operational_Conditions>"
                 "<name order=\"3\">three</name><c>skip</c><!-- skip -->"
                 "<name ORDER=\"5\">caps</name>"
                 "<name order>bare</name>"
                 "<name order=\"5\" x=\"1\" order=\"-2\">last wins</name>"
                 "<name order=\"99999999999\">huge</name>"
                 "<name order=\"-99999999999\">tiny</name>"
                 "<name order=\" +12abc\">prefix</name>"
                 "<name order=\"abc\">none</name>"
                 "<name order=\"1\"> </name>"
                 "</Operational_Conditions>"
                 "<operational_conditions><name order=\"1\">Three</name></operational_conditions>"
                 "<ambient_conditions><comment/><name>a</name></ambient_conditions></KPM>"),
            0);
  EXPECT_EQ(z_.nbr_oc, 9);
  std::string got;
  for (OperationalCondition *oc = z_.oc; oc; oc = oc->next)
    got += std::string(oc->name) + "=" + std::to_string(oc->order) + " ";
  EXPECT_EQ(got, "tiny=" + std::to_string(INT_MIN) +
                     " last wins=-2 caps=0 bare=0 none=0 Three=1 three=3 prefix=12 huge=" + std::to_string(INT_MAX) +
                     " ");
  EXPECT_EQ(z_.nbr_ac, 1);
}

TEST_F(Reader, LoadValues) {
  ASSERT_EQ(read(with_conditions("<LOAD><Name>first</Name><name>L</name><swbs/><c/>"
                                 "<connected_load>100 kW</connected_load><connected_load/>"
                                 "<peak_fraction>0x0.8p0</peak_fraction>"
                                 "<pf>5e-1</pf><pf/>"
                                 "<lf oc=\"x\" oc=\"o\" ac=\"a\">  .25xyz</lf>"
                                 "<lf ac=\"a\" oc=\"o\">0</lf>"
                                 "</LOAD>"
                                 "<load><swbs></swbs><lf oc=\"o\" ac=\"a\">1</lf></load>"
                                 "<load><swbs>1</swbs><lf oc=\"o\" ac=\"a\">1</lf></load>")),
            0)
      << err_;
  ASSERT_EQ(z_.nbr_ld, 3);
  Load *l3 = z_.ld, *l2 = l3->next, *l1 = l2->next;
  EXPECT_STREQ(l1->name, "L");
  EXPECT_EQ(l1->swbs, nullptr);
  EXPECT_EQ(l1->connected_load, 100.0);
  EXPECT_EQ(l1->peak_fraction, 0.5);
  EXPECT_EQ(l1->power_factor, 0.5);
  ASSERT_NE(l1->lf, nullptr);
  EXPECT_EQ(l1->lf->loadfactor, 0.0); // latest in the file first
  EXPECT_EQ(l1->lf->next->loadfactor, 0.25);
  EXPECT_STREQ(l1->lf->next->oc_name, "o");
  EXPECT_EQ(l2->name, nullptr);
  EXPECT_STREQ(l2->swbs, "");
  EXPECT_EQ(l2->connected_load, 0.0);
  EXPECT_EQ(l2->peak_fraction, 1.0);
  EXPECT_EQ(l2->power_factor, 1.0);
  EXPECT_STREQ(l3->swbs, "1");
  EXPECT_EQ(err_, " *** ERROR: Load (L) loadfactor defined multiple times for OC = o AC = a\n");
}

TEST_F(Reader, ItemsAfterTheRootAreIgnored) {
  EXPECT_EQ(read(with_conditions("") + "<other><x/></other><!-- end -->"), 0);
  EXPECT_EQ(err_, "");
}

// With -d: the markers after the XML reader's trace, the progress line, the
// preparation's trace and " err = %d" before the dump.
TEST_F(Reader, DebugOutputOfTheExampleStudy) {
  ASSERT_EQ(read(kExample, 1), 0);
  const std::string xml_end = "[Exiting readfile_XMLENTITY: *errflag = 0]\n";
  size_t from = out_.find(xml_end);
  ASSERT_NE(from, std::string::npos);
  EXPECT_EQ(out_.compare(0, 30, "[Entering readfile_XMLENTITY: "), 0);
  size_t to = out_.find(" err = 0\n");
  ASSERT_NE(to, std::string::npos);
  EXPECT_EQ(out_.substr(from + xml_end.size(), to + 9 - from - xml_end.size()),
            "$$noalflfPreparing input for calculations\n"
            "+z->nbr_ld = 2\n"
            "ld->name = A\n"
            "ld->name = B\n"
            "+ac summer order 1\n"
            "\n"
            "ac->name = summer\n"
            "+l = A\n"
            "LF load = A lf->oc_name = cruise lf->ac_name = summer\n"
            "\no(cruise)(cruise)\na(summer)(summer)#@"
            "l = B\n"
            "LF load = B lf->oc_name = cruise lf->ac_name = summer\n"
            "\no(cruise)(cruise)\na(summer)(summer)#@"
            " allocating the results structures \n"
            "ac->name = summer\n"
            "r->oc->name = cruise r->ac->name = summer z->nbr_ld = 2\n"
            "R r->oc->name = cruise  r->ac->name = summer  r->nbr_lf = 2\n"
            " err = 0\n");
  const std::string dump_start = "z->xmlfile = " + path_ + "\n";
  EXPECT_EQ(out_.compare(to + 9, dump_start.size(), dump_start), 0);
  EXPECT_EQ(xml_verbose, 1);
}

TEST_F(Reader, DebugMarkersUpToEachError) {
  struct Case {
    std::string text;
    const char *tail; // stdout after the XML reader's trace
  };
  const Case cases[] = {
      {"<kpm", "$"},
      {"<x/>", "$"},
      {"<kpm><name>n</name><load/></kpm>", "$$nl"},
      {with_conditions("<load><lf oc=\"o\">1</lf></load>"), "$$oalf"},
      {"<kpm><ambient_conditions><name>a</name></ambient_conditions></kpm>",
       "$$aPreparing input for calculations\n+z->nbr_ld = 0\n err = 1\n"},
  };
  for (const Case &c : cases) {
    read(c.text, 1);
    const std::string xml_end = "[Exiting readfile_XMLENTITY: *errflag = ";
    size_t from = out_.find(xml_end);
    ASSERT_NE(from, std::string::npos);
    from = out_.find('\n', from) + 1;
    std::string tail = out_.substr(from);
    size_t dump = tail.find("z->xmlfile = ");
    if (dump != std::string::npos) tail.resize(dump);
    EXPECT_EQ(tail, c.tail) << c.text;
  }
}

} // namespace
