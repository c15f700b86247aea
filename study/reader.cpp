// The study file reader: maps the XML tree of a study file onto the model,
// then hands the model to the preparation.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "driver/driver.h"
#include "study/study.h"
#include "xml/xmlentity.h"

// 1 while the root's children are mapped ahead of the walk (see read_root_child):
// error lines are then the walk's to print.
static int quiet;

// Element names are lower-cased before the walk; attribute names are not.
static int is_named(const XMLENTITY *e, const char *name) { return e->name && strcmp(e->name, name) == 0; }

// Skipped wherever they stand among the children of kpm, a condition group or a load;
// an XML comment is named "comment" once lower-cased.
static int is_comment(const XMLENTITY *e) { return is_named(e, "comment") || is_named(e, "c"); }

static int has_text(const XMLENTITY *e) { return e->data && e->data[0] != '\0'; }

// Exact powers of ten: every one up to 10^22 is a double.
static const double POWERS_OF_TEN[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
static const int MAX_EXACT_POWER = 22;
// Digits whose value is below this are an exact double.
static const uint64_t MAX_EXACT_MANTISSA = UINT64_C(1) << 53;
// More digits than this may not fit the 64-bit mantissa.
static const int MAX_FAST_DIGITS = 19;

// A study holds a number for every load factor, and the library's conversion
// is slow. Short decimals, the usual kind, are converted here: when the digits
// form an integer below 2^53 and the power of ten is at most 22, that integer
// and the power are exact doubles, so one multiplication or division rounds
// exactly as the library does. Everything else goes to atof.
double text_to_real(const char *text) {
  const char *p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) return atof(text);
  uint64_t mantissa = 0;
  int digits = 0, exponent = 0;
  for (; *p >= '0' && *p <= '9'; p++, digits++) mantissa = mantissa * 10 + (uint64_t)(*p - '0');
  if (*p == '.')
    for (p++; *p >= '0' && *p <= '9'; p++, digits++, exponent--) mantissa = mantissa * 10 + (uint64_t)(*p - '0');
  if (digits == 0 || digits > MAX_FAST_DIGITS) return atof(text);
  if (*p == 'e' || *p == 'E') {
    const char *q = p + 1;
    bool negative_exponent = *q == '-';
    if (*q == '-' || *q == '+') q++;
    if (*q >= '0' && *q <= '9') { // otherwise the "e" is not part of the number
      int e = 0;
      for (; *q >= '0' && *q <= '9'; q++)
        if (e < 10000) e = e * 10 + (*q - '0');
      exponent += negative_exponent ? -e : e;
    }
  }
  if (mantissa > MAX_EXACT_MANTISSA || exponent < -MAX_EXACT_POWER || exponent > MAX_EXACT_POWER) return atof(text);
  double v = (double)mantissa;
  v = exponent < 0 ? v / POWERS_OF_TEN[-exponent] : v * POWERS_OF_TEN[exponent];
  return negative ? -v : v;
}

// An order without value counts as absent; out-of-range values clamp to int.
int order_value(const char *text) {
  if (!text) return 0;
  long v = strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return (int)v;
}

// The last "order" attribute counts; other attributes of a condition name are ignored.
static int read_order(const XMLENTITY *name) {
  int order = 0;
  for (const XMLENTITY *a = name->attr; a; a = a->next)
    if (is_named(a, "order")) order = order_value(a->data);
  return order;
}

// A value element written as an empty-element tag has no text and leaves the
// field as it is. 1 when the field was set.
static int read_real(const XMLENTITY *e, double *field) {
  if (!e->data) return 0;
  *field = text_to_real(e->data);
  return 1;
}

// Tells a checker what a record was made or set from.
static void tell_made(LoadStudy *z, int what, const XMLENTITY *e, void *record) {
  if (z->check) z->check->made(z->check, what, e, record);
}

// Tells a checker of a problem; the walk then goes on.
static void tell_problem(LoadStudy *z, int problem, const XMLENTITY *e, const XMLENTITY *attr) {
  z->check->problem(z->check, problem, e, attr, nullptr, nullptr);
}

// The last one counts; the earlier copy stays with the model, like every copy.
static void replace_string(char **field, const char *text) { *field = copystring(text); }

