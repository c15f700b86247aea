// kpm-summary's figures: the governing pair, the largest margin, the
// largest loads, SWBS groups, margins and the tidy table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "calc/calc.h"
#include "tools/summary/summary.h"
#include "tools/common/tool.h"

namespace {

// A study file read, prepared and calculated as kpm-summary does it.
struct Calculated {
  LoadStudy z{};
  Summary s{};
  std::string path;

  explicit Calculated(const std::string &xml) {
    path = testing::TempDir() + "summary_model_" + std::to_string(getpid()) + ".xml";
    FILE *f = fopen(path.c_str(), "w");
    fputs(xml.c_str(), f);
    fclose(f);
    EXPECT_EQ(tool_load_study(&z, path.c_str()), 0);
    EXPECT_EQ(calc_kpm(&z), 0);
    summary_build(&s, &z);
  }
  ~Calculated() {
    summary_release(&s);
    release_study_memory();
    unlink(path.c_str());
  }
  const Results *pair(int p) const { return s.pairs[p]; }
};

// <load> elements: swbs, name, connected load, peak fraction, then one load
// factor per pair "oc/ac=value".
std::string load(const char *swbs, const char *name, double cl, double pf, const std::vector<std::string> &lfs) {
  std::string x = "<load>";
  if (swbs) x += std::string("<swbs>") + swbs + "</swbs>";
  if (name) x += std::string("<name>") + name + "</name>";
  x += "<connected_load>" + std::to_string(cl) + "</connected_load><peak_fraction>" + std::to_string(pf) +
       "</peak_fraction>";
  for (const std::string &lf : lfs) {
    size_t slash = lf.find('/'), eq = lf.find('=');
    x += "<lf oc=\"" + lf.substr(0, slash) + "\" ac=\"" + lf.substr(slash + 1, eq - slash - 1) + "\">" +
         lf.substr(eq + 1) + "</lf>";
  }
  return x + "</load>\n";
}

std::string study(const std::string &conditions, const std::string &loads) {
  return "<kpm><name>Test</name>" + conditions + loads + "</kpm>\n";
}

TEST(SummaryGoverning, TheLargestPairGovernsAndTheFirstInReportOrderWinsATie) {
  // A/x and B/x carry the same loads: their totals are equal.
  std::string loads = load("1", "P", 100, 0.9, {"A/x=0.5", "B/x=0.5", "A/y=0", "B/y=0"}) +
                      load("2", "Q", 20, 1.0, {"A/x=0.8", "B/x=0.8", "A/y=0.1", "B/y=0.2"});
  {
    Calculated c(study("<operational_conditions><name order=\"1\">A</name><name order=\"2\">B</name>"
                       "</operational_conditions><ambient_conditions><name order=\"1\">x</name>"
                       "<name order=\"2\">y</name></ambient_conditions>",
                       loads));
    ASSERT_EQ(c.s.nbr_pairs, 4);
    ASSERT_EQ(c.pair(0)->total_operating_load, c.pair(2)->total_operating_load);
    EXPECT_EQ(c.s.governing, 0); // A/x
    EXPECT_EQ(c.s.runner_up, 2); // B/x, by 0 kW
  }
  {
    // B sorts first now, although A stands first in the file.
    Calculated c(study("<operational_conditions><name order=\"2\">A</name><name order=\"1\">B</name>"
                       "</operational_conditions><ambient_conditions><name order=\"1\">x</name>"
                       "<name order=\"2\">y</name></ambient_conditions>",
                       loads));
    EXPECT_STREQ(c.pair(c.s.governing)->oc->name, "B");
    EXPECT_STREQ(c.pair(c.s.governing)->ac->name, "x");
    EXPECT_STREQ(c.pair(c.s.runner_up)->oc->name, "A");
  }
}

TEST(SummaryGoverning, OnePairHasNoRunnerUp) {
  Calculated c(study("<operational_conditions><name>o</name></operational_conditions>"
                     "<ambient_conditions><name>a</name></ambient_conditions>",
                     load("1", "L", 10, 1, {"o/a=0.5"})));
  EXPECT_EQ(c.s.governing, 0);
  EXPECT_EQ(c.s.runner_up, -1);
  EXPECT_EQ(c.s.nbr_loads, 1);
  EXPECT_EQ(c.s.connected_load, 10);
}

TEST(SummaryMargin, TheTotalIsTheOperatingLoadsInOrderPlusTheLargestMargin) {
  struct Case {
    const char *what;
    std::string loads;
    double margin;
  } cases[] = {
      {"both interpolate", load("101", "A", 100, 0.5, {"o/a=0.4"}) + load("102", "B", 50, 0.8, {"o/a=0.6"}),
       (0.8 - (0.2 * 40 / 70 + 0.6)) * 50},
      {"one takes its peak", load("101", "A", 100, 0.9, {"o/a=0.5"}) + load("102", "B", 20, 1.0, {"o/a=0.8"}),
       (1.0 - (0.2 * 20 / 66 + 0.8)) * 20},
      {"a lone load at its peak", load("101", "A", 100, 0.9, {"o/a=0.5"}), 0.0},
      {"nothing runs", load("101", "A", 100, 0.9, {"o/a=0"}), 0.0},
  };
  for (const Case &k : cases) {
    Calculated c(study("<operational_conditions><name>o</name></operational_conditions>"
                       "<ambient_conditions><name>a</name></ambient_conditions>",
                       k.loads));
    const Results *rs = c.pair(0);
    EXPECT_NEAR(c.s.margin[0], k.margin, 1e-12) << k.what;
    double sum = 0;
    for (int i = 0; i < rs->nbr_lf; i++) sum += rs->lfs[i]->kpm_load;
    EXPECT_EQ(sum + c.s.margin[0], rs->total_operating_load) << k.what; // exactly, as kpm adds them
  }
}

TEST(SummaryTopLoads, AgreesWithAFullSortAndKeepsReportOrderOnTies) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 50; trial++) {
    int loads = 1 + (int)(random() % 300);
    std::vector<Load> ld(loads);
    std::vector<LoadFactor> lf(loads);
    std::vector<LoadFactor *> lfs(loads);
    for (int i = 0; i < loads; i++) {
      lf[i].ld = &ld[i];
      // Few distinct values, so that ties are common; about one load in four idle.
      int idle = random() % 4 == 0;
      lf[i].lf_load = idle ? 0.0 : 1.0;
      lf[i].kpm_load = idle ? 0.0 : (double)(random() % 6);
      lfs[i] = &lf[i];
    }
    Results rs{};
    rs.lfs = lfs.data();
    rs.nbr_lf = loads;
    std::vector<int> expected;
    for (int i = 0; i < loads; i++)
      if (lf[i].lf_load > 0) expected.push_back(i);
    std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) { return lf[a].kpm_load > lf[b].kpm_load; });
    for (int n : {0, 1, 3, 10, loads, loads + 5}) {
      std::vector<int> got(n > 0 ? n : 1);
      int count = summary_top_loads(&rs, n, got.data());
      std::vector<int> want(expected.begin(), expected.begin() + std::min<size_t>(expected.size(), n));
      got.resize(count);
      EXPECT_EQ(got, want) << "trial " << trial << ", top " << n;
    }
  }
}

