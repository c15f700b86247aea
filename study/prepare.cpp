// The study preparation: orders the conditions, links and checks every load
// factor and load, and builds one Results record per pair of conditions.
// Everything is linear in the number of loads and load factors: large studies
// (hundreds of thousands of loads) must not stall here.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "study/study.h"
#include "xml/xmlentity.h"

static const char *const PREPARATION_OUT_OF_MEMORY = " *** ERROR: Out of memory in post_process_xml_file()\n";

static void *take_zeroed(size_t count, size_t size) {
  // calloc(0) may legally return null; never ask for nothing.
  void *p = kpm_calloc(count ? count : 1, size);
  if (!p) kpm_out_of_memory(PREPARATION_OUT_OF_MEMORY);
  return p;
}

// An lfs array is part of the model and lives as long as it does.
// count is at most the number of load factors, so count * size cannot overflow.
static LoadFactor **take_lfs(size_t count) {
  LoadFactor **p = (LoadFactor **)model_take(count * sizeof(LoadFactor *));
  if (!p) kpm_out_of_memory(PREPARATION_OUT_OF_MEMORY);
  return p;
}

static int same_name(const char *a, const char *b) { return a && b && strcmp(a, b) == 0; }

// Sorting. The described insertion sort puts the smallest order first and
// keeps equal orders in file order; sorting keys by (order, place in the file)
// gives the same list in O(n log n). The lists arrive in reverse file order.
struct SortKey {
  int order;
  int place; // place in the file, which settles equal orders
  void *rec;
};

static int compare_sort_keys(const void *a, const void *b) {
  const SortKey *x = (const SortKey *)a, *y = (const SortKey *)b;
  if (x->order != y->order) return x->order < y->order ? -1 : 1;
  return x->place < y->place ? -1 : x->place > y->place;
}

// keys[0..n) hold the records in list order; sorts them into the new order.
static void sort_keys(SortKey *keys, int n) {
  for (int i = 0; i < n; i++) keys[i].place = n - 1 - i;
  qsort(keys, (size_t)n, sizeof(SortKey), compare_sort_keys);
}

static OperationalCondition *sort_operational_conditions(OperationalCondition *list, int *count) {
  int n = 0;
  for (OperationalCondition *oc = list; oc; oc = oc->next) n++;
  SortKey *keys = (SortKey *)take_zeroed((size_t)n, sizeof(SortKey));
  int i = 0;
  for (OperationalCondition *oc = list; oc; oc = oc->next, i++) {
    keys[i].order = oc->order;
    keys[i].rec = oc;
  }
  sort_keys(keys, n);
  for (i = 0; i < n; i++) {
    OperationalCondition *oc = (OperationalCondition *)keys[i].rec;
    oc->index = i; // the record's position, for the pair index
    oc->next = i + 1 < n ? (OperationalCondition *)keys[i + 1].rec : nullptr;
  }
  OperationalCondition *head = n ? (OperationalCondition *)keys[0].rec : nullptr;
  free(keys);
  *count = n;
  return head;
}

static AmbientCondition *sort_ambient_conditions(AmbientCondition *list, int *count) {
  int n = 0;
  for (AmbientCondition *ac = list; ac; ac = ac->next) n++;
  SortKey *keys = (SortKey *)take_zeroed((size_t)n, sizeof(SortKey));
  int i = 0;
  for (AmbientCondition *ac = list; ac; ac = ac->next, i++) {
    keys[i].order = ac->order;
    keys[i].rec = ac;
  }
  sort_keys(keys, n);
  for (i = 0; i < n; i++) {
    AmbientCondition *ac = (AmbientCondition *)keys[i].rec;
    ac->index = i;
    ac->next = i + 1 < n ? (AmbientCondition *)keys[i + 1].rec : nullptr;
  }
  AmbientCondition *head = n ? (AmbientCondition *)keys[0].rec : nullptr;
  free(keys);
  *count = n;
  return head;
}

// Name lookup without debug: the first condition of a name in the sorted list,
// in O(1), through a table of names whose values are positions in the list.
// Debug runs scan literally, since their trace shows each comparison.
struct ConditionNames {
  NameTable table;
  void **records; // the condition records by position in the sorted list
};

static void init_condition_names(ConditionNames *c, int n) {
  name_table_init(&c->table, (size_t)n, 0, PREPARATION_OUT_OF_MEMORY);
  c->records = (void **)take_zeroed((size_t)n, sizeof(void *));
}

// Keeps the first record of each name: conditions are added in sorted order.
static void add_condition_name(ConditionNames *c, const char *name, int index, void *rec) {
  c->records[index] = rec;
  if (name) name_table_add(&c->table, name, strlen(name), index);
}

