// The preparation on models built by hand the way the reader leaves them:
// every record pushed at the head of its list, so lists in reverse file order.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "study/study.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// Builders: call them in file order.
LoadStudy *new_study() {
  LoadStudy *z = new LoadStudy;
  memset(z, 0, sizeof *z);
  init_kpm(z);
  return z;
}

OperationalCondition *add_oc(LoadStudy *z, const char *name, int order = 0) {
  OperationalCondition *oc = alloc_OperationalCondition();
  oc->name = copystring(name);
  oc->order = order;
  oc->next = z->oc;
  z->oc = oc;
  z->nbr_oc++;
  return oc;
}

AmbientCondition *add_ac(LoadStudy *z, const char *name, int order = 0) {
  AmbientCondition *ac = alloc_AmbientCondition();
  ac->name = copystring(name);
  ac->order = order;
  ac->next = z->ac;
  z->ac = ac;
  z->nbr_ac++;
  return ac;
}

Load *add_load(LoadStudy *z, const char *name, double connected = 10, double peak = 1.0, double pf = 1.0) {
  Load *ld = alloc_Load();
  ld->name = copystring(name);
  ld->connected_load = connected;
  ld->peak_fraction = peak;
  ld->power_factor = pf;
  ld->next = z->ld;
  z->ld = ld;
  z->nbr_ld++;
  return ld;
}

LoadFactor *add_lf(Load *ld, const char *oc, const char *ac, double v) {
  LoadFactor *lf = alloc_LoadFactor();
  lf->ld = ld;
  lf->oc_name = copystring(oc);
  lf->ac_name = copystring(ac);
  lf->loadfactor = v;
  lf->next = ld->lf;
  ld->lf = lf;
  return lf;
}

std::string oc_names(const LoadStudy *z) {
  std::string s;
  for (OperationalCondition *oc = z->oc; oc; oc = oc->next) s += std::string(oc->name) + " ";
  return s;
}

std::string ac_names(const LoadStudy *z) {
  std::string s;
  for (AmbientCondition *ac = z->ac; ac; ac = ac->next) s += std::string(ac->name) + " ";
  return s;
}

struct Outcome {
  int status;
  std::string out, err;
};

Outcome prepare(LoadStudy *z) {
  CaptureStdout();
  CaptureStderr();
  int status = post_process_xml_file(z);
  Outcome r;
  r.err = GetCapturedStderr();
  r.out = GetCapturedStdout();
  r.status = status;
  return r;
}

TEST(Prepare, ExampleStudyBecomesTheWorkedExampleModel) {
  LoadStudy *z = new_study();
  OperationalCondition *cruise = add_oc(z, "cruise", 1);
  AmbientCondition *summer = add_ac(z, "summer", 1);
  Load *b = add_load(z, "B", 50, 0.8, 0.85);
  LoadFactor *lfb = add_lf(b, "cruise", "summer", 0.6);
  Load *a = add_load(z, "A", 100, 0.5, 0.9);
  LoadFactor *lfa = add_lf(a, "cruise", "summer", 0.4);

  Outcome run = prepare(z);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(z->ld, a);
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(lfa->oc, cruise);
  EXPECT_EQ(lfa->ac, summer);
  EXPECT_EQ(lfb->oc, cruise);
  EXPECT_EQ(lfb->ac, summer);
  ASSERT_NE(z->r, nullptr);
  EXPECT_EQ(z->r->next, nullptr);
  EXPECT_EQ(z->r->oc, cruise);
  EXPECT_EQ(z->r->ac, summer);
  ASSERT_EQ(z->r->nbr_lf, 2);
  EXPECT_EQ(z->r->lfs[0], lfa);
  EXPECT_EQ(z->r->lfs[1], lfb);
  EXPECT_EQ(z->r->lfs[2], nullptr);
  EXPECT_EQ(lfa->kpm, -1.0);
  EXPECT_EQ(z->r->total_connected_load, 0.0);
}

