// The load calculation: per pair of conditions, two passes over its load
// factors. Every figure is one rounded double operation at a time, in the
// order written here (the library is built without contraction into FMA).
#include <cstdio>

#include "calc/calc.h"
#include "xml/xmlentity.h"

// Fills the figures of one pair and of the load factors it holds.
static void calc_results(LoadStudy *z, Results *rs) {
  rs->total_connected_load = 0.0;
  rs->total_lf_load = 0.0;
  rs->total_operating_load = 0.0;

  if (z->debug) {
    printf("rs->oc->name = %s  rs->ac->name = %s\n", str_or_null(rs->oc ? rs->oc->name : nullptr),
           str_or_null(rs->ac ? rs->ac->name : nullptr));
    fflush(stdout);
  }

  // First pass: load-factor loads, and the totals of the running loads.
  for (int i = 0; i < rs->nbr_lf; i++) {
    LoadFactor *lf = rs->lfs[i];
    Load *ld = lf->ld;
    lf->lf_load = ld->connected_load * lf->loadfactor;
    if (lf->lf_load > KPM_RUNNING_THRESHOLD) {
      rs->total_connected_load = rs->total_connected_load + ld->connected_load;
      rs->total_lf_load = rs->total_lf_load + lf->lf_load;
    }
  }

  // Second pass: operating factors and loads against the pair's totals.
  double largest_margin = 0.0;
  for (int i = 0; i < rs->nbr_lf; i++) {
    LoadFactor *lf = rs->lfs[i];
    Load *ld = lf->ld;
    double peak_load = ld->peak_fraction * ld->connected_load;
    double margin = 0.0;
    if (lf->lf_load <= KPM_RUNNING_THRESHOLD) {
      lf->kpm = 0.0;
      lf->kpm_load = 0.0;
    } else if (peak_load > rs->total_lf_load) {
      lf->kpm = ld->peak_fraction;
      lf->kpm_load = peak_load;
      rs->total_operating_load = rs->total_operating_load + peak_load;
    } else {
      double kpm = ld->peak_fraction - lf->loadfactor;
      kpm = kpm * peak_load;
      kpm = kpm / rs->total_lf_load;
      kpm = kpm + lf->loadfactor;
      lf->kpm = kpm;
      lf->kpm_load = kpm * ld->connected_load;
      rs->total_operating_load = rs->total_operating_load + lf->kpm_load;
      margin = ld->peak_fraction - kpm;
      margin = margin * ld->connected_load;
    }
    if (margin > largest_margin) largest_margin = margin;
  }
  // Only the single largest margin is reserved, once per pair.
  rs->total_operating_load = rs->total_operating_load + largest_margin;

  if (rs->total_connected_load <= 0.0) {
    rs->total_kpm = 0.0;
    rs->total_lf = 0.0;
  } else {
    rs->total_kpm = rs->total_operating_load / rs->total_connected_load;
    rs->total_lf = rs->total_lf_load / rs->total_connected_load;
  }
}

int calc_kpm(LoadStudy *z) {
  if (!z) return 1;
  if (!z->r) {
    fprintf(stderr, " *** ERROR: no results to calculate\n");
    return 1;
  }
  for (Results *rs = z->r; rs; rs = rs->next) calc_results(z, rs);
  return 0;
}
