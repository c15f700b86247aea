// Record defaults and the initialisation of the study record.
#include <gtest/gtest.h>

#include <cstring>

#include "study/study.h"

namespace {

TEST(Model, AllocatorsGiveTheirDefaults) {
  OperationalCondition *oc = alloc_OperationalCondition();
  EXPECT_EQ(oc->name, nullptr);
  EXPECT_EQ(oc->order, 0);
  EXPECT_EQ(oc->next, nullptr);

  AmbientCondition *ac = alloc_AmbientCondition();
  EXPECT_EQ(ac->name, nullptr);
  EXPECT_EQ(ac->order, 0);
  EXPECT_EQ(ac->next, nullptr);

  Load *ld = alloc_Load();
  EXPECT_EQ(ld->name, nullptr);
  EXPECT_EQ(ld->swbs, nullptr);
  EXPECT_EQ(ld->connected_load, 0.0);
  EXPECT_EQ(ld->peak_fraction, 1.0);
  EXPECT_EQ(ld->power_factor, 1.0);
  EXPECT_EQ(ld->lf, nullptr);
  EXPECT_EQ(ld->next, nullptr);

  LoadFactor *lf = alloc_LoadFactor();
  EXPECT_EQ(lf->ld, nullptr);
  EXPECT_EQ(lf->oc_name, nullptr);
  EXPECT_EQ(lf->oc, nullptr);
  EXPECT_EQ(lf->ac_name, nullptr);
  EXPECT_EQ(lf->ac, nullptr);
  EXPECT_EQ(lf->loadfactor, -1.0);
  EXPECT_EQ(lf->lf_load, 0.0);
  EXPECT_EQ(lf->kpm, -1.0);
  EXPECT_EQ(lf->kpm_load, 0.0);
  EXPECT_EQ(lf->next, nullptr);

  Results *r = alloc_Results();
  EXPECT_EQ(r->oc, nullptr);
  EXPECT_EQ(r->ac, nullptr);
  EXPECT_EQ(r->total_connected_load, 0.0);
  EXPECT_EQ(r->total_lf_load, 0.0);
  EXPECT_EQ(r->total_operating_load, 0.0);
  EXPECT_EQ(r->total_lf, 0.0);
  EXPECT_EQ(r->total_kpm, 0.0);
  EXPECT_EQ(r->lfs, nullptr);
  EXPECT_EQ(r->nbr_lf, 0);
  EXPECT_EQ(r->next, nullptr);
}

TEST(Model, InitClearsAllButTheCommandLineFields) {
  EXPECT_EQ(init_kpm(nullptr), 1);

  char path[] = "study.xml";
  char out[] = "report.csv";
  LoadStudy z;
  memset(&z, 0x5a, sizeof z);
  z.xmlfile = path;
  z.outfile = out;
  z.debug = 1;
  EXPECT_EQ(init_kpm(&z), 0);
  EXPECT_EQ(z.xmlfile, path);
  EXPECT_EQ(z.outfile, out);
  EXPECT_EQ(z.debug, 1);
  EXPECT_EQ(z.name, nullptr);
  EXPECT_EQ(z.oc, nullptr);
  EXPECT_EQ(z.nbr_oc, 0);
  EXPECT_EQ(z.ac, nullptr);
  EXPECT_EQ(z.nbr_ac, 0);
  EXPECT_EQ(z.ld, nullptr);
  EXPECT_EQ(z.nbr_ld, 0);
  EXPECT_EQ(z.r, nullptr);
}

TEST(Model, LowerstringFoldsOnlyAsciiLetters) {
  char s[] = "AbC-Z\xC3\x89\x80z";
  lowerstring(s);
  EXPECT_STREQ(s, "abc-z\xC3\x89\x80z");
  lowerstring(nullptr);
}

} // namespace
