// The load calculation on hand-built studies.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "calc/calc.h"
#include "tests/calc/model_builder.h"

namespace {

struct PairFigures {
  const char *connected, *lf_load, *operating, *total_lf, *total_kpm;
};

void expect_totals(const Results *r, const PairFigures &f) {
  EXPECT_EQ(fixed6(r->total_connected_load), f.connected);
  EXPECT_EQ(fixed6(r->total_lf_load), f.lf_load);
  EXPECT_EQ(fixed6(r->total_operating_load), f.operating);
  EXPECT_EQ(fixed6(r->total_lf), f.total_lf);
  EXPECT_EQ(fixed6(r->total_kpm), f.total_kpm);
}

void expect_load(const LoadFactor *lf, const char *lf_load, const char *kpm, const char *kpm_load) {
  EXPECT_EQ(fixed6(lf->lf_load), lf_load) << lf->ld->name;
  EXPECT_EQ(fixed6(lf->kpm), kpm) << lf->ld->name;
  EXPECT_EQ(fixed6(lf->kpm_load), kpm_load) << lf->ld->name;
}

TEST(LoadCalculation, WorkedExampleInterpolatesBothLoadsAndAddsTheLargerMargin) {
  ModelBuilder m;
  Results *r = build_worked_example(m);
  ASSERT_EQ(calc_kpm(&m.z), 0);
  expect_load(r->lfs[0], "40.000000", "0.471429", "47.142857");
  expect_load(r->lfs[1], "30.000000", "0.714286", "35.714286");
  expect_totals(r, {"150.000000", "70.000000", "87.142857", "0.466667", "0.580952"});

  // A second run recomputes everything from the inputs.
  Results before = *r;
  ASSERT_EQ(calc_kpm(&m.z), 0);
  EXPECT_EQ(r->total_operating_load, before.total_operating_load);
  EXPECT_EQ(r->total_kpm, before.total_kpm);
  EXPECT_EQ(r->lfs[0]->kpm, (0.5 - 0.4) * 50 / 70 + 0.4); // in exactly this order
}

TEST(LoadCalculation, LoadWhosePeakExceedsTheTotalTakesItsPeakFraction) {
  ModelBuilder m;
  Results *r = m.add_pair(m.add_oc("cruise", 1), m.add_ac("summer", 1),
                          {{"101", "A", 100, 0.9, 0.5}, {"102", "B", 20, 1.0, 0.8}});
  ASSERT_EQ(calc_kpm(&m.z), 0);
  expect_load(r->lfs[0], "50.000000", "0.900000", "90.000000");
  expect_load(r->lfs[1], "16.000000", "0.860606", "17.212121");
  expect_totals(r, {"120.000000", "66.000000", "110.000000", "0.550000", "0.916667"});
}

TEST(LoadCalculation, IdleLoadCountsNowhereAndTheOtherTakesThePeakCase) {
  ModelBuilder m;
  Results *r = m.add_pair(m.add_oc("cruise", 1), m.add_ac("summer", 1),
                          {{"101", "A", 100, 0.5, 0.4}, {"102", "B", 50, 0.8, 0.0}});
  ASSERT_EQ(calc_kpm(&m.z), 0);
  expect_load(r->lfs[0], "40.000000", "0.500000", "50.000000");
  expect_load(r->lfs[1], "0.000000", "0.000000", "0.000000");
  expect_totals(r, {"100.000000", "40.000000", "50.000000", "0.400000", "0.500000"});
}

TEST(LoadCalculation, LargestMarginIsAddedOnceEvenWhenShared) {
  ModelBuilder m;
  Results *r =
      m.add_pair(m.add_oc("cruise", 1), m.add_ac("summer", 1), {{"1", "A", 100, 0.5, 0.4}, {"2", "B", 100, 0.5, 0.4}});
  ASSERT_EQ(calc_kpm(&m.z), 0);
  // 46.25 + 46.25 + one margin of 3.75
  EXPECT_EQ(r->total_operating_load, 96.25);
  EXPECT_EQ(r->lfs[0]->kpm, 0.4625);
}

TEST(LoadCalculation, PairWhereEveryLoadPeaksAddsNoMargin) {
  ModelBuilder m;
  Results *r = m.add_pair(m.add_oc("cruise", 1), m.add_ac("summer", 1), {{"1", "A", 100, 0.8, 0.5}});
  ASSERT_EQ(calc_kpm(&m.z), 0);
  EXPECT_EQ(r->total_operating_load, 80.0);
  EXPECT_EQ(r->total_kpm, 0.8);
  EXPECT_EQ(r->lfs[0]->kpm, 0.8);
}

TEST(LoadCalculation, PeakEqualToTheTotalInterpolatesRatherThanPeaks) {
  // A's peak load 90 equals the pair's total 20 + 70 exactly; the peak case
  // would give exactly 0.9 and 90, interpolation rounds just below.
  ModelBuilder m;
  Results *r =
      m.add_pair(m.add_oc("cruise", 1), m.add_ac("summer", 1), {{"1", "A", 100, 0.9, 0.2}, {"2", "B", 100, 0.7, 0.7}});
  ASSERT_EQ(calc_kpm(&m.z), 0);
  ASSERT_EQ(r->total_lf_load, 90.0);
  EXPECT_EQ(r->lfs[0]->kpm, 0.8999999999999999);
  EXPECT_EQ(r->lfs[0]->kpm_load, 89.99999999999999);
  EXPECT_EQ(r->lfs[1]->kpm, 0.7); // peak load 70 below 90, lf = peak fraction: no margin
  EXPECT_EQ(r->total_operating_load, 160.0);
}

TEST(LoadCalculation, ThresholdItselfIsIdleAndAnythingAboveRuns) {
  const double just_above = std::nextafter(KPM_RUNNING_THRESHOLD, 1.0);
  struct Case {
    double loadfactor;
    bool runs;
  } cases[] = {{KPM_RUNNING_THRESHOLD, false}, {just_above, true}, {0.000005, false}, {0.0, false}};
  for (const Case &c : cases) {
    ModelBuilder m;
    Results *r = m.add_pair(m.add_oc("o", 1), m.add_ac("a", 1), {{"1", "A", 1.0, 1.0, c.loadfactor}});
    ASSERT_EQ(calc_kpm(&m.z), 0);
    LoadFactor *lf = r->lfs[0];
    EXPECT_EQ(lf->lf_load, c.loadfactor); // kept even when idle
    if (c.runs) {
      EXPECT_EQ(r->total_connected_load, 1.0) << c.loadfactor;
      EXPECT_EQ(lf->kpm, 1.0) << c.loadfactor;
    } else {
      EXPECT_EQ(r->total_connected_load, 0.0) << c.loadfactor;
      EXPECT_EQ(r->total_lf_load, 0.0) << c.loadfactor;
      EXPECT_EQ(r->total_operating_load, 0.0) << c.loadfactor;
      EXPECT_EQ(r->total_lf, 0.0) << c.loadfactor;
      EXPECT_EQ(r->total_kpm, 0.0) << c.loadfactor;
      EXPECT_EQ(lf->kpm, 0.0) << c.loadfactor;
      EXPECT_EQ(lf->kpm_load, 0.0) << c.loadfactor;
    }
  }
}

TEST(LoadCalculation, TotalsAccumulateInLfsOrder) {
  // 1e16 + 1 rounds back to 1e16 each time; the small loads first would add up.
  ModelBuilder m;
  Results *r = m.add_pair(m.add_oc("o", 1), m.add_ac("a", 1),
                          {{"1", "big", 1e16, 1.0, 1.0}, {"2", "s1", 1.0, 1.0, 1.0}, {"3", "s2", 1.0, 1.0, 1.0}});
  ASSERT_EQ(calc_kpm(&m.z), 0);
  EXPECT_EQ(fixed6(r->total_connected_load), "10000000000000000.000000");
}

TEST(LoadCalculation, EveryPairIsCalculatedOnItsOwnAndTracedWithDebug) {
  ModelBuilder m;
  m.z.debug = 1;
  OperationalCondition *cruise = m.add_oc("cruise", 1);
  AmbientCondition *summer = m.add_ac("summer", 1), *winter = m.add_ac("winter", 2);
  Load *a = m.add_load("101", "A", 100, 0.5);
  Load *b = m.add_load("102", "B", 50, 0.8);
  Results *r1 = m.add_results(cruise, summer, 2);
  r1->lfs[r1->nbr_lf++] = m.add_lf(a, cruise, summer, 0.4);
  r1->lfs[r1->nbr_lf++] = m.add_lf(b, cruise, summer, 0.6);
  Results *r2 = m.add_results(cruise, winter, 2);
  r2->lfs[r2->nbr_lf++] = m.add_lf(a, cruise, winter, 0.0);
  Results *r3 = m.add_results(cruise, winter, 2); // a pair without load factors
  r3->oc = cruise;

  testing::internal::CaptureStdout();
  ASSERT_EQ(calc_kpm(&m.z), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rs->oc->name = cruise  rs->ac->name = summer\n"
                                                    "rs->oc->name = cruise  rs->ac->name = winter\n"
                                                    "rs->oc->name = cruise  rs->ac->name = winter\n");
  EXPECT_EQ(fixed6(r1->total_operating_load), "87.142857");
  expect_totals(r2, {"0.000000", "0.000000", "0.000000", "0.000000", "0.000000"});
  EXPECT_EQ(r2->lfs[0]->kpm, 0.0);
  expect_totals(r3, {"0.000000", "0.000000", "0.000000", "0.000000", "0.000000"});
}

// Without debug the pairs are shared out among threads; each pair's figures
// must come out as when one thread does them all, in order.
TEST(LoadCalculation, SameFiguresOnOneThreadOrSeveral) {
  std::string figures[3];
  for (int workers = 1; workers <= 3; workers++) {
    ModelBuilder m;
    std::vector<OperationalCondition *> ocs;
    for (int i = 0; i < 20; i++) ocs.push_back(m.add_oc("o", i));
    AmbientCondition *ac = m.add_ac("a", 1);
    for (int i = 0; i < 20; i++) {
      std::vector<LoadLine> lines;
      for (int k = 0; k <= i; k++)
        lines.push_back({"1", "L", 10.0 * (k + 1), 0.9, (double)((i * 7 + k * 3) % 10) / 10});
      m.add_pair(ocs[i], ac, lines);
    }
    set_calc_workers(workers);
    ASSERT_EQ(calc_kpm(&m.z), 0);
    for (Results *r = m.z.r; r; r = r->next) {
      figures[workers - 1] += fixed6(r->total_operating_load) + fixed6(r->total_kpm) + ";";
      for (int k = 0; k < r->nbr_lf; k++) figures[workers - 1] += fixed6(r->lfs[k]->kpm_load) + ",";
    }
  }
  set_calc_workers(0);
  EXPECT_EQ(figures[1], figures[0]);
  EXPECT_EQ(figures[2], figures[0]);
}

TEST(LoadCalculation, LoadFactorOutsideEveryPairKeepsItsDefaults) {
  ModelBuilder m;
  Results *r = build_worked_example(m);
  LoadFactor *repeated = m.add_lf(r->lfs[0]->ld, r->oc, r->ac, 0.3); // not in lfs
  ASSERT_EQ(calc_kpm(&m.z), 0);
  EXPECT_EQ(repeated->lf_load, 0.0);
  EXPECT_EQ(repeated->kpm, -1.0);
  EXPECT_EQ(repeated->kpm_load, 0.0);
}

TEST(LoadCalculation, FailsWithoutStudyOrResults) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(calc_kpm(nullptr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  ModelBuilder m;
  m.add_oc("o", 1);
  m.add_ac("a", 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(calc_kpm(&m.z), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), " *** ERROR: no results to calculate\n");
}

} // namespace