// Every load factor names its two conditions, and a study has few of them:
// load factors share one copy of each name rather than hold millions of
// copies. Nothing writes to the copies. Names beyond the table's room are
// copied as any other text.
static const size_t SHARED_NAME_SLOTS = 8192; // a power of two; kept at most half full
static NameSlot shared_name_room[SHARED_NAME_SLOTS];
static NameTable shared_names;

static void forget_shared_names(void) { name_table_init_on(&shared_names, shared_name_room, SHARED_NAME_SLOTS); }

static void share_string(char **field, const char *text) {
  if (!text) {
    *field = nullptr;
    return;
  }
  size_t n = strlen(text);
  const char *shared = name_table_key(&shared_names, text, n);
  if (shared) {
    *field = (char *)shared;
    return;
  }
  *field = copystring(text);
  name_table_add(&shared_names, *field, n, 0);
}

static int read_condition_group(LoadStudy *z, const XMLENTITY *group, int ambient) {
  for (const XMLENTITY *c = group->child; c; c = c->next) {
    if (is_named(c, "name")) {
      if (!has_text(c)) continue;
      if (ambient) {
        AmbientCondition *ac = alloc_AmbientCondition();
        ac->name = copystring(c->data);
        ac->order = read_order(c);
        ac->next = z->ac;
        z->ac = ac;
        z->nbr_ac++;
        tell_made(z, STUDY_MADE_AMBIENT, c, ac);
      } else {
        OperationalCondition *oc = alloc_OperationalCondition();
        oc->name = copystring(c->data);
        oc->order = read_order(c);
        oc->next = z->oc;
        z->oc = oc;
        z->nbr_oc++;
        tell_made(z, STUDY_MADE_OPERATIONAL, c, oc);
      }
    } else if (!is_comment(c)) {
      if (z->check) {
        tell_problem(z, STUDY_UNKNOWN_TAG, c, nullptr);
        continue;
      }
      if (!quiet) fprintf(stderr, " *** ERROR: Unknown tag <%s> in file %s (6)\n", str_or_null(c->name), z->xmlfile);
      return 6;
    }
  }
  return 0;
}

static int read_load_factor(LoadStudy *z, Load *ld, const XMLENTITY *e) {
  if (z->debug) {
    printf("f");
    fflush(stdout);
  }
  LoadFactor *lf = alloc_LoadFactor();
  lf->ld = ld;
  lf->next = ld->lf;
  ld->lf = lf;
  tell_made(z, STUDY_MADE_LOAD_FACTOR, e, lf);
  for (const XMLENTITY *a = e->attr; a; a = a->next) {
    if (is_named(a, "oc")) {
      share_string(&lf->oc_name, a->data);
    } else if (is_named(a, "ac")) {
      share_string(&lf->ac_name, a->data);
    } else {
      if (z->check) {
        tell_problem(z, STUDY_LF_UNKNOWN_ATTRIBUTE, e, a);
        continue;
      }
      if (!quiet)
        fprintf(stderr, " *** ERROR: Unknown <lf> name token (%s) in file %s (6)\n", str_or_null(a->name), z->xmlfile);
      return 6;
    }
  }
  if (!lf->oc_name || !lf->ac_name) {
    // A checker's preparation passes over a load factor without its two names.
    if (z->check) {
      tell_problem(z, STUDY_LF_WITHOUT_CONDITION, e, nullptr);
      lf->oc_name = lf->ac_name = nullptr;
      return 0;
    }
    if (!quiet) fprintf(stderr, " *** ERROR: oc and/or ac not defined for <lf> in file %s (6)\n", z->xmlfile);
    return 6;
  }
  read_real(e, &lf->loadfactor);
  return 0;
}