TEST(SummaryGroups, CodesAreCutByCharactersAndLoadsWithoutACodeShareTheLastGroup) {
  // The loads stand in the reverse of file order: the last load listed is the first in lfs.
  std::string loads = load("512", "a", 10, 1, {"o/a=0.5"}) + load("5", "b", 20, 1, {"o/a=0.5"}) +
                      load("", "c", 30, 1, {"o/a=0.5"}) + load(nullptr, "d", 40, 1, {"o/a=0.5"}) +
                      load("\xC3\xA4"
                           "12",
                           "e", 50, 1, {"o/a=0.5"}) +
                      load("\xFF"
                           "12",
                           "f", 60, 1, {"o/a=0.5"}) +
                      load("431", "g", 70, 1, {"o/a=0"}) + load("51", "h", 80, 1, {"o/a=0.5"});
  struct Case {
    int digits;
    std::vector<std::string> keys; // "-" for loads without a code
    std::vector<double> loads;     // each group's operating load under the pair
  };
  Calculated c(study("<operational_conditions><name>o</name></operational_conditions>"
                     "<ambient_conditions><name>a</name></ambient_conditions>",
                     loads));
  const Results *rs = c.pair(0);
  auto kpm_of = [&](const char *name) {
    for (int i = 0; i < rs->nbr_lf; i++)
      if (std::string(rs->lfs[i]->ld->name) == name) return rs->lfs[i]->kpm_load;
    return -1.0;
  };
  double a = kpm_of("a"), b = kpm_of("b"), cc = kpm_of("c"), d = kpm_of("d"), e = kpm_of("e"), f = kpm_of("f"),
         h = kpm_of("h");
  Case cases[] = {
      {1, {"4", "5", "\xC3\xA4", "\xFF", "-"}, {0, h + b + a, e, f, d + cc}},
      {2,
       {"43", "5", "51",
        "\xC3\xA4"
        "1",
        "\xFF"
        "1",
        "-"},
       {0, b, h + a, e, f, d + cc}},
      {9,
       {"431", "5", "51", "512",
        "\xC3\xA4"
        "12",
        "\xFF"
        "12",
        "-"},
       {0, b, h, a, e, f, d + cc}},
  };
  for (const Case &k : cases) {
    summary_release(&c.s);
    summary_build(&c.s, &c.z);
    summary_group_loads(&c.s, k.digits);
    std::vector<std::string> keys;
    for (int g = 0; g < c.s.nbr_groups; g++)
      keys.push_back(c.s.groups[g].key ? std::string(c.s.groups[g].key, c.s.groups[g].length) : "-");
    EXPECT_EQ(keys, k.keys) << k.digits << " digits";
    std::vector<GroupShare> shares(c.s.nbr_groups);
    int n = summary_pair_groups(&c.s, 0, shares.data());
    ASSERT_EQ(n, (int)k.loads.size()) << k.digits << " digits";
    for (int i = 0; i < n; i++) {
      EXPECT_EQ(shares[i].group, i);
      EXPECT_DOUBLE_EQ(shares[i].load, k.loads[i]) << k.digits << " digits, group " << k.keys[i];
    }
  }
}