static void *find_name(const ConditionNames *c, const char *name) {
  if (!name) return nullptr;
  int i = name_table_find(&c->table, name, strlen(name));
  return i < 0 ? nullptr : c->records[i];
}

static void free_condition_names(ConditionNames *c) {
  name_table_free(&c->table);
  free(c->records);
}

// Load factors share the copies of condition names (see the reader), so the
// same pointer comes back again and again: the latest answer for each of a
// few pointers is kept. The same pointer is the same name.
static const size_t SEEN_NAMES = 64; // a power of two
struct SeenNames {
  const char *name[SEEN_NAMES];
  void *rec[SEEN_NAMES];
};

static void *find_seen_name(SeenNames *seen, const ConditionNames *t, const char *name) {
  size_t i = ((uintptr_t)name >> 3) & (SEEN_NAMES - 1);
  if (name && seen->name[i] == name) return seen->rec[i];
  void *rec = find_name(t, name);
  seen->name[i] = name;
  seen->rec[i] = rec;
  return rec;
}

// Working state of one preparation; freed before it returns.
struct Prep {
  int nbr_oc;         // length of the sorted oc list
  int nbr_ac;         // length of the sorted ac list
  size_t nbr_pairs;   // nbr_oc * nbr_ac; a pair's index is oc->index * nbr_ac + ac->index
  ConditionNames oc_names; // without debug only
  ConditionNames ac_names; // without debug only
  SeenNames oc_seen;  // without debug only
  SeenNames ac_seen;  // without debug only
  int *stamp;         // per pair: serial of the latest load that used it
  int *count;         // per pair: load factors of that load
  int *givers;        // per pair: loads that give the pair, counted while linking
  int problems;       // found for a checker so far (see StudyCheck): no results then
};

// Tells a checker of a problem of the preparation; it then goes on.
static void tell_problem(LoadStudy *z, Prep *p, int problem, const Load *ld, const LoadFactor *lf) {
  if (problem != STUDY_LF_TWICE) p->problems++;
  z->check->problem(z->check, problem, nullptr, nullptr, ld, lf);
}

static OperationalCondition *find_operational_condition(LoadStudy *z, Prep *p, const char *name) {
  if (!z->debug) return (OperationalCondition *)find_seen_name(&p->oc_seen, &p->oc_names, name);
  for (OperationalCondition *oc = z->oc; oc; oc = oc->next) {
    printf("\no(%s)(%s)", str_or_null(oc->name), str_or_null(name));
    if (same_name(oc->name, name)) return oc;
  }
  return nullptr;
}

static AmbientCondition *find_ambient_condition(LoadStudy *z, Prep *p, const char *name) {
  if (!z->debug) return (AmbientCondition *)find_seen_name(&p->ac_seen, &p->ac_names, name);
  for (AmbientCondition *ac = z->ac; ac; ac = ac->next) {
    printf("\na(%s)(%s)", str_or_null(ac->name), str_or_null(name));
    if (same_name(ac->name, name)) return ac;
  }
  return nullptr;
}

static size_t pair_of(const Prep *p, const LoadFactor *lf) {
  return (size_t)lf->oc->index * (size_t)p->nbr_ac + (size_t)lf->ac->index;
}

