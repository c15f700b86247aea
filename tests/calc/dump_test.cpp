// The debug listing of the prepared study.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "calc/calc.h"
#include "tests/calc/model_builder.h"

namespace {

std::string dump(LoadStudy *z) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  print_study(f, z);
  fclose(f);
  std::string s(buf, len);
  free(buf);
  return s;
}

TEST(StudyDump, ListsEveryRecordInListOrderWithItsDoubleBlanks) {
  ModelBuilder m;
  m.z.outfile = const_cast<char *>("report.csv");
  m.z.debug = 1;
  OperationalCondition *cruise = m.add_oc("cruise", 1);
  OperationalCondition *harbour = m.add_oc("harbour", 2);
  AmbientCondition *summer = m.add_ac("summer", -3);
  Load *a = m.add_load("101", "A", 100, 0.5);
  a->power_factor = 0.9;
  m.add_lf(a, harbour, summer, 0.25);
  m.add_lf(a, cruise, summer, 0.4);
  m.add_lf(a, cruise, summer, 0.3); // a repeated pair is listed too
  Load *b = m.add_load("102", "B", 50, 0.8);
  b->power_factor = -0.85;
  m.add_lf(b, cruise, summer, 0.6);

  EXPECT_EQ(
      dump(&m.z),
      "z->xmlfile = study.xml\n"
      "z->outfile = report.csv\n"
      "z->debug = 1\n"
      "z->name = Example\n"
      "z->nbr_oc = 2\n"
      "oc->name = cruise  oc->order = 1\n"
      "oc->name = harbour  oc->order = 2\n"
      "z->nbr_ac = 1\n"
      "ac->name = summer  ac->order = -3\n"
      "z->nbr_ld = 2\n"
      "ld->name = A  ld->swbs = 101\n"
      "ld->connected_load = 100.000000\n"
      "ld->peak_fraction = 0.500000\n"
      "ld->power_factor = 0.900000\n"
      "lf->oc_name = cruise  lf->oc->name = cruise  lf->ac_name = summer lf->ac->name = summer loadfactor =0.300000\n"
      "lf->oc_name = cruise  lf->oc->name = cruise  lf->ac_name = summer lf->ac->name = summer loadfactor =0.400000\n"
      "lf->oc_name = harbour  lf->oc->name = harbour  lf->ac_name = summer lf->ac->name = summer loadfactor =0.250000\n"
      "ld->name = B  ld->swbs = 102\n"
      "ld->connected_load = 50.000000\n"
      "ld->peak_fraction = 0.800000\n"
      "ld->power_factor = -0.850000\n"
      "lf->oc_name = cruise  lf->oc->name = cruise  lf->ac_name = summer lf->ac->name = summer loadfactor =0.600000\n");
}

TEST(StudyDump, AbsentTextsAndUnlinkedConditionsShowNull) {
  ModelBuilder m(nullptr);
  m.add_oc("cruise", 0);
  m.add_ac("summer", 0);
  Load *ld = m.add_load(nullptr, nullptr, 0, 1);
  LoadFactor *lf = m.add_lf(ld, nullptr, nullptr, -1); // as a failed preparation leaves it
  lf->oc_name = const_cast<char *>("Cruise");
  lf->ac_name = const_cast<char *>("summer");
  EXPECT_EQ(dump(&m.z), "z->xmlfile = study.xml\n"
                        "z->outfile = (null)\n"
                        "z->debug = 0\n"
                        "z->name = (null)\n"
                        "z->nbr_oc = 1\n"
                        "oc->name = cruise  oc->order = 0\n"
                        "z->nbr_ac = 1\n"
                        "ac->name = summer  ac->order = 0\n"
                        "z->nbr_ld = 1\n"
                        "ld->name = (null)  ld->swbs = (null)\n"
                        "ld->connected_load = 0.000000\n"
                        "ld->peak_fraction = 1.000000\n"
                        "ld->power_factor = 1.000000\n"
                        "lf->oc_name = Cruise  lf->oc->name = (null)  lf->ac_name = summer lf->ac->name = (null) "
                        "loadfactor =-1.000000\n");
}

TEST(StudyDump, StudyWithoutLoadsEndsWithTheLoadCount) {
  ModelBuilder m;
  m.z.xmlfile = nullptr;
  std::string out = dump(&m.z);
  EXPECT_EQ(out, "z->xmlfile = (null)\nz->outfile = (null)\nz->debug = 0\nz->name = Example\n"
                 "z->nbr_oc = 0\nz->nbr_ac = 0\nz->nbr_ld = 0\n");
}

} // namespace
