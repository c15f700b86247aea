// The load calculation: per pair of conditions, two passes over its load
// factors. Every figure is one rounded double operation at a time, in the
// order written here (the library is built without contraction into FMA).
#include <cstdio>
#include <pthread.h>

#include "calc/calc.h"
#include "xml/common.h"

// Load factors ahead whose records are fetched into cache, and their loads at
// half the distance: a pair's load factors lie one per load, apart in memory.
static const int FETCH_AHEAD = 16;

static inline void fetch_ahead(const Results *rs, int i) {
  if (i + FETCH_AHEAD < rs->nbr_lf) __builtin_prefetch(rs->lfs[i + FETCH_AHEAD]);
  if (i + FETCH_AHEAD / 2 < rs->nbr_lf) __builtin_prefetch(rs->lfs[i + FETCH_AHEAD / 2]->ld);
}

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
  int n = rs->nbr_lf;
  for (int i = 0; i < n; i++) {
    fetch_ahead(rs, i);
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
  for (int i = 0; i < n; i++) {
    fetch_ahead(rs, i);
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

// The pairs are independent: threads take them one at a time.
struct CalcWork {
  LoadStudy *z;
  pthread_mutex_t lock;
  Results *next; // the next pair to take
};

static void *calc_worker(void *arg) {
  CalcWork *w = (CalcWork *)arg;
  for (;;) {
    pthread_mutex_lock(&w->lock);
    Results *rs = w->next;
    if (rs) w->next = rs->next;
    pthread_mutex_unlock(&w->lock);
    if (!rs) return nullptr;
    calc_results(w->z, rs);
  }
}

int calc_kpm(LoadStudy *z) {
  if (!z) return 1;
  if (!z->r) {
    fprintf(stderr, " *** ERROR: no results to calculate\n");
    return 1;
  }
  // The debug trace names the pairs in order: one thread then.
  int workers = z->debug || !z->r->next ? 1 : calc_workers();
  if (workers == 1) {
    for (Results *rs = z->r; rs; rs = rs->next) calc_results(z, rs);
    return 0;
  }
  CalcWork w;
  w.z = z;
  w.next = z->r;
  pthread_mutex_init(&w.lock, nullptr);
  pthread_t thread[CALC_MAX_WORKERS];
  int started = 0;
  while (started < workers - 1 && pthread_create(&thread[started], nullptr, calc_worker, &w) == 0) started++;
  calc_worker(&w); // this thread too, and alone if none could start
  for (int i = 0; i < started; i++) pthread_join(thread[i], nullptr);
  pthread_mutex_destroy(&w.lock);
  return 0;
}