// Links one load factor of load ld (the serial-th load of the list) and checks it.
static int link_load_factor(LoadStudy *z, Prep *p, Load *ld, LoadFactor *lf, int serial) {
  const char *ld_name = str_or_null(ld->name);
  const char *oc_name = str_or_null(lf->oc_name);
  const char *ac_name = str_or_null(lf->ac_name);
  if (z->debug) printf("LF load = %s lf->oc_name = %s lf->ac_name = %s\n", ld_name, oc_name, ac_name);

  // A checker was told of a load factor without its names while reading;
  // where a kind of condition is missing altogether, it was told once.
  if (z->check && (!lf->oc_name || !lf->ac_name)) {
    p->problems++; // such a load factor can join no pair
    return 0;
  }
  lf->oc = z->oc ? find_operational_condition(z, p, lf->oc_name) : nullptr;
  if (!lf->oc) {
    if (!z->check) {
      fprintf(stderr, " *** ERROR: Load (%s) Operational Condition (%s) not defined\n", ld_name, oc_name);
      return 1;
    }
    if (z->oc) tell_problem(z, p, STUDY_OC_UNDEFINED, ld, lf);
  }
  lf->ac = z->ac ? find_ambient_condition(z, p, lf->ac_name) : nullptr;
  if (!lf->ac) {
    if (!z->check) {
      fprintf(stderr, " *** ERROR: Load (%s) Ambient Condition (%s) not defined\n", ld_name, ac_name);
      return 1;
    }
    if (z->ac) tell_problem(z, p, STUDY_AC_UNDEFINED, ld, lf);
  }
  if (z->debug) {
    printf("#");
    fflush(stdout);
  }

  // One line for each earlier load factor of this load with the same pair:
  // counting them per pair keeps a load with many load factors linear.
  if (lf->oc && lf->ac) {
    size_t pair = pair_of(p, lf);
    if (p->stamp[pair] != serial) {
      p->stamp[pair] = serial;
      p->count[pair] = 0;
      p->givers[pair]++;
    }
    for (int i = 0; i < p->count[pair]; i++) {
      if (z->check)
        tell_problem(z, p, STUDY_LF_TWICE, ld, lf);
      else
        fprintf(stderr, " *** ERROR: Load (%s) loadfactor defined multiple times for OC = %s AC = %s\n", ld_name,
                oc_name, ac_name);
    }
    p->count[pair]++;
  }
  if (z->debug) {
    printf("@");
    fflush(stdout);
  }

  double v = lf->loadfactor;
  if (load_factor_is_illegal(v)) {
    if (z->check) {
      tell_problem(z, p, STUDY_LF_RANGE, ld, lf);
      return 0;
    }
    fprintf(stderr, " *** ERROR: Illegal Load factor (%f) for Load (%s) OC = (%s) AC = (%s)\n", v, ld_name, oc_name,
            ac_name);
    return 1;
  }
  if (load_factor_above_peak(v, ld->peak_fraction)) {
    if (z->check) {
      tell_problem(z, p, STUDY_LF_ABOVE_PEAK, ld, lf);
      return 0;
    }
    fprintf(stderr, " *** ERROR: Illegal Load factor (%f) > peak fracktion (%f) for Load (%s) OC = (%s) AC = (%s)\n", v,
            ld->peak_fraction, ld_name, oc_name, ac_name);
    return 1;
  }
  return 0;
}

// A value that is not a number would pass every comparison of the bad side;
// it is rejected here, and so is an infinite connected load, which would
// poison the figures.
int load_factor_is_illegal(double v) { return v < 0 || v > 1 || std::isnan(v); }

int load_factor_above_peak(double v, double peak_fraction) { return v > peak_fraction; }

int connected_load_is_illegal(double v) { return v < 0 || std::isnan(v) || std::isinf(v); }

int peak_fraction_is_illegal(double v) { return v < 0 || v > 1 || std::isnan(v); }

int power_factor_is_illegal(double v) { return v < -1 || v > 1 || v == 0 || std::isnan(v); }

// The load's own values; a checker is told of each one that is wrong.
static int check_load(LoadStudy *z, Prep *p, Load *ld) {
  const char *ld_name = str_or_null(ld->name);
  double cl = ld->connected_load;
  if (connected_load_is_illegal(cl)) {
    if (!z->check) {
      fprintf(stderr, " *** ERROR: Illegal Connected Load (%f) for Load (%s)\n", cl, ld_name);
      return 1;
    }
    tell_problem(z, p, STUDY_CONNECTED_LOAD_RANGE, ld, nullptr);
  }
  double pk = ld->peak_fraction;
  if (peak_fraction_is_illegal(pk)) {
    if (!z->check) {
      fprintf(stderr, " *** ERROR: Illegal peak fraction (%f) for Load (%s)\n", pk, ld_name);
      return 1;
    }
    tell_problem(z, p, STUDY_PEAK_FRACTION_RANGE, ld, nullptr);
  }
  double pf = ld->power_factor;
  if (power_factor_is_illegal(pf)) {
    if (!z->check) {
      fprintf(stderr, " *** ERROR: Illegal power factor (%f) for Load (%s)\n", pf, ld_name);
      return 1;
    }
    tell_problem(z, p, STUDY_POWER_FACTOR_RANGE, ld, nullptr);
  }
  return 0;
}

// Loads in list order; within a load, its load factors first, then its values.
static int link_and_check_loads(LoadStudy *z, Prep *p) {
  int serial = 0;
  for (Load *ld = z->ld; ld; ld = ld->next) {
    serial++;
    if (z->debug) {
      printf("l = %s\n", str_or_null(ld->name));
      fflush(stdout);
    }
    for (LoadFactor *lf = ld->lf; lf; lf = lf->next) {
      int status = link_load_factor(z, p, ld, lf, serial);
      if (status != 0) return status;
    }
    int status = check_load(z, p, ld);
    if (status != 0) return status;
  }
  return 0;
}

