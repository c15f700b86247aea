// The summary of a calculated study: governing pair, margins, SWBS groups,
// largest loads.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "calc/calc.h"
#include "tools/summary/summary.h"
#include "tools/common/tool.h"
#include "xml/xmlentity.h"

void summary_default_options(SummaryOptions *opt) {
  memset(opt, 0, sizeof *opt);
  opt->decimals = SUMMARY_DEFAULT_DECIMALS;
  opt->top = SUMMARY_DEFAULT_TOP;
  opt->swbs_digits = SUMMARY_DEFAULT_SWBS_DIGITS;
}

int summary_is_running(const LoadFactor *lf) { return lf->lf_load > KPM_RUNNING_THRESHOLD; }

double summary_largest_margin(const Results *rs) {
  // The same operations as the calculation's second pass: a load taking its
  // peak has kpm equal to its peak fraction, so its margin is 0 here as there.
  double largest = 0.0;
  for (int i = 0; i < rs->nbr_lf; i++) {
    const LoadFactor *lf = rs->lfs[i];
    if (!summary_is_running(lf)) continue;
    double margin = (lf->ld->peak_fraction - lf->kpm) * lf->ld->connected_load;
    if (margin > largest) largest = margin;
  }
  return largest;
}

// v governs rather than w: larger, and a number beats an overflowed NaN.
static int larger_total(double v, double w) { return v > w || (std::isnan(w) && !std::isnan(v)); }

void summary_build(Summary *s, LoadStudy *z) {
  memset(s, 0, sizeof *s);
  s->z = z;
  for (Results *rs = z->r; rs; rs = rs->next) s->nbr_pairs++;
  s->pairs = (Results **)tool_calloc((size_t)s->nbr_pairs, sizeof *s->pairs);
  s->margin = (double *)tool_calloc((size_t)s->nbr_pairs, sizeof *s->margin);
  s->running = (int *)tool_calloc((size_t)s->nbr_pairs, sizeof *s->running);
  int p = 0;
  for (Results *rs = z->r; rs; rs = rs->next, p++) {
    s->pairs[p] = rs;
    s->margin[p] = summary_largest_margin(rs);
    for (int i = 0; i < rs->nbr_lf; i++) s->running[p] += summary_is_running(rs->lfs[i]);
  }
  s->governing = 0;
  for (p = 1; p < s->nbr_pairs; p++)
    if (larger_total(s->pairs[p]->total_operating_load, s->pairs[s->governing]->total_operating_load)) s->governing = p;
  s->runner_up = -1;
  for (p = 0; p < s->nbr_pairs; p++) {
    if (p == s->governing) continue;
    if (s->runner_up < 0 ||
        larger_total(s->pairs[p]->total_operating_load, s->pairs[s->runner_up]->total_operating_load))
      s->runner_up = p;
  }
  for (Load *ld = z->ld; ld; ld = ld->next) {
    s->connected_load += ld->connected_load;
    s->nbr_loads++;
  }
}

void summary_release(Summary *s) {
  free(s->pairs);
  free(s->margin);
  free(s->running);
  free(s->groups);
  name_table_free(&s->load_group);
  free(s->group_sum);
  free(s->group_mark);
  free(s->group_touched);
  memset(s, 0, sizeof *s);
}

// ---------------------------------------------------------------- SWBS groups

// Bytes of the first digits characters of code.
static size_t code_prefix(const char *code, int digits) {
  size_t n = 0;
  for (int c = 0; c < digits && code[n]; c++) {
    int k = utf8_sequence_length((const unsigned char *)code + n);
    n += k ? (size_t)k : 1;
  }
  return n;
}

struct GroupRank {
  const char *key;
  size_t length;
  int old;
};

static int compare_groups(const void *a, const void *b) {
  const GroupRank *x = (const GroupRank *)a, *y = (const GroupRank *)b;
  if (!x->key || !y->key) return (x->key == nullptr) - (y->key == nullptr);
  size_t n = x->length < y->length ? x->length : y->length;
  int c = memcmp(x->key, y->key, n);
  if (c != 0) return c;
  return (x->length > y->length) - (x->length < y->length);
}

int summary_group_of(const Summary *s, const Load *ld) {
  int g = name_table_find_address(&s->load_group, ld);
  return g >= 0 ? g : s->nbr_groups - 1;
}