TEST(Prepare, SortsConditionsByOrderStably) {
  struct Case {
    std::vector<std::pair<const char *, int>> file; // name, order in file order
    const char *sorted;
  };
  const Case cases[] = {
      {{{"c3", 3}, {"c1", 1}, {"c2", 2}}, "c1 c2 c3 "},
      {{{"x", 5}, {"y", 5}, {"z", 5}}, "x y z "},
      {{{"pos", 1}, {"zero", 0}, {"neg", -1}}, "neg zero pos "},
      {{{"a", 2}, {"b", -7}, {"c", 2}, {"d", 0}, {"e", -7}, {"f", 2147483647}, {"g", -2147483647 - 1}},
       "g b e d a c f "},
      {{{"only", 4}}, "only "},
  };
  for (const Case &c : cases) {
    LoadStudy *z = new_study();
    for (const auto &n : c.file) {
      add_oc(z, n.first, n.second);
      add_ac(z, n.first, n.second);
    }
    Outcome run = prepare(z);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(oc_names(z), c.sorted);
    EXPECT_EQ(ac_names(z), c.sorted);
    // One Results record per pair, operational condition first, both sorted.
    size_t n = c.file.size(), i = 0;
    for (Results *r = z->r; r; r = r->next, i++) {
      OperationalCondition *oc = z->oc;
      for (size_t k = 0; k < i / n; k++) oc = oc->next;
      AmbientCondition *ac = z->ac;
      for (size_t k = 0; k < i % n; k++) ac = ac->next;
      EXPECT_EQ(r->oc, oc);
      EXPECT_EQ(r->ac, ac);
      EXPECT_EQ(r->nbr_lf, 0);
      EXPECT_EQ(r->lfs[0], nullptr);
    }
    EXPECT_EQ(i, n * n);
  }
}

TEST(Prepare, GathersFirstLoadFactorOfEachLoadPerPair) {
  LoadStudy *z = new_study();
  OperationalCondition *sea = add_oc(z, "sea", 2);
  OperationalCondition *port = add_oc(z, "port", 1);
  AmbientCondition *hot = add_ac(z, "hot");
  AmbientCondition *cold = add_ac(z, "cold", -1);
  Load *l1 = add_load(z, "L1");
  LoadFactor *l1_sea_hot = add_lf(l1, "sea", "hot", 0.5);
  LoadFactor *l1_port_cold = add_lf(l1, "port", "cold", 0.1);
  Load *l2 = add_load(z, "L2");
  LoadFactor *l2_sea_hot_old = add_lf(l2, "sea", "hot", 0.2);
  LoadFactor *l2_port_hot = add_lf(l2, "port", "hot", 0.3);
  LoadFactor *l2_sea_hot_new = add_lf(l2, "sea", "hot", 0.4);
  Load *l3 = add_load(z, "L3");
  LoadFactor *l3_sea_hot = add_lf(l3, "sea", "hot", 0.9);

  Outcome run = prepare(z);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, " *** ERROR: Load (L2) loadfactor defined multiple times for OC = sea AC = hot\n");

  struct Expect {
    OperationalCondition *oc;
    AmbientCondition *ac;
    std::vector<LoadFactor *> lfs;
  };
  const std::vector<Expect> expected = {
      {port, cold, {l1_port_cold}},
      {port, hot, {l2_port_hot}},
      {sea, cold, {}},
      {sea, hot, {l3_sea_hot, l2_sea_hot_new, l1_sea_hot}},
  };
  Results *r = z->r;
  for (const Expect &e : expected) {
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->oc, e.oc);
    EXPECT_EQ(r->ac, e.ac);
    ASSERT_EQ(r->nbr_lf, (int)e.lfs.size());
    for (size_t i = 0; i < e.lfs.size(); i++) EXPECT_EQ(r->lfs[i], e.lfs[i]);
    EXPECT_EQ(r->lfs[e.lfs.size()], nullptr);
    r = r->next;
  }
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(l2_sea_hot_old->oc, sea); // linked, though no record takes it
}

TEST(Prepare, RepeatedPairPrintedForEveryEarlierMatchAndRunGoesOn) {
  for (int k = 1; k <= 4; k++) {
    LoadStudy *z = new_study();
    add_oc(z, "o");
    add_ac(z, "a");
    Load *ld = add_load(z, "L");
    LoadFactor *last = nullptr;
    for (int i = 0; i < k; i++) last = add_lf(ld, "o", "a", 0.1 * (i + 1));
    Outcome run = prepare(z);
    EXPECT_EQ(run.status, 0);
    std::string line = " *** ERROR: Load (L) loadfactor defined multiple times for OC = o AC = a\n";
    std::string expected;
    for (int i = 0; i < k * (k - 1) / 2; i++) expected += line;
    EXPECT_EQ(run.err, expected) << k;
    ASSERT_EQ(z->r->nbr_lf, 1);
    EXPECT_EQ(z->r->lfs[0], last); // the value latest in the file
    EXPECT_DOUBLE_EQ(z->r->lfs[0]->loadfactor, 0.1 * k);
  }
}