static int read_load(LoadStudy *z, const XMLENTITY *e) {
  if (z->debug) {
    printf("l");
    fflush(stdout);
  }
  Load *ld = alloc_Load();
  ld->next = z->ld;
  z->ld = ld;
  z->nbr_ld++;
  tell_made(z, STUDY_MADE_LOAD, e, ld);
  // Load factors first: most children of a load are.
  for (const XMLENTITY *c = e->child; c; c = c->next) {
    int set = 1; // whether c set a field of the load
    if (is_named(c, "lf")) {
      int status = read_load_factor(z, ld, c);
      if (status != 0) return status;
      continue;
    } else if (is_named(c, "name")) {
      replace_string(&ld->name, c->data);
    } else if (is_named(c, "swbs")) {
      replace_string(&ld->swbs, c->data);
    } else if (is_named(c, "connected_load")) {
      set = read_real(c, &ld->connected_load);
    } else if (is_named(c, "peak_fraction")) {
      set = read_real(c, &ld->peak_fraction);
    } else if (is_named(c, "pf")) {
      set = read_real(c, &ld->power_factor);
    } else if (is_comment(c)) {
      continue;
    } else {
      if (z->check) {
        tell_problem(z, STUDY_UNKNOWN_TAG, c, nullptr);
        continue;
      }
      if (!quiet) fprintf(stderr, " *** ERROR: Unknown tag <%s> in file %s (6)\n", str_or_null(c->name), z->xmlfile);
      return 6;
    }
    if (set) tell_made(z, STUDY_MADE_VALUE, c, ld);
  }
  if (!ld->lf) {
    if (z->check) {
      tell_problem(z, STUDY_LOAD_WITHOUT_LF, e, nullptr);
      return 0;
    }
    if (!quiet) fprintf(stderr, " *** ERROR: no load factors defined for a load in file %s (6)\n", z->xmlfile);
    return 6;
  }
  return 0;
}

// While a study is read without debug traces, each child of the root is
// mapped as soon as the reader has it, silently, and then released: a large
// study never holds its whole tree. A child that fails is taken back out of
// the model and left in the tree, with every child after it, for the walk
// after reading, which reports it in its place. So the outcome is the one of
// reading first and walking after: an XML error anywhere still wins.

// One child of the root: 0, or the status of its first error.
static int read_root_child(LoadStudy *z, XMLENTITY *c) {
  if (is_named(c, "load")) return read_load(z, c); // most children of the root are
  if (is_named(c, "name")) {
    if (z->debug) {
      printf("n");
      fflush(stdout);
    }
    if (has_text(c) && !z->name) z->name = copystring(c->data);
  } else if (is_named(c, "operational_conditions")) {
    if (z->debug) {
      printf("o");
      fflush(stdout);
    }
    return read_condition_group(z, c, 0);
  } else if (is_named(c, "ambient_conditions")) {
    if (z->debug) {
      printf("a");
      fflush(stdout);
    }
    return read_condition_group(z, c, 1);
  } else if (!is_comment(c)) {
    if (z->check) {
      tell_problem(z, STUDY_UNKNOWN_TAG, c, nullptr);
      return 0;
    }
    if (!quiet) fprintf(stderr, " *** ERROR: Unknown tag <%s> in file %s (6)\n", str_or_null(c->name), z->xmlfile);
    return 6;
  }
  return 0;
}

// The children of the root, in file order; the first error ends the walk.
// Each child is released once mapped: the model holds copies of its strings.
static int read_study(LoadStudy *z, XMLENTITY *root) {
  for (XMLENTITY *c = root->child; c; c = root->child) {
    int status = read_root_child(z, c);
    if (status != 0) return status;
    root->child = c->next;
    c->next = nullptr;
    free_XMLENTITY(c);
  }
  return 0;
}

// "kpm" in any case, without lowering the name: the reader still needs it as
// written, to match the end tag.
static int is_kpm(const char *name) {
  return name && (name[0] | 0x20) == 'k' && (name[1] | 0x20) == 'p' && (name[2] | 0x20) == 'm' && name[3] == '\0';
}

// Children of the root in document order, linked through next.
struct ChildList {
  XMLENTITY *head;
  XMLENTITY *tail;
  long count;
};

static void append_child(ChildList *l, XMLENTITY *e) {
  e->next = nullptr;
  if (l->tail)
    l->tail->next = e;
  else
    l->head = e;
  l->tail = e;
  l->count++;
}

// Moves every child of from to the end of to.
static void move_children(ChildList *to, ChildList *from) {
  if (!from->head) return;
  if (to->tail)
    to->tail->next = from->head;
  else
    to->head = from->head;
  to->tail = from->tail;
  to->count += from->count;
  memset(from, 0, sizeof *from);
}

// With more than one processor the children are mapped, and released, on a
// thread of their own while this one goes on reading. The reader hands them
// over in batches.
static const long MAP_BATCH = 64;
// Children handed over and not yet mapped, at most: the tree in memory must
// not grow with the study when the mapping falls behind.
static const long MAP_QUEUE_LIMIT = 4096;
#ifdef KPM_ALLOC_HOOK
// The allocation-failure build counts allocations in one fixed order.
static const int MAP_ON_OWN_THREAD = 0;
#else
static const int MAP_ON_OWN_THREAD = 1;
#endif