void summary_group_loads(Summary *s, int digits) {
  s->swbs_digits = digits;
  size_t loads = (size_t)s->nbr_loads;
  // Groups as they are met, found again through a table of their keys.
  GroupRank *met = (GroupRank *)tool_calloc(loads + 1, sizeof *met);
  int nbr_met = 0, no_code = -1;
  NameTable keys; // a group's key -> the group
  name_table_init(&keys, loads, 0, nullptr);
  for (Load *ld = s->z->ld; ld; ld = ld->next) {
    if (!ld->swbs || !ld->swbs[0]) {
      if (no_code < 0) {
        no_code = nbr_met++;
        met[no_code].old = no_code;
      }
      continue;
    }
    size_t n = code_prefix(ld->swbs, digits);
    if (name_table_add(&keys, ld->swbs, n, nbr_met) >= 0) continue;
    met[nbr_met].key = ld->swbs;
    met[nbr_met].length = n;
    met[nbr_met].old = nbr_met;
    nbr_met++;
  }
  qsort(met, (size_t)nbr_met, sizeof *met, compare_groups);
  int *rank = (int *)tool_calloc((size_t)nbr_met, sizeof *rank);
  s->nbr_groups = nbr_met;
  s->groups = (SummaryGroup *)tool_calloc((size_t)nbr_met, sizeof *s->groups);
  for (int g = 0; g < nbr_met; g++) {
    rank[met[g].old] = g;
    s->groups[g].key = met[g].key;
    s->groups[g].length = met[g].length;
  }
  name_table_init(&s->load_group, loads, 1, nullptr);
  for (Load *ld = s->z->ld; ld; ld = ld->next) {
    int g = !ld->swbs || !ld->swbs[0] ? no_code : name_table_find(&keys, ld->swbs, code_prefix(ld->swbs, digits));
    name_table_add_address(&s->load_group, ld, rank[g]);
  }
  name_table_free(&keys);
  free(rank);
  free(met);
  s->group_sum = (double *)tool_calloc((size_t)nbr_met, sizeof *s->group_sum);
  s->group_mark = (int *)tool_calloc((size_t)nbr_met, sizeof *s->group_mark);
  s->group_touched = (int *)tool_calloc((size_t)nbr_met, sizeof *s->group_touched);
  for (int p = 0; p < s->nbr_pairs; p++) {
    const Results *rs = s->pairs[p];
    for (int i = 0; i < rs->nbr_lf; i++)
      if (summary_is_running(rs->lfs[i])) s->groups[summary_group_of(s, rs->lfs[i]->ld)].total += rs->lfs[i]->kpm_load;
  }
}

static int compare_ints(const void *a, const void *b) {
  int x = *(const int *)a, y = *(const int *)b;
  return (x > y) - (x < y);
}

int summary_pair_groups(Summary *s, int p, GroupShare *out) {
  const Results *rs = s->pairs[p];
  int touched = 0;
  for (int i = 0; i < rs->nbr_lf; i++) {
    const LoadFactor *lf = rs->lfs[i];
    int g = summary_group_of(s, lf->ld);
    if (!s->group_mark[g]) {
      s->group_mark[g] = 1;
      s->group_sum[g] = 0.0;
      s->group_touched[touched++] = g;
    }
    // Idle loads add their 0, as they do to kpm's total.
    s->group_sum[g] += lf->kpm_load;
  }
  qsort(s->group_touched, (size_t)touched, sizeof *s->group_touched, compare_ints);
  for (int k = 0; k < touched; k++) {
    int g = s->group_touched[k];
    out[k].group = g;
    out[k].load = s->group_sum[g];
    // Cleared for the next call, whatever pair it asks for: every output
    // (text, page, workbook) walks the same pairs again.
    s->group_mark[g] = 0;
  }
  return touched;
}

// ---------------------------------------------------------------- top loads

// An overflowed NaN ranks below every number.
static double rank_value(double v) { return std::isnan(v) ? -INFINITY : v; }

// Load factor a is listed before b: a larger operating load, or the same
// one earlier in the report.
static int listed_before(LoadFactor *const *lfs, int a, int b) {
  double x = rank_value(lfs[a]->kpm_load), y = rank_value(lfs[b]->kpm_load);
  if (x != y) return x > y;
  return a < b;
}

// The heap keeps the last-listed of the kept loads at its root.
static void sift_down(LoadFactor *const *lfs, int *heap, int n, int i) {
  for (;;) {
    int l = 2 * i + 1, r = l + 1, last = i;
    if (l < n && listed_before(lfs, heap[last], heap[l])) last = l;
    if (r < n && listed_before(lfs, heap[last], heap[r])) last = r;
    if (last == i) return;
    int t = heap[i];
    heap[i] = heap[last];
    heap[last] = t;
    i = last;
  }
}

static void sift_up(LoadFactor *const *lfs, int *heap, int i) {
  while (i > 0) {
    int parent = (i - 1) / 2;
    if (!listed_before(lfs, heap[parent], heap[i])) return;
    int t = heap[i];
    heap[i] = heap[parent];
    heap[parent] = t;
    i = parent;
  }
}

int summary_top_loads(const Results *rs, int n, int *out) {
  if (n <= 0) return 0;
  int kept = 0;
  for (int i = 0; i < rs->nbr_lf; i++) {
    if (!summary_is_running(rs->lfs[i])) continue;
    if (kept < n) {
      out[kept] = i;
      sift_up(rs->lfs, out, kept++);
    } else if (listed_before(rs->lfs, i, out[0])) {
      out[0] = i;
      sift_down(rs->lfs, out, kept, 0);
    }
  }
  // Taking the root off each time leaves the heap's array in listing order.
  for (int end = kept - 1; end > 0; end--) {
    int t = out[0];
    out[0] = out[end];
    out[end] = t;
    sift_down(rs->lfs, out, end, 0);
  }
  return kept;
}

void summary_margin_steps(double load, const double *margins, int nbr, double *steps) {
  steps[0] = load;
  for (int i = 0; i < nbr; i++) steps[i + 1] = steps[i] * (1.0 + margins[i] / 100.0);
}

int summary_margin_label(char *buf, size_t size, double percent) {
  char number[SHORTEST_REAL_SIZE];
  if (percent == 0) percent = 0.0; // no "-0"
  format_shortest_real(number, sizeof number, percent);
  int n = snprintf(buf, size, "%s%s %%", percent >= 0 ? "+" : "", number);
  return n < 0 ? 0 : (n >= (int)size ? (int)size - 1 : n);
}
