// Hand-built prepared studies for the calculation, report and dump tests.
#ifndef KPM_TESTS_CALC_MODEL_BUILDER_H
#define KPM_TESTS_CALC_MODEL_BUILDER_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "study/study.h"
#include "xml/xmlentity.h"

// Whole content of a file, bytes as written.
inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A path in the test's temporary folder, unique to this process.
inline std::string temp_path(const char *prefix, const char *name) {
  return testing::TempDir() + prefix + std::to_string(getpid()) + "_" + name;
}

struct LoadLine {
  const char *swbs;
  const char *name;
  double connected_load;
  double peak_fraction;
  double loadfactor;
};

// A study whose loads, conditions and results are linked as the preparation
// leaves them. Strings are literals; nothing is freed (as in a run).
struct ModelBuilder {
  LoadStudy z{};
  OperationalCondition *oc_tail = nullptr;
  AmbientCondition *ac_tail = nullptr;
  Load *ld_tail = nullptr;
  Results *r_tail = nullptr;

  explicit ModelBuilder(const char *name = "Example") {
    init_kpm(&z);
    z.name = const_cast<char *>(name);
    z.xmlfile = const_cast<char *>("study.xml");
  }

  OperationalCondition *add_oc(const char *name, int order) {
    OperationalCondition *oc = alloc_OperationalCondition();
    oc->name = const_cast<char *>(name);
    oc->order = order;
    if (oc_tail)
      oc_tail->next = oc;
    else
      z.oc = oc;
    oc_tail = oc;
    z.nbr_oc++;
    return oc;
  }

  AmbientCondition *add_ac(const char *name, int order) {
    AmbientCondition *ac = alloc_AmbientCondition();
    ac->name = const_cast<char *>(name);
    ac->order = order;
    if (ac_tail)
      ac_tail->next = ac;
    else
      z.ac = ac;
    ac_tail = ac;
    z.nbr_ac++;
    return ac;
  }

  Load *add_load(const char *swbs, const char *name, double connected_load, double peak_fraction) {
    Load *ld = alloc_Load();
    ld->swbs = const_cast<char *>(swbs);
    ld->name = const_cast<char *>(name);
    ld->connected_load = connected_load;
    ld->peak_fraction = peak_fraction;
    if (ld_tail)
      ld_tail->next = ld;
    else
      z.ld = ld;
    ld_tail = ld;
    z.nbr_ld++;
    return ld;
  }

  // Pushes a load factor at the head of the load's list, as the reader does.
  LoadFactor *add_lf(Load *ld, OperationalCondition *oc, AmbientCondition *ac, double loadfactor) {
    LoadFactor *lf = alloc_LoadFactor();
    lf->ld = ld;
    lf->oc = oc;
    lf->oc_name = oc ? oc->name : nullptr;
    lf->ac = ac;
    lf->ac_name = ac ? ac->name : nullptr;
    lf->loadfactor = loadfactor;
    lf->next = ld->lf;
    ld->lf = lf;
    return lf;
  }

  Results *add_results(OperationalCondition *oc, AmbientCondition *ac, int capacity) {
    Results *r = alloc_Results();
    r->oc = oc;
    r->ac = ac;
    r->lfs = (LoadFactor **)kpm_calloc((size_t)capacity + 2, sizeof(LoadFactor *));
    if (r_tail)
      r_tail->next = r;
    else
      z.r = r;
    r_tail = r;
    return r;
  }

  // One pair holding one new load per entry, in the given lfs order.
  Results *add_pair(OperationalCondition *oc, AmbientCondition *ac, const std::vector<LoadLine> &loads) {
    Results *r = add_results(oc, ac, (int)loads.size());
    for (const LoadLine &s : loads) {
      Load *ld = add_load(s.swbs, s.name, s.connected_load, s.peak_fraction);
      r->lfs[r->nbr_lf++] = add_lf(ld, oc, ac, s.loadfactor);
    }
    return r;
  }
};

// A figure as the report prints it.
inline std::string fixed6(double v) {
  char buf[400];
  snprintf(buf, sizeof buf, "%f", v);
  return buf;
}

// The worked example: one pair, load A before load B.
inline Results *build_worked_example(ModelBuilder &m) {
  OperationalCondition *oc = m.add_oc("cruise", 1);
  AmbientCondition *ac = m.add_ac("summer", 1);
  return m.add_pair(oc, ac, {{"101", "A", 100, 0.5, 0.4}, {"102", "B", 50, 0.8, 0.6}});
}

#endif
