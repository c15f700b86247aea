// The load list's columns, the texts a study file can hold, a table of
// names, and the import of a list into a study file.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tools/load_list.h"
#include "tools/tool.h"

const char *const LIST_COLUMN_NAMES[LIST_PAIR] = {"", "name", "swbs", "connected_load", "peak_fraction", "pf"};

// White space as kpm's reader trims it (isspace in the C locale).
static inline int is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

static void trim(const char **s, size_t *n) {
  while (*n && is_space((unsigned char)**s)) {
    (*s)++;
    (*n)--;
  }
  while (*n && is_space((unsigned char)(*s)[*n - 1])) (*n)--;
}

// The fixed columns as their headers read once case, blanks, underscores
// and a unit are set aside.
static const char *const FIXED_KEYS[LIST_PAIR] = {"", "name", "swbs", "connectedload", "peakfraction", "pf"};
// Longest of them, and so the longest header that can match one.
static const size_t FIXED_KEY_MAX = 13;

int list_classify_header(const char *text, size_t length, ListHeader *h) {
  memset(h, 0, sizeof *h);
  const char *t = text;
  size_t n = length;
  trim(&t, &n);
  size_t base = n;
  if (n && t[n - 1] == ')') {
    for (size_t i = n - 1; i-- > 0;) {
      if (t[i] == '(') {
        base = i;
        break;
      }
    }
  }
  char key[FIXED_KEY_MAX + 1];
  size_t k = 0;
  for (size_t i = 0; i < base; i++) {
    unsigned char c = (unsigned char)t[i];
    if (is_space(c) || c == '_') continue;
    if (k == FIXED_KEY_MAX) {
      k = FIXED_KEY_MAX + 1; // too long for any
      break;
    }
    key[k++] = (char)(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  if (k <= FIXED_KEY_MAX) {
    key[k] = '\0';
    for (int kind = LIST_NAME; kind < LIST_PAIR; kind++) {
      if (strcmp(key, FIXED_KEYS[kind]) == 0) return h->kind = kind;
    }
  }
  const char *slash = (const char *)memchr(t, '/', n);
  if (!slash) return h->kind = LIST_IGNORED;
  h->oc = t;
  h->oc_length = (size_t)(slash - t);
  trim(&h->oc, &h->oc_length);
  h->ac = slash + 1;
  h->ac_length = (size_t)(t + n - h->ac);
  trim(&h->ac, &h->ac_length);
  return h->kind = LIST_PAIR;
}

int study_text_problem(const char *s, size_t length, int allow_empty) {
  if (length == 0) return allow_empty ? TEXT_OK : TEXT_EMPTY;
  if (length > STUDY_TEXT_MAX) return TEXT_TOO_LONG;
  if (memchr(s, '<', length)) return TEXT_HAS_LT;
  if (memchr(s, '\0', length)) return TEXT_HAS_NUL;
  if (is_space((unsigned char)s[0]) || is_space((unsigned char)s[length - 1])) return TEXT_HAS_SPACE;
  return TEXT_OK;
}

const char *study_text_reason(int problem) {
  switch (problem) {
  case TEXT_HAS_LT:
    return "holds \"<\", which kpm would read as markup";
  case TEXT_HAS_NUL:
    return "holds a NUL byte, where kpm would end the text";
  case TEXT_HAS_SPACE:
    return "begins or ends with white space, which kpm would trim away";
  case TEXT_TOO_LONG:
    return "is longer than the 65535 bytes that kpm reads in a text";
  case TEXT_EMPTY:
    return "is empty";
  default:
    return "is fine";
  }
}

// How an attribute value is written so that kpm's tag splitting gives it
// back: between quotes unless it holds one; bare (up to the next white
// space) when it holds a quote; neither when it holds ">", which ends the tag.
enum { VALUE_QUOTED, VALUE_BARE, VALUE_IMPOSSIBLE };

static int value_form(const char *s, size_t n, const char **why) {
  if (memchr(s, '>', n)) {
    *why = "holds \">\", which would end kpm's tag";
    return VALUE_IMPOSSIBLE;
  }
  if (!memchr(s, '"', n)) return VALUE_QUOTED;
  if (s[0] == '"') {
    *why = "begins with a double quote, which kpm cannot read in an attribute";
    return VALUE_IMPOSSIBLE;
  }
  for (size_t i = 0; i < n; i++) {
    if (is_space((unsigned char)s[i])) {
      *why = "holds both a double quote and white space, which kpm cannot read in an attribute";
      return VALUE_IMPOSSIBLE;
    }
  }
  return VALUE_BARE;
}

char *lf_start_tag(const char *oc, size_t oc_length, const char *ac, size_t ac_length, size_t *length,
                   const char **why) {
  int oc_form = value_form(oc, oc_length, why);
  if (oc_form == VALUE_IMPOSSIBLE) return nullptr;
  int ac_form = value_form(ac, ac_length, why);
  if (ac_form == VALUE_IMPOSSIBLE) return nullptr;
  // "<lf oc=" V " ac=" V ">": a bare value at the end is followed by a blank,
  // so that a "/" at its end cannot make the tag an empty-element tag.
  size_t n = 7 + oc_length + (oc_form == VALUE_QUOTED ? 2 : 0) + 4 + ac_length + (ac_form == VALUE_QUOTED ? 2 : 1) + 1;
  if (n - 2 > STUDY_TAG_MAX) {
    *why = "are too long together for kpm's tag of at most 65534 bytes";
    return nullptr;
  }
  size_t cap = 0;
  char *tag = (char *)csv_grow(nullptr, 0, &cap, n + 1);
  size_t o = 0;
  memcpy(tag + o, "<lf oc=", 7);
  o += 7;
  if (oc_form == VALUE_QUOTED) tag[o++] = '"';
  memcpy(tag + o, oc, oc_length);
  o += oc_length;
  if (oc_form == VALUE_QUOTED) tag[o++] = '"';
  memcpy(tag + o, " ac=", 4);
  o += 4;
  if (ac_form == VALUE_QUOTED) tag[o++] = '"';
  memcpy(tag + o, ac, ac_length);
  o += ac_length;
  tag[o++] = ac_form == VALUE_QUOTED ? '"' : ' ';
  tag[o++] = '>';
  tag[o] = '\0';
  *length = o;
  return tag;
}

// --- The table of names -------------------------------------------------

static size_t hash_bytes(const char *s, size_t n) {
  uint64_t h = 14695981039346656037ull; // FNV-1a
  for (size_t i = 0; i < n; i++) {
    h ^= (unsigned char)s[i];
    h *= 1099511628211ull;
  }
  return (size_t)h;
}

void name_table_init(NameTable *t) { memset(t, 0, sizeof *t); }

void name_table_free(NameTable *t) {
  free(t->slots);
  free(t->keys);
  memset(t, 0, sizeof *t);
}

static NameEntry *find_slot(const NameTable *t, const char *key, size_t length, size_t hash) {
  size_t mask = t->nbr_slots - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    NameEntry *e = &t->slots[i];
    if (e->value < 0) return e;
    if (e->hash == hash && e->length == length && memcmp(t->keys + e->offset, key, length) == 0) return e;
  }
}

static void grow_slots(NameTable *t) {
  size_t n = t->nbr_slots ? t->nbr_slots * 2 : 64;
  size_t bytes = 0;
  NameEntry *slots = (NameEntry *)csv_grow(nullptr, 0, &bytes, n * sizeof(NameEntry));
  for (size_t i = 0; i < n; i++) slots[i].value = -1;
  NameEntry *old = t->slots;
  size_t old_n = t->nbr_slots;
  t->slots = slots;
  t->nbr_slots = n;
  for (size_t i = 0; i < old_n; i++) {
    if (old[i].value < 0) continue;
    *find_slot(t, t->keys + old[i].offset, old[i].length, old[i].hash) = old[i];
  }
  free(old);
}

int name_table_find(const NameTable *t, const char *key, size_t length) {
  if (!t->nbr_slots) return -1;
  return find_slot(t, key, length, hash_bytes(key, length))->value;
}

int name_table_add(NameTable *t, const char *key, size_t length, int value) {
  if ((t->used + 1) * 2 > t->nbr_slots) grow_slots(t);
  size_t hash = hash_bytes(key, length);
  NameEntry *e = find_slot(t, key, length, hash);
  if (e->value >= 0) return e->value;
  if (t->keys_length + length + 1 > t->keys_cap)
    t->keys = (char *)csv_grow(t->keys, t->keys_length, &t->keys_cap, t->keys_length + length + 1);
  memcpy(t->keys + t->keys_length, key, length);
  e->offset = t->keys_length;
  e->length = length;
  e->hash = hash;
  e->value = value;
  t->keys_length += length + 1;
  t->used++;
  return -1;
}

// --- The import ---------------------------------------------------------

// A growable array of bytes.
struct Bytes {
  char *p;
  size_t length, cap;
};

// Appends n bytes and a NUL; returns where they start.
static size_t bytes_add(Bytes *b, const void *s, size_t n) {
  if (b->length + n + 1 > b->cap) b->p = (char *)csv_grow(b->p, b->length, &b->cap, b->length + n + 1);
  size_t at = b->length;
  memcpy(b->p + at, s, n);
  b->p[at + n] = '\0';
  b->length += n + 1;
  return at;
}

struct Pair {
  int oc, ac;        // indexes of the conditions, in order of first mention
  long column;       // its column
  size_t header;     // "oc/ac" as messages show it, in the import's texts
  size_t tag;        // the lf start tag, in the import's texts; when tag_length is 0,
  size_t tag_length; //   no tag can carry the names, and why says so
  const char *why;   //
  int reported;      // its cells' problem was reported once
};

// A text of the list as the study gets it.
struct ListText {
  size_t offset; // in the import's texts
  size_t length;
  int present; // 0: absent (an empty cell), and the study's default holds
};

struct ListLoad {
  ListText name, swbs;
  double connected_load, peak_fraction, power_factor;
  int has_peak_fraction, has_power_factor;
  size_t first_lf; // in the import's load factors
  size_t nbr_lf;
};

struct ListLf {
  size_t pair;
  double value;
};

struct Import {
  CsvReader r;
  CsvDiag *diag;
  long header_row;
  size_t nbr_columns;
  int *kind;                 // per column
  size_t *pair;              // per column, for LIST_PAIR
  long column_of[LIST_PAIR]; // 1-based column of each fixed column; 0 when absent
  long first_pair_column;
  long pair_headers; // header cells that name a pair, good or bad
  Pair *pairs;
  size_t nbr_pairs, pairs_cap;
  NameTable pair_names, oc_names, ac_names;
  size_t *oc, *ac; // the conditions' names, offsets in texts, in order of first mention
  size_t *oc_length, *ac_length;
  size_t nbr_oc, nbr_ac, oc_cap, ac_cap, oc_length_cap, ac_length_cap;
  Bytes texts;
  ListLoad *loads;
  size_t nbr_loads, loads_cap;
  ListLf *lfs;
  size_t nbr_lfs, lfs_cap;
  Bytes scratch; // a number cell's text
};

static void add_condition(size_t **names, size_t **lengths, size_t *n, size_t *cap, size_t *lcap, size_t offset,
                          size_t length) {
  if ((*n + 1) * sizeof(size_t) > *cap) {
    *names = (size_t *)csv_grow(*names, *n * sizeof(size_t), cap, (*n + 1) * sizeof(size_t));
    *lengths = (size_t *)csv_grow(*lengths, *n * sizeof(size_t), lcap, *cap);
  }
  (*names)[*n] = offset;
  (*lengths)[*n] = length;
  (*n)++;
}

static const char *shown(char *buf, const char *s, size_t n) { return csv_diag_text(buf, CSV_DIAG_TEXT_SIZE, s, n); }

// A condition of a pair header: its index, a new one on first mention; -1 (and an error) when no study can hold it.
static int condition_index(Import *im, int ambient, const char *name, size_t length, long column) {
  const char *what = ambient ? "ambient" : "operational";
  int problem = study_text_problem(name, length, 0);
  if (problem != TEXT_OK) {
    char buf[CSV_DIAG_TEXT_SIZE];
    if (problem == TEXT_EMPTY)
      csv_diag_error(im->diag, im->header_row, column, "the pair header names no %s condition", what);
    else
      csv_diag_error(im->diag, im->header_row, column, "the %s condition \"%s\" %s", what, shown(buf, name, length),
                     study_text_reason(problem));
    return -1;
  }
  NameTable *t = ambient ? &im->ac_names : &im->oc_names;
  size_t next = ambient ? im->nbr_ac : im->nbr_oc;
  int known = name_table_add(t, name, length, (int)next);
  if (known >= 0) return known;
  size_t at = bytes_add(&im->texts, name, length);
  if (ambient)
    add_condition(&im->ac, &im->ac_length, &im->nbr_ac, &im->ac_cap, &im->ac_length_cap, at, length);
  else
    add_condition(&im->oc, &im->oc_length, &im->nbr_oc, &im->oc_cap, &im->oc_length_cap, at, length);
  return (int)next;
}

// Most ignored columns named in their warning; the rest are counted.
static const size_t IGNORED_NAMED = 8;

static void read_header(Import *im) {
  CsvReader *r = &im->r;
  im->header_row = r->row;
  size_t n = r->nbr_fields;
  im->nbr_columns = n;
  size_t cap = 0;
  im->kind = (int *)csv_grow(nullptr, 0, &cap, n * sizeof(int));
  cap = 0;
  im->pair = (size_t *)csv_grow(nullptr, 0, &cap, n * sizeof(size_t));
  Bytes ignored = {nullptr, 0, 0};
  size_t nbr_ignored = 0;
  long first_ignored = 0;
  char buf[CSV_DIAG_TEXT_SIZE], buf2[CSV_DIAG_TEXT_SIZE];
  for (size_t i = 0; i < n; i++) {
    long column = (long)i + 1;
    const char *text = csv_field_text(r, i);
    size_t length = r->fields[i].length;
    ListHeader h;
    int kind = list_classify_header(text, length, &h);
    im->kind[i] = kind;
    if (kind == LIST_IGNORED) {
      if (!nbr_ignored) first_ignored = column;
      if (nbr_ignored < IGNORED_NAMED) {
        char item[CSV_DIAG_TEXT_SIZE + 48];
        const char *t = text;
        size_t tn = length;
        trim(&t, &tn);
        if (tn)
          snprintf(item, sizeof item, "%s\"%s\" (column %ld)", nbr_ignored ? ", " : "", shown(buf, t, tn), column);
        else
          snprintf(item, sizeof item, "%scolumn %ld (no header)", nbr_ignored ? ", " : "", column);
        bytes_add(&ignored, item, strlen(item));
        ignored.length--; // the next item goes over the NUL
      }
      nbr_ignored++;
    } else if (kind != LIST_PAIR) {
      if (im->column_of[kind]) {
        long first = im->column_of[kind];
        csv_diag_error(im->diag, im->header_row, column, "column \"%s\" repeats column %ld (\"%s\")",
                       shown(buf, text, length), first,
                       shown(buf2, csv_field_text(r, (size_t)first - 1), r->fields[first - 1].length));
        im->kind[i] = LIST_IGNORED;
      } else {
        im->column_of[kind] = column;
      }
    } else {
      im->pair_headers++;
      int oc = condition_index(im, 0, h.oc, h.oc_length, column);
      int ac = condition_index(im, 1, h.ac, h.ac_length, column);
      if (oc < 0 || ac < 0) {
        im->kind[i] = LIST_IGNORED;
        continue;
      }
      // The pair's own spelling, for messages and to find repeats: the
      // first "/" parts the names, so "oc/ac" stands for this pair alone.
      im->scratch.length = 0;
      bytes_add(&im->scratch, h.oc, h.oc_length);
      im->scratch.p[h.oc_length] = '/'; // in place of the NUL
      bytes_add(&im->scratch, h.ac, h.ac_length);
      size_t key_length = h.oc_length + 1 + h.ac_length;
      size_t key = bytes_add(&im->texts, im->scratch.p, key_length);
      int seen = name_table_add(&im->pair_names, im->texts.p + key, key_length, (int)im->nbr_pairs);
      if (seen >= 0) {
        csv_diag_error(im->diag, im->header_row, column, "the pair \"%s\" repeats column %ld",
                       shown(buf, im->texts.p + key, key_length), im->pairs[seen].column);
        im->kind[i] = LIST_IGNORED;
        continue;
      }
      if (!im->first_pair_column) im->first_pair_column = column;
      if ((im->nbr_pairs + 1) * sizeof(Pair) > im->pairs_cap)
        im->pairs = (Pair *)csv_grow(im->pairs, im->nbr_pairs * sizeof(Pair), &im->pairs_cap,
                                     (im->nbr_pairs + 1) * sizeof(Pair));
      Pair *p = &im->pairs[im->nbr_pairs];
      memset(p, 0, sizeof *p);
      p->oc = oc;
      p->ac = ac;
      p->column = column;
      p->header = key;
      size_t tag_length = 0;
      char *tag = lf_start_tag(h.oc, h.oc_length, h.ac, h.ac_length, &tag_length, &p->why);
      if (tag) {
        p->tag = bytes_add(&im->texts, tag, tag_length);
        p->tag_length = tag_length;
        free(tag);
      }
      im->pair[i] = im->nbr_pairs++;
    }
  }
  if (!im->column_of[LIST_NAME]) csv_diag_error(im->diag, im->header_row, 1, "the header has no \"name\" column");
  if (!im->column_of[LIST_CONNECTED_LOAD])
    csv_diag_error(im->diag, im->header_row, 1, "the header has no \"connected_load\" column");
  if (!im->pair_headers)
    csv_diag_error(im->diag, im->header_row, 1,
                   "the header has no column for a pair of conditions (OPERATIONAL/AMBIENT, such as cruise/summer)");
  if (nbr_ignored) {
    if (nbr_ignored > IGNORED_NAMED)
      csv_diag_warning(im->diag, im->header_row, first_ignored, "columns ignored: %s and %zu more", ignored.p,
                       nbr_ignored - IGNORED_NAMED);
    else
      csv_diag_warning(im->diag, im->header_row, first_ignored, "%s ignored: %s",
                       nbr_ignored > 1 ? "columns" : "column", ignored.p);
  }
  free(ignored.p);
}

// What a number cell holds.
enum { NUMBER_OK, NUMBER_EMPTY, NUMBER_BAD, NUMBER_HUGE };

// A cell that is wholly a decimal number once blanks are trimmed: no hex, no
// inf or nan, no unit. With decimal_comma, one comma and no point also do.
// *shown_text gets the trimmed text for messages.
static int read_number(Import *im, size_t field, int decimal_comma, double *v, const char **text, size_t *length) {
  const char *s = csv_field_text(&im->r, field);
  size_t n = im->r.fields[field].length;
  trim(&s, &n);
  *text = s;
  *length = n;
  if (n == 0) return NUMBER_EMPTY;
  size_t commas = 0, points = 0, digits = 0;
  for (size_t i = 0; i < n; i++) {
    char c = s[i];
    if (c >= '0' && c <= '9')
      digits++;
    else if (c == ',')
      commas++;
    else if (c == '.')
      points++;
    else if (c != '+' && c != '-' && c != 'e' && c != 'E')
      return NUMBER_BAD;
  }
  if (!digits) return NUMBER_BAD;
  if (commas && (!decimal_comma || commas > 1 || points)) return NUMBER_BAD;
  im->scratch.length = 0;
  bytes_add(&im->scratch, s, n);
  if (commas) *strchr(im->scratch.p, ',') = '.';
  char *end = nullptr;
  errno = 0;
  *v = strtod(im->scratch.p, &end);
  if (end != im->scratch.p + n) return NUMBER_BAD;
  if (!std::isfinite(*v)) return NUMBER_HUGE;
  return NUMBER_OK;
}

// Where a list separates its cells with commas, a number needs a decimal point.
static const char *decimal_comma_hint(const Import *im, const char *text, size_t length) {
  if (im->r.separator == ',' && memchr(text, ',', length)) return " (with commas between cells, write a decimal point)";
  return "";
}

// A number column's cell: 1 with *v when it holds a number in range, 0 when
// empty, -1 after an error.
static int number_cell(Import *im, int kind, double *v) {
  long column = im->column_of[kind];
  if (!column || (size_t)column > im->r.nbr_fields) {
    if (kind == LIST_CONNECTED_LOAD && column)
      csv_diag_error(im->diag, im->r.row, column, "connected_load is empty; every load needs one");
    return 0;
  }
  const char *text;
  size_t length;
  char buf[CSV_DIAG_TEXT_SIZE];
  int got = read_number(im, (size_t)column - 1, im->r.separator != ',', v, &text, &length);
  const char *what = LIST_COLUMN_NAMES[kind];
  long row = im->r.row;
  switch (got) {
  case NUMBER_EMPTY:
    if (kind == LIST_CONNECTED_LOAD) {
      csv_diag_error(im->diag, row, column, "connected_load is empty; every load needs one");
      return -1;
    }
    return 0;
  case NUMBER_BAD:
    csv_diag_error(im->diag, row, column, "%s \"%s\" is not a number%s", what, shown(buf, text, length),
                   decimal_comma_hint(im, text, length));
    return -1;
  case NUMBER_HUGE:
    csv_diag_error(im->diag, row, column, "%s %s is too large for a number", what, shown(buf, text, length));
    return -1;
  }
  // The ranges that kpm's checks accept.
  double x = *v;
  if (kind == LIST_CONNECTED_LOAD && x < 0) {
    csv_diag_error(im->diag, row, column, "connected_load %s is out of range (kpm accepts 0 or more)",
                   shown(buf, text, length));
    return -1;
  }
  if (kind == LIST_PEAK_FRACTION && (x < 0 || x > 1)) {
    csv_diag_error(im->diag, row, column, "peak_fraction %s is out of range (kpm accepts 0 to 1)",
                   shown(buf, text, length));
    return -1;
  }
  if (kind == LIST_PF && (x < -1 || x > 1 || x == 0)) {
    csv_diag_error(im->diag, row, column, "pf %s is out of range (kpm accepts -1 to 1, but not 0)",
                   shown(buf, text, length));
    return -1;
  }
  return 1;
}

// A text column's cell: an empty cell is absent (the study's default),
// unless it was written as "" (an empty text).
static int text_cell(Import *im, int kind, ListText *t, int keep) {
  memset(t, 0, sizeof *t);
  long column = im->column_of[kind];
  if (!column || (size_t)column > im->r.nbr_fields) return 0;
  size_t field = (size_t)column - 1;
  const char *s = csv_field_text(&im->r, field);
  size_t n = im->r.fields[field].length;
  if (n == 0 && !im->r.fields[field].quoted) return 0;
  int problem = study_text_problem(s, n, 1);
  if (problem != TEXT_OK) {
    char buf[CSV_DIAG_TEXT_SIZE];
    csv_diag_error(im->diag, im->r.row, column, "%s \"%s\" %s", LIST_COLUMN_NAMES[kind], shown(buf, s, n),
                   study_text_reason(problem));
    return -1;
  }
  t->present = 1;
  t->length = n;
  if (keep) t->offset = bytes_add(&im->texts, s, n);
  return 1;
}

static void read_row(Import *im) {
  CsvReader *r = &im->r;
  long row = r->row;
  char buf[CSV_DIAG_TEXT_SIZE], buf2[CSV_DIAG_TEXT_SIZE];
  if (r->nbr_fields > im->nbr_columns)
    csv_diag_error(im->diag, row, (long)im->nbr_columns + 1, "the row has %zu cells, more than the header's %zu",
                   r->nbr_fields, im->nbr_columns);
  // Only a list without errors is written, so nothing is kept once one is found.
  int keep = im->diag->errors == 0;
  ListLoad ld;
  memset(&ld, 0, sizeof ld);
  text_cell(im, LIST_NAME, &ld.name, keep);
  text_cell(im, LIST_SWBS, &ld.swbs, keep);
  number_cell(im, LIST_CONNECTED_LOAD, &ld.connected_load);
  int peak = number_cell(im, LIST_PEAK_FRACTION, &ld.peak_fraction);
  ld.has_peak_fraction = peak > 0;
  ld.has_power_factor = number_cell(im, LIST_PF, &ld.power_factor) > 0;
  // kpm's default peak fraction, when the cell gives none.
  double peak_fraction = peak > 0 ? ld.peak_fraction : 1.0;
  ld.first_lf = im->nbr_lfs;
  size_t last = r->nbr_fields < im->nbr_columns ? r->nbr_fields : im->nbr_columns;
  int any = 0;
  for (size_t i = 0; i < last; i++) {
    if (im->kind[i] != LIST_PAIR) continue;
    const char *text;
    size_t length;
    double v;
    int got = read_number(im, i, r->separator != ',', &v, &text, &length);
    if (got == NUMBER_EMPTY) continue;
    any = 1;
    long column = (long)i + 1;
    Pair *p = &im->pairs[im->pair[i]];
    const char *pair = im->texts.p + p->header;
    if (got == NUMBER_BAD) {
      csv_diag_error(im->diag, row, column, "the load factor \"%s\" (%s) is not a number%s", shown(buf, text, length),
                     shown(buf2, pair, strlen(pair)), decimal_comma_hint(im, text, length));
    } else if (got == NUMBER_HUGE || v < 0 || v > 1) {
      csv_diag_error(im->diag, row, column, "the load factor %s (%s) is out of range (kpm accepts 0 to 1)",
                     shown(buf, text, length), shown(buf2, pair, strlen(pair)));
    } else if (v > peak_fraction && peak >= 0) {
      csv_diag_error(im->diag, row, column,
                     "the load factor %s (%s) is above the load's peak fraction %g (kpm accepts up to the peak "
                     "fraction)",
                     shown(buf, text, length), shown(buf2, pair, strlen(pair)), peak_fraction);
    } else if (!p->tag_length) {
      // Reported once: every cell of the column has the same problem.
      if (!p->reported) {
        const char *oc = im->texts.p + im->oc[p->oc];
        const char *ac = im->texts.p + im->ac[p->ac];
        const char *why = nullptr;
        const char *name = value_form(oc, strlen(oc), &why) == VALUE_IMPOSSIBLE ? oc : ac;
        csv_diag_error(im->diag, row, column,
                       "no load factor can be written under %s: the condition \"%s\" %s (the column may stay empty)",
                       shown(buf2, pair, strlen(pair)), shown(buf, name, strlen(name)), p->why);
        p->reported = 1;
      }
    } else if (im->diag->errors == 0) {
      if ((im->nbr_lfs + 1) * sizeof(ListLf) > im->lfs_cap)
        im->lfs =
            (ListLf *)csv_grow(im->lfs, im->nbr_lfs * sizeof(ListLf), &im->lfs_cap, (im->nbr_lfs + 1) * sizeof(ListLf));
      im->lfs[im->nbr_lfs].pair = im->pair[i];
      im->lfs[im->nbr_lfs].value = v;
      im->nbr_lfs++;
    }
  }
  if (!any && im->first_pair_column)
    csv_diag_error(im->diag, row, im->first_pair_column,
                   "the load has no load factor (kpm needs at least one pair of conditions for each load)");
  if (!keep || im->diag->errors) return;
  ld.nbr_lf = im->nbr_lfs - ld.first_lf;
  if ((im->nbr_loads + 1) * sizeof(ListLoad) > im->loads_cap)
    im->loads = (ListLoad *)csv_grow(im->loads, im->nbr_loads * sizeof(ListLoad), &im->loads_cap,
                                     (im->nbr_loads + 1) * sizeof(ListLoad));
  im->loads[im->nbr_loads++] = ld;
}

// --- Writing the study ----------------------------------------------------
//
// kpm's reader counts the white space between an element's children against
// the element's text limit. An element whose children fit is laid out with
// one child per indented line; one with too many children for that puts
// each line break inside a tag instead, just before its ">", where it is no
// text at all:
//
//   <load
//     ><name>A</name
//     ><lf oc="cruise" ac="summer">0.5</lf
//   ></load>
//
// Every tag is left open (its ">" pending) until the next one is written,
// which then knows where the line break goes.

struct XmlOut {
  FILE *f;
  int pending; // the last tag waits for its ">"
};

static const char INDENT[] = "          ";
static const int INDENT_STEP = 2;

static void put(XmlOut *x, const char *s, size_t n) { fwrite(s, 1, n, x->f); }
static void puts_(XmlOut *x, const char *s) { put(x, s, strlen(s)); }

// The break before a child (at depth) of an element laid out with lines
// (pretty) or with breaks inside tags.
static void xml_break(XmlOut *x, int pretty, int depth) {
  if (pretty && x->pending) putc('>', x->f);
  putc('\n', x->f);
  put(x, INDENT, (size_t)(depth * INDENT_STEP));
  if (!pretty) putc('>', x->f);
  x->pending = 0;
}

// White space between children and before the end tag of an element at
// depth with n children, when laid out with lines.
static int fits_with_lines(size_t n, int depth) {
  size_t per_child = 1 + (size_t)((depth + 1) * INDENT_STEP);
  size_t total = n * per_child + 1 + (size_t)(depth * INDENT_STEP);
  return total <= STUDY_TEXT_MAX;
}

static void xml_leaf(XmlOut *x, int pretty, int depth, const char *tag, const char *text, size_t n) {
  xml_break(x, pretty, depth);
  fprintf(x->f, "<%s>", tag);
  put(x, text, n);
  fprintf(x->f, "</%s", tag);
  x->pending = 1;
}

static void xml_number(XmlOut *x, int pretty, int depth, const char *tag, double v) {
  char buf[SHORTEST_REAL_SIZE];
  int n = format_shortest_real(buf, sizeof buf, v);
  xml_leaf(x, pretty, depth, tag, buf, (size_t)n);
}

static void write_conditions(Import *im, XmlOut *x, int pretty, int ambient) {
  const char *group = ambient ? "ambient_conditions" : "operational_conditions";
  size_t n = ambient ? im->nbr_ac : im->nbr_oc;
  size_t *names = ambient ? im->ac : im->oc;
  size_t *lengths = ambient ? im->ac_length : im->oc_length;
  xml_break(x, pretty, 1);
  fprintf(x->f, "<%s", group);
  x->pending = 1;
  int lines = fits_with_lines(n, 1);
  for (size_t i = 0; i < n; i++) {
    xml_break(x, lines, 2);
    fprintf(x->f, "<name order=\"%zu\">", i + 1);
    put(x, im->texts.p + names[i], lengths[i]);
    puts_(x, "</name");
    x->pending = 1;
  }
  xml_break(x, lines, 1);
  fprintf(x->f, "</%s", group);
  x->pending = 1;
}

static void write_load(Import *im, XmlOut *x, int pretty, const ListLoad *ld) {
  xml_break(x, pretty, 1);
  puts_(x, "<load");
  x->pending = 1;
  size_t children = (size_t)ld->name.present + (size_t)ld->swbs.present + 1 + (size_t)ld->has_peak_fraction +
                    (size_t)ld->has_power_factor + ld->nbr_lf;
  int lines = fits_with_lines(children, 1);
  if (ld->name.present) xml_leaf(x, lines, 2, "name", im->texts.p + ld->name.offset, ld->name.length);
  if (ld->swbs.present) xml_leaf(x, lines, 2, "swbs", im->texts.p + ld->swbs.offset, ld->swbs.length);
  xml_number(x, lines, 2, "connected_load", ld->connected_load);
  if (ld->has_peak_fraction) xml_number(x, lines, 2, "peak_fraction", ld->peak_fraction);
  if (ld->has_power_factor) xml_number(x, lines, 2, "pf", ld->power_factor);
  char buf[SHORTEST_REAL_SIZE];
  for (size_t i = 0; i < ld->nbr_lf; i++) {
    const ListLf *lf = &im->lfs[ld->first_lf + i];
    const Pair *p = &im->pairs[lf->pair];
    xml_break(x, lines, 2);
    put(x, im->texts.p + p->tag, p->tag_length);
    int n = format_shortest_real(buf, sizeof buf, lf->value);
    put(x, buf, (size_t)n);
    put(x, "</lf", 4);
    x->pending = 1;
  }
  xml_break(x, lines, 1);
  puts_(x, "</load");
  x->pending = 1;
}

static void write_study(Import *im, const ImportOptions *options, FILE *out) {
  XmlOut x = {out, 0};
  int has_name = options->name && options->name[0];
  puts_(&x, "<kpm");
  x.pending = 1;
  int lines = fits_with_lines((size_t)has_name + 2 + im->nbr_loads, 0);
  if (has_name) xml_leaf(&x, lines, 1, "name", options->name, strlen(options->name));
  write_conditions(im, &x, lines, 0);
  write_conditions(im, &x, lines, 1);
  for (size_t i = 0; i < im->nbr_loads; i++) write_load(im, &x, lines, &im->loads[i]);
  xml_break(&x, lines, 0);
  puts_(&x, "</kpm>\n");
}

static void release(Import *im) {
  csv_close(&im->r);
  free(im->kind);
  free(im->pair);
  free(im->pairs);
  name_table_free(&im->pair_names);
  name_table_free(&im->oc_names);
  name_table_free(&im->ac_names);
  free(im->oc);
  free(im->ac);
  free(im->oc_length);
  free(im->ac_length);
  free(im->texts.p);
  free(im->loads);
  free(im->lfs);
  free(im->scratch.p);
}

int import_load_list(FILE *in, CsvDiag *diag, const ImportOptions *options, FILE *out, ImportCounts *counts) {
  Import im;
  memset(&im, 0, sizeof im);
  im.diag = diag;
  name_table_init(&im.pair_names);
  name_table_init(&im.oc_names);
  name_table_init(&im.ac_names);
  csv_open(&im.r, in, diag);
  im.r.separator = options->separator ? options->separator : csv_sniff_separator(&im.r);
  int have_header = 0;
  while (csv_read_record(&im.r)) {
    if (csv_record_is_blank(&im.r)) continue;
    if (!have_header) {
      read_header(&im);
      have_header = 1;
    } else if (!im.r.broken) {
      // A record that an unclosed quote swallowed has no cells to check.
      read_row(&im);
    }
  }
  int status = TOOL_DONE;
  if (im.r.read_fail) {
    tool_error("cannot read %s: %s", diag->file, strerror(errno ? errno : EIO));
    status = TOOL_USAGE_OR_IO;
  } else if (!have_header && !im.r.encoding) {
    csv_diag_error(diag, 1, 1, "the list is empty: it has no header row");
  }
  if (status == TOOL_DONE && diag->errors) status = TOOL_BAD_INPUT;
  if (status == TOOL_DONE) write_study(&im, options, out);
  if (counts) {
    counts->loads = (long)im.nbr_loads;
    counts->pairs = (long)im.nbr_pairs;
    counts->operational = (long)im.nbr_oc;
    counts->ambient = (long)im.nbr_ac;
  }
  release(&im);
  return status;
}