TEST(Prepare, ConditionNamesLinkCaseSensitivelyToTheFirstSorted) {
  LoadStudy *z = new_study();
  OperationalCondition *late = add_oc(z, "run", 9);
  OperationalCondition *early = add_oc(z, "run", 1);
  add_ac(z, "a");
  LoadFactor *lf = add_lf(add_load(z, "L"), "run", "a", 0.5);
  ASSERT_EQ(prepare(z).status, 0);
  EXPECT_EQ(lf->oc, early);
  EXPECT_EQ(z->r->nbr_lf, 1);
  EXPECT_EQ(z->r->next->oc, late);
  EXPECT_EQ(z->r->next->nbr_lf, 0);

  for (int debug = 0; debug <= 1; debug++) {
    LoadStudy *y = new_study();
    y->debug = debug;
    add_oc(y, "Cruise");
    add_ac(y, "a");
    add_lf(add_load(y, "L"), "cruise", "a", 0.5);
    Outcome run = prepare(y);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, " *** ERROR: Load (L) Operational Condition (cruise) not defined\n");
  }
}

// Every failing test of the preparation, one study each.
TEST(Prepare, ErrorLines) {
  const double nan = std::nan("");
  const double inf = HUGE_VAL;
  struct Case {
    const char *what;
    double connected, peak, pf, lf;
    const char *err;
  };
  const Case cases[] = {
      {"lf below 0", 1, 1, 1, -0.1, " *** ERROR: Illegal Load factor (-0.100000) for Load (L) OC = (o) AC = (a)\n"},
      {"lf above 1", 1, 1, 1, 1.5, " *** ERROR: Illegal Load factor (1.500000) for Load (L) OC = (o) AC = (a)\n"},
      {"lf nan", 1, 1, 1, nan, " *** ERROR: Illegal Load factor (nan) for Load (L) OC = (o) AC = (a)\n"},
      {"lf -nan", 1, 1, 1, -nan, " *** ERROR: Illegal Load factor (-nan) for Load (L) OC = (o) AC = (a)\n"},
      {"lf inf", 1, 1, 1, inf, " *** ERROR: Illegal Load factor (inf) for Load (L) OC = (o) AC = (a)\n"},
      {"lf above peak", 1, 0.4, 1, 0.5,
       " *** ERROR: Illegal Load factor (0.500000) > peak fracktion (0.400000) for Load (L) OC = (o) AC = (a)\n"},
      {"negative peak fails on the lf first", 1, -0.5, 1, 0.3,
       " *** ERROR: Illegal Load factor (0.300000) > peak fracktion (-0.500000) for Load (L) OC = (o) AC = (a)\n"},
      {"connected below 0", -1, 1, 1, 0.5, " *** ERROR: Illegal Connected Load (-1.000000) for Load (L)\n"},
      {"connected nan", nan, 1, 1, 0.5, " *** ERROR: Illegal Connected Load (nan) for Load (L)\n"},
      {"connected inf", inf, 1, 1, 0.5, " *** ERROR: Illegal Connected Load (inf) for Load (L)\n"},
      {"connected -inf", -inf, 1, 1, 0.5, " *** ERROR: Illegal Connected Load (-inf) for Load (L)\n"},
      {"peak above 1", 1, 1.5, 1, 0.8, " *** ERROR: Illegal peak fraction (1.500000) for Load (L)\n"},
      {"peak nan", 1, nan, 1, 0.8, " *** ERROR: Illegal peak fraction (nan) for Load (L)\n"},
      {"pf 0", 1, 1, 0, 0.5, " *** ERROR: Illegal power factor (0.000000) for Load (L)\n"},
      {"pf -0", 1, 1, -0.0, 0.5, " *** ERROR: Illegal power factor (-0.000000) for Load (L)\n"},
      {"pf above 1", 1, 1, 1.01, 0.5, " *** ERROR: Illegal power factor (1.010000) for Load (L)\n"},
      {"pf below -1", 1, 1, -1.5, 0.5, " *** ERROR: Illegal power factor (-1.500000) for Load (L)\n"},
      {"pf nan", 1, 1, nan, 0.5, " *** ERROR: Illegal power factor (nan) for Load (L)\n"},
      {"bounds pass: lf 0", 0, 1, -1, 0, ""},
      {"bounds pass: lf 1", 1, 1, 1, 1, ""},
      {"bounds pass: lf = peak", 1, 0.3, -0.5, 0.3, ""},
  };
  for (const Case &c : cases) {
    LoadStudy *z = new_study();
    add_oc(z, "o");
    add_ac(z, "a");
    add_lf(add_load(z, "L", c.connected, c.peak, c.pf), "o", "a", c.lf);
    Outcome run = prepare(z);
    EXPECT_EQ(run.err, c.err) << c.what;
    EXPECT_EQ(run.status, c.err[0] ? 1 : 0) << c.what;
    EXPECT_EQ(z->r == nullptr, c.err[0] != 0) << c.what;
  }

  struct Broken {
    const char *what;
    void (*build)(LoadStudy *);
    const char *err;
  };
  const Broken broken[] = {
      {"no conditions at all", [](LoadStudy *) {}, " *** ERROR: No Operational Conditions defined\n"},
      {"no operational condition", [](LoadStudy *z) { add_ac(z, "a"); },
       " *** ERROR: No Operational Conditions defined\n"},
      {"no ambient condition", [](LoadStudy *z) { add_oc(z, "o"); }, " *** ERROR: No Ambient Conditions defined\n"},
      {"unknown oc",
       [](LoadStudy *z) {
         add_oc(z, "o");
         add_ac(z, "a");
         add_lf(add_load(z, "L"), "x", "y", 0.5);
       },
       " *** ERROR: Load (L) Operational Condition (x) not defined\n"},
      {"unknown ac, unnamed load",
       [](LoadStudy *z) {
         add_oc(z, "o");
         add_ac(z, "a");
         add_lf(add_load(z, nullptr), "o", "", 0.5);
       },
       " *** ERROR: Load ((null)) Ambient Condition () not defined\n"},
      {"last load in the file is tested first",
       [](LoadStudy *z) {
         add_oc(z, "o");
         add_ac(z, "a");
         add_lf(add_load(z, "first", -1), "o", "a", 0.5);
         add_lf(add_load(z, "second", 1, 1, 0), "o", "a", 0.5);
       },
       " *** ERROR: Illegal power factor (0.000000) for Load (second)\n"},
      {"a load's factors, last in file first, before its values",
       [](LoadStudy *z) {
         add_oc(z, "o");
         add_ac(z, "a");
         Load *ld = add_load(z, "L", -1);
         add_lf(ld, "o", "a", 2);
         add_lf(ld, "o", "a", 3);
       },
       " *** ERROR: Illegal Load factor (3.000000) for Load (L) OC = (o) AC = (a)\n"},
      {"repeat reported, then the earlier value fails",
       [](LoadStudy *z) {
         add_oc(z, "o");
         add_ac(z, "a");
         Load *ld = add_load(z, "L");
         add_lf(ld, "o", "a", 7);
         add_lf(ld, "o", "a", 0.5);
       },
       " *** ERROR: Load (L) loadfactor defined multiple times for OC = o AC = a\n"
       " *** ERROR: Illegal Load factor (7.000000) for Load (L) OC = (o) AC = (a)\n"},
  };
  for (const Broken &b : broken) {
    LoadStudy *z = new_study();
    b.build(z);
    Outcome run = prepare(z);
    EXPECT_EQ(run.status, 1) << b.what;
    EXPECT_EQ(run.err, b.err) << b.what;
    EXPECT_EQ(z->r, nullptr) << b.what;
  }
}