struct MapAhead {
  LoadStudy *z;
  int stopped; // a child failed: the rest is left to the walk
  // Mapping on its own thread:
  ChildList batch;        // reading thread: read, not yet handed over
  ChildList left;         // mapping thread until it ends: the failed child and every one after it
  pthread_mutex_t lock;   // guards what follows
  pthread_cond_t changed; // children handed over or taken, or the reading ended
  ChildList waiting;      // handed over, not yet taken by the mapping thread
  int done;               // the reading has ended
};

// Maps one child of the root silently: 1 when it went into the model; 0 when
// it failed, and then everything it added is taken back out.
static int map_child(MapAhead *m, XMLENTITY *child) {
  LoadStudy *z = m->z;
  OperationalCondition *oc = z->oc;
  AmbientCondition *ac = z->ac;
  Load *ld = z->ld;
  int nbr_oc = z->nbr_oc, nbr_ac = z->nbr_ac, nbr_ld = z->nbr_ld;
  lowercase_XMLENTITY(child, 1);
  quiet = 1;
  int status = read_root_child(z, child);
  quiet = 0;
  if (status == 0) return 1;
  z->oc = oc; // what the failing child added stays unreachable
  z->ac = ac;
  z->ld = ld;
  z->nbr_oc = nbr_oc;
  z->nbr_ac = nbr_ac;
  z->nbr_ld = nbr_ld;
  m->stopped = 1;
  return 0;
}

// The hook when one thread does it all.
static int map_child_ahead(XMLENTITY *root, XMLENTITY *child, void *arg) {
  MapAhead *m = (MapAhead *)arg;
  if (m->stopped || !is_kpm(root->name) || !map_child(m, child)) return 0;
  free_XMLENTITY(child);
  return 1;
}

static void *mapping_thread(void *arg) {
  MapAhead *m = (MapAhead *)arg;
  pthread_mutex_lock(&m->lock);
  for (;;) {
    while (!m->waiting.head && !m->done) pthread_cond_wait(&m->changed, &m->lock);
    if (!m->waiting.head) break;
    ChildList work = m->waiting;
    memset(&m->waiting, 0, sizeof m->waiting);
    pthread_cond_broadcast(&m->changed);
    pthread_mutex_unlock(&m->lock);

    for (XMLENTITY *c = work.head; c;) {
      XMLENTITY *next = c->next;
      c->next = nullptr;
      if (!m->stopped && map_child(m, c))
        free_XMLENTITY(c);
      else
        append_child(&m->left, c);
      c = next;
    }
    pthread_mutex_lock(&m->lock);
  }
  pthread_mutex_unlock(&m->lock);
  return nullptr;
}

// Hands the batch over, waiting while too many children wait already.
static void hand_batch_over(MapAhead *m) {
  pthread_mutex_lock(&m->lock);
  while (m->waiting.count >= MAP_QUEUE_LIMIT) pthread_cond_wait(&m->changed, &m->lock);
  move_children(&m->waiting, &m->batch);
  pthread_cond_broadcast(&m->changed);
  pthread_mutex_unlock(&m->lock);
}

// The hook when the mapping has its own thread. Every child of the root goes
// to it, so that the children it leaves behind stay in document order.
static int hand_child_over(XMLENTITY *root, XMLENTITY *child, void *arg) {
  MapAhead *m = (MapAhead *)arg;
  if (!is_kpm(root->name)) return 0;
  append_child(&m->batch, child);
  if (m->batch.count >= MAP_BATCH) hand_batch_over(m);
  return 1;
}

// 0 when the mapping thread runs; otherwise the mapping stays on this thread.
static int start_mapping_thread(MapAhead *m, pthread_t *thread) {
  if (!MAP_ON_OWN_THREAD || calc_workers() < 2) return 1;
  pthread_mutex_init(&m->lock, nullptr);
  pthread_cond_init(&m->changed, nullptr);
  if (pthread_create(thread, nullptr, mapping_thread, m) == 0) return 0;
  pthread_cond_destroy(&m->changed);
  pthread_mutex_destroy(&m->lock);
  return 1;
}