// One Results record per pair, operational condition first. Each takes, for
// every load in list order, the first load factor of the load's list that
// gives the pair. The loads are gathered for all pairs at once (counted
// while linking, so each lfs array is sized to what it holds plus a null
// end); the trace still comes out record by record.
static void build_results(LoadStudy *z, Prep *p) {
  if (z->debug) {
    printf(" allocating the results structures ");
    for (AmbientCondition *ac = z->ac; ac; ac = ac->next) {
      printf("\n");
      printf("ac->name = %s\n", str_or_null(ac->name));
    }
    fflush(stdout);
  }

  Results **by_pair = (Results **)take_zeroed(p->nbr_pairs, sizeof(Results *));
  Results *tail = nullptr;
  size_t pair = 0;
  z->r = nullptr;
  for (OperationalCondition *oc = z->oc; oc; oc = oc->next) {
    for (AmbientCondition *ac = z->ac; ac; ac = ac->next, pair++) {
      Results *r = alloc_Results();
      if (tail)
        tail->next = r;
      else
        z->r = r;
      tail = r;
      r->oc = oc;
      r->ac = ac;
      r->lfs = take_lfs((size_t)p->givers[pair] + 1);
      r->nbr_lf = 0;
      by_pair[pair] = r;
      if (z->debug) {
        printf("r->oc->name = %s r->ac->name = %s z->nbr_ld = %d\n", str_or_null(oc->name), str_or_null(ac->name),
               z->nbr_ld);
        printf("R r->oc->name = %s  r->ac->name = %s  r->nbr_lf = %d\n", str_or_null(oc->name), str_or_null(ac->name),
               p->givers[pair]);
        fflush(stdout);
      }
    }
  }

  memset(p->stamp, 0, p->nbr_pairs * sizeof(int));
  int serial = 0;
  for (Load *ld = z->ld; ld; ld = ld->next) {
    serial++;
    for (LoadFactor *lf = ld->lf; lf; lf = lf->next) {
      size_t i = pair_of(p, lf);
      if (p->stamp[i] != serial) {
        p->stamp[i] = serial;
        Results *r = by_pair[i];
        r->lfs[r->nbr_lf++] = lf;
      }
    }
  }
  free(by_pair);
}

int post_process_xml_file(LoadStudy *z) {
  if (!z) return 1;
  if (z->debug) {
    printf("+");
    printf("z->nbr_ld = %d\n", z->nbr_ld);
    for (Load *ld = z->ld; ld; ld = ld->next) printf("ld->name = %s\n", str_or_null(ld->name));
    fflush(stdout);
  }
  Prep p;
  memset(&p, 0, sizeof p);
  if (!z->oc) {
    if (!z->check) {
      fprintf(stderr, " *** ERROR: No Operational Conditions defined\n");
      return 1;
    }
    tell_problem(z, &p, STUDY_NO_OPERATIONAL, nullptr, nullptr);
  }
  z->oc = sort_operational_conditions(z->oc, &p.nbr_oc);
  if (z->debug) {
    printf("+");
    for (AmbientCondition *ac = z->ac; ac; ac = ac->next) printf("ac %s order %d\n", str_or_null(ac->name), ac->order);
    fflush(stdout);
  }
  if (!z->ac) {
    if (!z->check) {
      fprintf(stderr, " *** ERROR: No Ambient Conditions defined\n");
      return 1;
    }
    tell_problem(z, &p, STUDY_NO_AMBIENT, nullptr, nullptr);
  }
  z->ac = sort_ambient_conditions(z->ac, &p.nbr_ac);
  if (z->debug) {
    printf("\n");
    for (AmbientCondition *ac = z->ac; ac; ac = ac->next) printf("ac->name = %s\n", str_or_null(ac->name));
    printf("+");
    fflush(stdout);
  }

  p.nbr_pairs = (size_t)p.nbr_oc * (size_t)p.nbr_ac;
  p.stamp = (int *)take_zeroed(p.nbr_pairs, sizeof(int));
  p.count = (int *)take_zeroed(p.nbr_pairs, sizeof(int));
  p.givers = (int *)take_zeroed(p.nbr_pairs, sizeof(int));
  if (!z->debug) {
    init_condition_names(&p.oc_names, p.nbr_oc);
    for (OperationalCondition *oc = z->oc; oc; oc = oc->next) add_condition_name(&p.oc_names, oc->name, oc->index, oc);
    init_condition_names(&p.ac_names, p.nbr_ac);
    for (AmbientCondition *ac = z->ac; ac; ac = ac->next) add_condition_name(&p.ac_names, ac->name, ac->index, ac);
  }

  int status = link_and_check_loads(z, &p);
  if (p.problems) status = 1; // a checker's study is not calculated then
  if (status == 0) build_results(z, &p);

  free_condition_names(&p.oc_names);
  free_condition_names(&p.ac_names);
  free(p.stamp);
  free(p.count);
  free(p.givers);
  return status;
}