TEST(Prepare, DebugTraceInOrder) {
  LoadStudy *z = new_study();
  z->debug = 1;
  add_oc(z, "sea", 2);
  add_oc(z, "port", 1);
  add_ac(z, "hot", 5);
  add_ac(z, "cold");
  Load *b = add_load(z, "B");
  add_lf(b, "sea", "cold", 0.5);
  add_lf(b, "sea", "cold", 0.5);
  add_lf(add_load(z, "A"), "port", "hot", 0.1);

  Outcome run = prepare(z);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, " *** ERROR: Load (B) loadfactor defined multiple times for OC = sea AC = cold\n");
  EXPECT_EQ(run.out, "+z->nbr_ld = 2\n"
                     "ld->name = A\n"
                     "ld->name = B\n"
                     "+ac cold order 0\n"
                     "ac hot order 5\n"
                     "\n"
                     "ac->name = cold\n"
                     "ac->name = hot\n"
                     "+l = A\n"
                     "LF load = A lf->oc_name = port lf->ac_name = hot\n"
                     "\no(port)(port)"
                     "\na(cold)(hot)\na(hot)(hot)#@"
                     "l = B\n"
                     "LF load = B lf->oc_name = sea lf->ac_name = cold\n"
                     "\no(port)(sea)\no(sea)(sea)"
                     "\na(cold)(cold)#@"
                     "LF load = B lf->oc_name = sea lf->ac_name = cold\n"
                     "\no(port)(sea)\no(sea)(sea)"
                     "\na(cold)(cold)#@"
                     " allocating the results structures "
                     "\nac->name = cold\n"
                     "\nac->name = hot\n"
                     "r->oc->name = port r->ac->name = cold z->nbr_ld = 2\n"
                     "R r->oc->name = port  r->ac->name = cold  r->nbr_lf = 0\n"
                     "r->oc->name = port r->ac->name = hot z->nbr_ld = 2\n"
                     "R r->oc->name = port  r->ac->name = hot  r->nbr_lf = 1\n"
                     "r->oc->name = sea r->ac->name = cold z->nbr_ld = 2\n"
                     "R r->oc->name = sea  r->ac->name = cold  r->nbr_lf = 1\n"
                     "r->oc->name = sea r->ac->name = hot z->nbr_ld = 2\n"
                     "R r->oc->name = sea  r->ac->name = hot  r->nbr_lf = 0\n");
}