TEST(SummaryMargins, AreCompoundedInTurnAndLabelledWithTheirSign) {
  const double margins[] = {10, 20, -2.5};
  double steps[4];
  summary_margin_steps(100, margins, 3, steps);
  EXPECT_DOUBLE_EQ(steps[1], 110);
  EXPECT_DOUBLE_EQ(steps[2], 132);
  EXPECT_DOUBLE_EQ(steps[3], 128.7);
  char label[32];
  const struct {
    double percent;
    const char *label;
  } labels[] = {{10, "+10 %"}, {12.5, "+12.5 %"}, {-2.5, "-2.5 %"}, {-0.0, "+0 %"}};
  for (const auto &l : labels) {
    summary_margin_label(label, sizeof label, l.percent);
    EXPECT_STREQ(label, l.label);
  }
}

std::string csv_of(void (*write)(FILE *, const Summary *), const Summary *s) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  write(f, s);
  fclose(f);
  std::string text(buf, size);
  free(buf);
  return text;
}

TEST(SummaryCsv, TidyRowsQuoteTextsAndLeaveMissingOnesEmpty) {
  Calculated c(study("<operational_conditions><name>cruise</name></operational_conditions>"
                     "<ambient_conditions><name>summer</name></ambient_conditions>",
                     load(nullptr, nullptr, 50, 0.8, {"cruise/summer=0.6"}) +
                         load("101", "A, \"big\"", 100, 0.5, {"cruise/summer=0.4"})));
  EXPECT_EQ(csv_of(summary_write_rows_csv, &c.s),
            "operational_condition,ambient_condition,swbs,load,connected_load_kw,peak_fraction,load_factor,"
            "load_factor_load_kw,operating_factor,operating_load_kw\r\n"
            "\"cruise\",\"summer\",\"101\",\"A, \"\"big\"\"\",100,0.5,0.4,40,0.4714285714285714,47.14285714285714\r\n"
            "\"cruise\",\"summer\",\"\",\"\",50,0.8,0.6,30,0.7142857142857143,35.714285714285715\r\n");
  EXPECT_EQ(csv_of(summary_write_totals_csv, &c.s),
            "operational_condition,ambient_condition,total_connected_load_kw,total_load_factor_load_kw,"
            "total_operating_load_kw,total_lf,total_kpm,largest_margin_kw,loads,running_loads,governing\r\n"
            "\"cruise\",\"summer\",150,70,87.14285714285715,0.4666666666666667,0.580952380952381,"
            "4.285714285714287,2,2,1\r\n");
}

} // namespace