// After the reading: lets the mapping thread finish, and puts the children it
// did not map back in front of the root's children, where the walk finds them.
static void end_mapping_thread(MapAhead *m, pthread_t thread, XMLENTITY *doc) {
  hand_batch_over(m);
  pthread_mutex_lock(&m->lock);
  m->done = 1;
  pthread_cond_broadcast(&m->changed);
  pthread_mutex_unlock(&m->lock);
  pthread_join(thread, nullptr);
  pthread_cond_destroy(&m->changed);
  pthread_mutex_destroy(&m->lock);
  if (!m->left.head) return;
  if (doc) {
    m->left.tail->next = doc->child;
    doc->child = m->left.head;
  } else {
    free_XMLENTITY(m->left.head); // cannot happen: the hook is only called for doc's children
  }
}

// The hook of a checker's reading: every child of the root is mapped as soon
// as it is read, its problems told to the checker, and released.
static int check_each_child(XMLENTITY *root, XMLENTITY *child, void *arg) {
  LoadStudy *z = (LoadStudy *)arg;
  if (!is_kpm(root->name)) return 0;
  lowercase_XMLENTITY(child, 1);
  z->check->child(z->check, child);
  read_root_child(z, child);
  free_XMLENTITY(child);
  return 1;
}

// Opens, reads and maps the study file: 0, or the status of the first failure (2 to 6).
static int read_and_map(LoadStudy *z) {
  FILE *f = z->xmlstream ? z->xmlstream : fopen(z->xmlfile, "r");
  if (!f) {
    if (!z->check) fprintf(stderr, " *** ERROR: unable to open input xml file (%s) (2)\n", z->xmlfile);
    return 2;
  }
  if (z->debug) xml_verbose_on();
  forget_shared_names(); // copies of an earlier study may be gone
  int errflag = 0;
  MapAhead ahead;
  memset(&ahead, 0, sizeof ahead);
  ahead.z = z;
  pthread_t mapper;
  XMLENTITY *doc;
  if (z->check) {
    doc = readfile_each_XMLENTITY(f, &errflag, check_each_child, z);
    z->check->document(z->check, doc, errflag);
  } else if (z->debug) {
    // The debug trace shows reading and walking one after the other: no mapping ahead.
    doc = readfile_XMLENTITY(f, &errflag);
  } else if (start_mapping_thread(&ahead, &mapper) == 0) {
    doc = readfile_each_XMLENTITY(f, &errflag, hand_child_over, &ahead);
    end_mapping_thread(&ahead, mapper, doc);
  } else {
    doc = readfile_each_XMLENTITY(f, &errflag, map_child_ahead, &ahead);
  }
  if (f != z->xmlstream) fclose(f);
  if (z->debug) {
    printf("$");
    fflush(stdout);
  }
  int status = 0;
  if (errflag != 0) {
    // A checker finds the fault with the reader's positions.
    if (!z->check) fprintf(stderr, " *** ERROR: errors detected in input xml file (%s) (3)\n", z->xmlfile);
    status = 3;
  } else if (!doc) {
    if (z->check)
      tell_problem(z, STUDY_NO_ITEM, nullptr, nullptr);
    else
      fprintf(stderr, " *** ERROR: file (%s) not in xml format (4)\n", z->xmlfile);
    status = 4;
  } else {
    lowercase_XMLENTITY(doc, 1);
    if (!is_named(doc, "kpm")) {
      if (z->check)
        tell_problem(z, STUDY_ROOT_NOT_KPM, doc, nullptr);
      else
        fprintf(stderr, " *** ERROR: file (%s) does not start with <kpm> tag (%s) (5)\n", z->xmlfile,
                str_or_null(doc->name));
      status = 5;
    } else {
      if (z->debug) {
        printf("$");
        fflush(stdout);
      }
      status = read_study(z, doc);
    }
  }
  // The model holds copies of every string, so the tree can go (also on failure, unobservably).
  free_XMLENTITY(doc);
  return status;
}

int read_study_file(LoadStudy *z) {
  if (!z) {
    fprintf(stderr, " *** ERROR: Null pointer in read_xml_FILE (-1)\n");
    return -1;
  }
  if (!z->xmlfile) {
    fprintf(stderr, " *** ERROR: input xml file not specified on command line (1)\n");
    return 1;
  }
  return read_and_map(z);
}

int read_xml_file(LoadStudy *z) {
  int status = read_study_file(z);
  if (status != 0) return status;

  printf("Preparing input for calculations\n");
  status = post_process_xml_file(z);
  if (z->debug) {
    printf(" err = %d\n", status);
    print_study(stdout, z);
    fflush(stdout);
  }
  return status;
}