TEST(Prepare, DebugTraceStopsAtTheFailingStep) {
  struct Case {
    void (*build)(LoadStudy *);
    const char *out;
  };
  const Case cases[] = {
      {[](LoadStudy *z) { add_ac(z, "a"); }, "+z->nbr_ld = 0\n"},
      {[](LoadStudy *z) {
         add_oc(z, "o");
         add_load(z, "L");
       },
       "+z->nbr_ld = 1\nld->name = L\n+"},
      {[](LoadStudy *z) {
         add_oc(z, "o");
         add_ac(z, "a", 3);
         add_lf(add_load(z, "L"), "o", "b", 0.5);
       },
       "+z->nbr_ld = 1\nld->name = L\n+ac a order 3\n\nac->name = a\n+l = L\n"
       "LF load = L lf->oc_name = o lf->ac_name = b\n\no(o)(o)\na(a)(b)"},
  };
  for (const Case &c : cases) {
    LoadStudy *z = new_study();
    z->debug = 1;
    c.build(z);
    Outcome run = prepare(z);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.out);
  }
}

// Large studies stay fast: one load that gives every pair of 300 x 300
// conditions, and many loads of one pair each. A quadratic search for
// repeated pairs or a per-pair scan of every load would take minutes here.
TEST(Prepare, LargeStudyIsLinear) {
  const int nc = 300, nloads = 50000;
  LoadStudy *z = new_study();
  std::vector<std::string> names;
  for (int i = 0; i < nc; i++) names.push_back("c" + std::to_string(i));
  for (int i = 0; i < nc; i++) {
    add_oc(z, names[i].c_str(), nc - i);
    add_ac(z, names[i].c_str(), i % 7);
  }
  Load *big = add_load(z, "big");
  for (int i = 0; i < nc; i++)
    for (int j = 0; j < nc; j++) add_lf(big, names[i].c_str(), names[j].c_str(), 0.5);
  for (int i = 0; i < nloads; i++) add_lf(add_load(z, "small"), names[i % nc].c_str(), names[0].c_str(), 0.5);

  auto start = std::chrono::steady_clock::now();
  Outcome run = prepare(z);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_LT(seconds, 60.0);  // linear: seconds at worst; quadratic: hours
  int records = 0;
  long held = 0;
  for (Results *r = z->r; r; r = r->next) {
    records++;
    held += r->nbr_lf;
  }
  EXPECT_EQ(records, nc * nc);
  EXPECT_EQ(held, (long)nc * nc + nloads);
}

} // namespace
