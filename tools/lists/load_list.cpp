// The load list's columns, the texts a study file can hold, and the import of a list into a study file.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tools/lists/load_list.h"
#include "tools/common/similar.h"
#include "tools/common/tool.h"

const char *const LIST_COLUMN_NAMES[LIST_PAIR] = {"",   "name", "swbs", "connected_load", "peak_fraction",
                                                  "pf", "quantity"};

const ListHeaderName LIST_HEADER_NAMES[] = {
    // The name: most lists have one of these; the first found in this order wins.
    {LIST_NAME, "name", "name"},
    {LIST_NAME, "loadname", "load name"},
    {LIST_NAME, "load", "load"},
    {LIST_NAME, "equipment", "equipment"},
    {LIST_NAME, "consumer", "consumer"},
    {LIST_NAME, "description", "description"},
    {LIST_SWBS, "swbs", "swbs"},
    {LIST_SWBS, "swbscode", "swbs code"},
    {LIST_CONNECTED_LOAD, "connectedload", "connected load"},
    {LIST_CONNECTED_LOAD, "ratedpower", "rated power"},
    {LIST_CONNECTED_LOAD, "installedpower", "installed power"},
    {LIST_CONNECTED_LOAD, "kw", "kW"},
    {LIST_PEAK_FRACTION, "peakfraction", "peak fraction"},
    {LIST_PEAK_FRACTION, "peak", "peak"},
    {LIST_PF, "pf", "pf"},
    {LIST_PF, "powerfactor", "power factor"},
    {LIST_PF, "cosphi", "cos phi"},
    {LIST_PF, "cos\xcf\x86", "cos\xcf\x86"},
    {LIST_PF, "cos\xce\xa6", "cos\xce\xa6"},
    // Not "no." or "number": lists use those for item numbers.
    {LIST_QUANTITY, "qty", "qty"},
    {LIST_QUANTITY, "quantity", "quantity"},
};
const size_t LIST_NBR_HEADER_NAMES = sizeof LIST_HEADER_NAMES / sizeof LIST_HEADER_NAMES[0];
// Longer than any key, and so than any header that can match one.
static const size_t HEADER_KEY_SIZE = 24;

// White space as kpm's reader trims it (isspace in the C locale).
static inline int is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

static void trim(const char **s, size_t *n) {
  while (*n && is_space((unsigned char)**s)) {
    (*s)++;
    (*n)--;
  }
  while (*n && is_space((unsigned char)(*s)[*n - 1])) (*n)--;
}

static int text_is(const char *s, size_t n, const char *word) { return strlen(word) == n && memcmp(s, word, n) == 0; }

// The unit at the end of a trimmed header, in parentheses or brackets: the
// text before it (trimmed) in *base_length, the unit (trimmed) in *unit.
// 0 when there is none.
static int split_unit(const char *t, size_t n, size_t *base_length, const char **unit, size_t *unit_length) {
  if (n < 2 || (t[n - 1] != ')' && t[n - 1] != ']')) return 0;
  char open = t[n - 1] == ')' ? '(' : '[';
  for (size_t i = n - 1; i-- > 0;) {
    if (t[i] != open) continue;
    *unit = t + i + 1;
    *unit_length = n - 2 - i;
    trim(unit, unit_length);
    *base_length = i;
    while (*base_length && is_space((unsigned char)t[*base_length - 1])) (*base_length)--;
    return 1;
  }
  return 0;
}

// Units of measure: a column of power in W or MW converts exactly to kW;
// the others are known so that no header takes one for part of a name.
struct UnitWord {
  const char *word;
  int power; // a unit of power that kpm's kW are: shift is its power of ten against kW
  int shift;
};
static const UnitWord UNIT_WORDS[] = {
    {"W", 1, -3},    {"w", 1, -3},     {"kW", 1, 0},   {"KW", 1, 0},    {"kw", 1, 0},    {"Kw", 1, 0},
    {"MW", 1, 3},    {"%", 0, -2},     {"mW", 0, 0},   {"mw", 0, 0},    {"Mw", 0, 0},    {"VA", 0, 0},
    {"kVA", 0, 0},   {"KVA", 0, 0},    {"kva", 0, 0},  {"MVA", 0, 0},   {"A", 0, 0},     {"kA", 0, 0},
    {"V", 0, 0},     {"kV", 0, 0},     {"hp", 0, 0},   {"HP", 0, 0},    {"PS", 0, 0},    {"kvar", 0, 0},
    {"kVAr", 0, 0},  {"var", 0, 0},    {"Mvar", 0, 0}, {"BTU/h", 0, 0}, {"kcal/h", 0, 0},
};

static const UnitWord *unit_word(const char *u, size_t n) {
  for (const UnitWord &w : UNIT_WORDS)
    if (text_is(u, n, w.word)) return &w;
  return nullptr;
}

static const char *const NOT_A_POWER_UNIT =
    "is not a unit that converts exactly to kW, in which kpm's studies hold connected loads (write W, kW or MW)";
static const char *const FRACTION_UNIT = "is not a unit of a fraction, which has none (write no unit, or %)";
static const char *const QUANTITY_UNIT = "is not a count of pieces";

// Sets h's unit fields for a column of kind, whose unit is u.
static void read_unit(ListHeader *h, int kind, const char *u, size_t n) {
  h->unit = u;
  h->unit_length = n;
  const UnitWord *w = unit_word(u, n);
  int none = n == 0 || text_is(u, n, "-");
  switch (kind) {
  case LIST_CONNECTED_LOAD:
    if (w && w->power)
      h->shift = w->shift;
    else if (n)
      h->unit_error = NOT_A_POWER_UNIT;
    break;
  case LIST_PEAK_FRACTION:
  case LIST_PF:
  case LIST_PAIR:
    if (text_is(u, n, "%")) {
      h->percent = 1;
    } else if (!none && !(kind == LIST_PF && (text_is(u, n, "kW/kVA") || text_is(u, n, "kw/kva")))) {
      h->unit_error = FRACTION_UNIT;
    }
    break;
  case LIST_QUANTITY:
    if (!none && !text_is(u, n, "pcs") && !text_is(u, n, "pc") && !text_is(u, n, "pce") && !text_is(u, n, "no.") &&
        !text_is(u, n, "nos"))
      h->unit_error = QUANTITY_UNIT;
    break;
  default:
    break;
  }
}

const char *list_header_key(const char *text, size_t length, char *buf, size_t size) {
  const char *t = text;
  size_t n = length;
  trim(&t, &n);
  const char *u;
  size_t un;
  split_unit(t, n, &n, &u, &un);
  size_t k = 0;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)t[i];
    if (is_space(c) || c == '_') continue;
    if (k + 1 >= size) return nullptr;
    buf[k++] = lower_ascii(c);
  }
  if (k && buf[k - 1] == '.') k--; // "Qty."
  buf[k] = '\0';
  return buf;
}

int list_classify_header(const char *text, size_t length, ListHeader *h) {
  memset(h, 0, sizeof *h);
  const char *t = text;
  size_t n = length;
  trim(&t, &n);
  size_t base = n, un = 0;
  const char *u = nullptr;
  int has_unit = split_unit(t, n, &base, &u, &un);
  char key[HEADER_KEY_SIZE];
  if (list_header_key(text, length, key, sizeof key)) {
    for (size_t i = 0; i < LIST_NBR_HEADER_NAMES; i++) {
      const ListHeaderName *name = &LIST_HEADER_NAMES[i];
      if (strcmp(key, name->key) != 0) continue;
      // "Load (kW)" holds numbers, not names.
      if ((name->kind == LIST_NAME || name->kind == LIST_SWBS) && has_unit && unit_word(u, un)) break;
      h->kind = name->kind;
      h->rank = (int)i;
      if (has_unit) read_unit(h, name->kind, u, un);
      return h->kind;
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
  // A unit at the end of a pair's header only when it is one: "(tropical)" is part of a name.
  size_t ac_base = 0;
  if (split_unit(h->ac, h->ac_length, &ac_base, &u, &un) && unit_word(u, un)) {
    h->ac_length = ac_base;
    read_unit(h, LIST_PAIR, u, un);
  }
  h->all_ambient = text_is(h->ac, h->ac_length, "*");
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
  case TEXT_TOO_LONG: {
    static char reason[80];
    snprintf(reason, sizeof reason, "is longer than the %zu bytes that kpm reads in a text", STUDY_TEXT_MAX);
    return reason;
  }
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
    static char reason[80];
    snprintf(reason, sizeof reason, "are too long together for kpm's tag of at most %zu bytes", STUDY_TAG_MAX);
    *why = reason;
    return nullptr;
  }
  size_t cap = 0;
  char *tag = (char *)tool_grow(nullptr, 0, &cap, n + 1);
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

// --- Numbers ------------------------------------------------------------

// A growable array of bytes.
struct Bytes {
  char *p;
  size_t length, cap;
};

// Appends n bytes and a NUL; returns where they start.
static size_t bytes_add(Bytes *b, const void *s, size_t n) {
  if (b->length + n + 1 > b->cap) b->p = (char *)tool_grow(b->p, b->length, &b->cap, b->length + n + 1);
  size_t at = b->length;
  memcpy(b->p + at, s, n);
  b->p[at + n] = '\0';
  b->length += n + 1;
  return at;
}

// The exponent's magnitude beyond which every number is 0 or too large: a
// bound that keeps the sums of exponents far from overflowing.
static const long EXPONENT_CAP = 1000000;

// A number as its cell writes it: (-1)^negative * digits * 10^exponent,
// digits without leading or trailing zeros (empty for zero).
struct Decimal {
  int negative;
  size_t digits; // offset of the digits in the scratch bytes
  size_t nbr_digits;
  long exponent;
  int percent; // the cell ends in "%"
};

static inline int is_digit(char c) { return c >= '0' && c <= '9'; }

// A blank or no-break space that groups digits (U+00A0, U+202F); its length, or 0.
static size_t grouping_blank(const char *s, size_t n) {
  if (n >= 1 && s[0] == ' ') return 1;
  if (n >= 2 && (unsigned char)s[0] == 0xc2 && (unsigned char)s[1] == 0xa0) return 2;
  if (n >= 3 && (unsigned char)s[0] == 0xe2 && (unsigned char)s[1] == 0x80 && (unsigned char)s[2] == 0xaf) return 3;
  return 0;
}

// Reads s (trimmed, n > 0) with mark as its decimal mark into d, its digits
// appended to scratch. 1 when it is a number.
static int scan_decimal(const char *s, size_t n, int mark, Bytes *scratch, Decimal *d) {
  memset(d, 0, sizeof *d);
  char other = mark == ',' ? '.' : ',';
  size_t i = 0;
  if (s[i] == '-' || s[i] == '+') d->negative = s[i++] == '-';
  size_t start = scratch->length;
  // The whole part: a run of digits, then groups of three after one kind of separator.
  size_t run = 0;
  while (i < n && is_digit(s[i])) {
    bytes_add(scratch, s + i++, 1);
    scratch->length--; // the digits follow one another, the NUL after the last
    run++;
  }
  size_t whole = run;
  int grouped = 0; // the separator: 0 none yet, 1 the other mark, 2 a blank
  const char *first = s + (i - run);
  for (;;) {
    size_t sep = 0;
    int kind = 0;
    if (i < n && s[i] == other) {
      sep = 1;
      kind = 1;
    } else if ((sep = grouping_blank(s + i, n - i)) != 0) {
      kind = 2;
    }
    if (!sep || i + sep >= n || !is_digit(s[i + sep])) break;
    if (grouped && kind != grouped) return 0;
    if (!grouped && (run < 1 || run > 3 || first[0] == '0')) return 0;
    size_t j = i + sep, k = 0;
    while (j + k < n && is_digit(s[j + k])) k++;
    if (k != 3) return 0;
    bytes_add(scratch, s + j, 3);
    scratch->length--;
    grouped = kind;
    whole += 3;
    i = j + 3;
  }
  // The fraction.
  size_t fraction = 0;
  if (i < n && s[i] == mark) {
    i++;
    while (i < n && is_digit(s[i])) {
      bytes_add(scratch, s + i++, 1);
      scratch->length--;
      fraction++;
    }
  }
  if (whole + fraction == 0) return 0;
  long exponent = 0;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    if (grouped) return 0; // 1.500e3 is no way of writing a number
    size_t j = i + 1;
    int negative = 0;
    if (j < n && (s[j] == '-' || s[j] == '+')) negative = s[j++] == '-';
    if (j == n || !is_digit(s[j])) return 0;
    while (j < n && is_digit(s[j])) {
      if (exponent < EXPONENT_CAP) exponent = exponent * 10 + (s[j] - '0');
      j++;
    }
    if (negative) exponent = -exponent;
    i = j;
  }
  // A percent sign, blanks allowed before it.
  size_t blank;
  size_t j = i;
  while ((blank = grouping_blank(s + j, n - j)) != 0) j += blank;
  if (j < n && s[j] == '%') {
    d->percent = 1;
    i = j + 1;
  }
  if (i != n) return 0;
  // Without leading and trailing zeros.
  char *digits = scratch->p + start;
  size_t count = scratch->length - start, lead = 0;
  while (lead < count && digits[lead] == '0') lead++;
  size_t trail = count;
  long shift = 0;
  while (trail > lead && digits[trail - 1] == '0') {
    trail--;
    shift++;
  }
  d->digits = start + lead;
  d->nbr_digits = trail - lead;
  d->exponent = exponent - (long)fraction + shift;
  if (d->nbr_digits == 0) d->exponent = 0;
  return 1;
}

// The double nearest to d * 10^shift: its digits and exponent written out
// for strtod, which rounds once. NUMBER_OK or NUMBER_HUGE.
static int decimal_value(const Decimal *d, long shift, Bytes *scratch, double *v) {
  if (d->nbr_digits == 0) {
    *v = d->negative ? -0.0 : 0.0;
    return NUMBER_OK;
  }
  // "e", a sign and the digits of the exponent, written from the right.
  char exponent[32];
  long e = d->exponent + shift;
  unsigned long magnitude = e < 0 ? (unsigned long)-e : (unsigned long)e;
  size_t en = sizeof exponent;
  do {
    exponent[--en] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  if (e < 0) exponent[--en] = '-';
  exponent[--en] = 'e';
  // The digits are copied from the scratch bytes into themselves: room
  // first, so that they stay where they are.
  size_t need = scratch->length + 1 + d->nbr_digits + (sizeof exponent - en) + 1;
  if (need > scratch->cap) scratch->p = (char *)tool_grow(scratch->p, scratch->length, &scratch->cap, need);
  size_t at = scratch->length;
  bytes_add(scratch, d->negative ? "-" : "+", 1);
  scratch->length--;
  bytes_add(scratch, scratch->p + d->digits, d->nbr_digits);
  scratch->length--;
  bytes_add(scratch, exponent + en, sizeof exponent - en);
  errno = 0;
  *v = strtod(scratch->p + at, nullptr);
  return std::isfinite(*v) ? NUMBER_OK : NUMBER_HUGE;
}

static int same_decimal(const Decimal *a, const Decimal *b, const Bytes *scratch) {
  return a->negative == b->negative && a->nbr_digits == b->nbr_digits && a->exponent == b->exponent &&
         a->percent == b->percent && memcmp(scratch->p + a->digits, scratch->p + b->digits, a->nbr_digits) == 0;
}

static int number_marks(const char *s, size_t n, Bytes *scratch) {
  trim(&s, &n);
  if (!n) return MARKS_ALIKE;
  Decimal point, comma;
  size_t keep = scratch->length;
  int with_point = scan_decimal(s, n, '.', scratch, &point);
  int with_comma = scan_decimal(s, n, ',', scratch, &comma);
  int marks = with_point && with_comma ? (same_decimal(&point, &comma, scratch) ? MARKS_ALIKE : MARKS_DIFFERENTLY)
              : with_point             ? MARKS_POINT
              : with_comma             ? MARKS_COMMA
                                       : MARKS_NEITHER;
  scratch->length = keep;
  return marks;
}

int list_number_marks(const char *s, size_t n) {
  Bytes scratch = {nullptr, 0, 0};
  int marks = number_marks(s, n, &scratch);
  free(scratch.p);
  return marks;
}

// Reads a number cell's text with the decimal mark into *v (see list_read_number).
static int read_number_text(const char *s, size_t n, int mark, int shift, Bytes *scratch, double *v, int *percent) {
  trim(&s, &n);
  if (percent) *percent = 0;
  if (!n) return NUMBER_EMPTY;
  size_t keep = scratch->length;
  Decimal d;
  int got = NUMBER_BAD;
  if (scan_decimal(s, n, mark, scratch, &d)) {
    if (percent) *percent = d.percent;
    got = decimal_value(&d, shift - (d.percent ? 2 : 0), scratch, v);
  }
  scratch->length = keep;
  return got;
}

int list_read_number(const char *s, size_t n, int mark, int shift, double *v, int *percent) {
  Bytes scratch = {nullptr, 0, 0};
  int got = read_number_text(s, n, mark, shift, &scratch, v, percent);
  free(scratch.p);
  return got;
}

// --- Copies of a load ----------------------------------------------------

char *list_copy_name(const char *name, size_t length, long k, long n, size_t *result_length) {
  char suffix[64];
  int sn = snprintf(suffix, sizeof suffix, " (%ld of %ld)", k, n);
  size_t cap = 0;
  char *s = (char *)tool_grow(nullptr, 0, &cap, length + (size_t)sn + 1);
  memcpy(s, name, length);
  memcpy(s + length, suffix, (size_t)sn + 1);
  *result_length = length + (size_t)sn;
  return s;
}

// A whole number written without leading zeros, from 1 to LIST_QUANTITY_MAX, ending at s + n.
static int whole_number_before(const char *s, size_t n, size_t *digits, long *value) {
  size_t k = 0;
  while (k < n && k < 7 && is_digit(s[n - 1 - k])) k++;
  if (k == 0 || s[n - k] == '0') return 0;
  long v = 0;
  for (size_t i = n - k; i < n; i++) v = v * 10 + (s[i] - '0');
  if (v > LIST_QUANTITY_MAX) return 0;
  *digits = k;
  *value = v;
  return 1;
}

int list_parse_copy_name(const char *name, size_t length, size_t *name_length, long *k, long *n) {
  // "NAME (K of N)", read from its end.
  if (length < 10 || name[length - 1] != ')') return 0;
  size_t end = length - 1, digits;
  if (!whole_number_before(name, end, &digits, n)) return 0;
  end -= digits;
  if (end < 4 || memcmp(name + end - 4, " of ", 4) != 0) return 0;
  end -= 4;
  if (!whole_number_before(name, end, &digits, k)) return 0;
  end -= digits;
  if (end < 3 || memcmp(name + end - 2, " (", 2) != 0) return 0;
  *name_length = end - 2;
  return *n >= 2 && *k >= 1 && *k <= *n && *name_length > 0;
}

// --- The import ---------------------------------------------------------

struct Pair {
  int oc, ac;        // indexes of the conditions, in order of first mention
  long column;       // its column; 0 for a pair that only an OPERATIONAL/* column gives
  size_t header;     // "oc/ac" as messages show it, in the import's texts
  size_t tag;        // the lf start tag, in the import's texts; when tag_length is 0,
  size_t tag_length; //   no tag can carry the names, and why says so
  const char *why;   //
  int percent;       // its column's cells are percentages
  int reported;      // its cells' problem was reported once
};

// An OPERATIONAL/* column: a pair for each ambient condition of the list.
struct Star {
  int oc;
  long column;
  size_t header; // "oc/*" as messages show it, in the import's texts
  int percent;
  size_t first; // its pairs: star_pair[first + ac], and the column of each when one names it
  int reported;
};

// What a column is to the import.
struct Column {
  int kind;     // LIST_IGNORED .. LIST_PAIR; LIST_IGNORED for a column left out
  int star;     // LIST_PAIR: an OPERATIONAL/* column
  size_t index; // LIST_PAIR: its pair, or its star
};

// A text of the list as the study gets it.
struct ListText {
  size_t offset; // in the import's texts
  size_t length;
  int present; // 0: absent (an empty cell), and the study's default holds
};

// A number cell that is not empty: its trimmed text.
struct RowCell {
  const char *text;
  size_t length;
  size_t column; // from 0
};

// A row's number cells are kept one after another in Import::cells, each
// as its column and length (7 bits a byte, the high bit set on all but the
// last) and its text: a few bytes for a cell, whatever the list's width.
struct ListRow {
  long row;
  ListText name, swbs;
  size_t cells, cells_length; // its number cells, in column order: their bytes
};

struct CellCursor {
  const unsigned char *p, *end;
};

static void put_count(Bytes *b, size_t v);
static size_t get_count(CellCursor *c) {
  size_t v = 0;
  int shift = 0;
  for (;;) {
    unsigned char x = *c->p++;
    v |= (size_t)(x & 0x7f) << shift;
    if (!(x & 0x80)) return v;
    shift += 7;
  }
}

// The next number cell of a row; 0 after the last.
static int next_cell(CellCursor *c, RowCell *cell) {
  if (c->p >= c->end) return 0;
  cell->column = get_count(c);
  cell->length = get_count(c);
  cell->text = (const char *)c->p;
  c->p += cell->length;
  return 1;
}

struct ListLf {
  size_t pair;
  double value;
};

// The first cell that shows a decimal mark, and how many do.
struct MarkProof {
  long row, column;
  size_t offset, length; // its text
  long count;
};

// Where the list's decimal mark comes from.
enum { MARK_UNSETTLED, MARK_FROM_OPTION, MARK_FROM_SEPARATOR, MARK_FROM_CELLS };

struct Import {
  CsvReader r;
  CsvDiag *diag;
  const ImportOptions *options;
  long header_row;
  size_t nbr_columns;
  Column *columns;
  long column_of[LIST_PAIR]; // 1-based column of each fixed column; 0 when absent
  int shift_of[LIST_PAIR];   // the unit of each fixed column
  int percent_of[LIST_PAIR];
  int refused[LIST_PAIR]; // its unit is refused: its cells are not read
  long first_pair_column;
  long pair_headers; // header cells that name a pair, good or bad
  Pair *pairs;
  size_t nbr_pairs, pairs_cap;
  Star *stars;
  size_t nbr_stars, stars_cap;
  size_t *star_pair;   // per star and ambient condition: the pair
  long *star_explicit; // the same: the column that names the pair, or 0
  NameTable pair_names, oc_names, ac_names;
  size_t *oc, *ac; // the conditions' names, offsets in texts, in order of first mention
  size_t *oc_length, *ac_length;
  long *oc_column, *ac_column; // the first column that names each
  size_t nbr_oc, nbr_ac, oc_cap, ac_cap;
  Bytes texts;
  ListRow *rows;
  size_t nbr_rows, rows_cap;
  Bytes cells; // the rows' number cells
  MarkProof proof[2]; // a decimal point, a decimal comma
  int mark;           // '.' or ','; 0 while unsettled
  int mark_from;
  ListLf *lfs; // one row's load factors, while it is written
  size_t nbr_lfs, lfs_cap;
  size_t *cell_row; // per column: 1 + the last row written with a cell in it
  long loads;      // loads written
  Bytes scratch;
};

static const char *shown(char *buf, const char *s, size_t n) { return csv_diag_text(buf, CSV_DIAG_TEXT_SIZE, s, n); }

static void put_count(Bytes *b, size_t v) {
  unsigned char buf[16];
  size_t n = 0;
  do {
    buf[n] = (unsigned char)(v & 0x7f);
    v >>= 7;
    if (v) buf[n] |= 0x80;
    n++;
  } while (v);
  bytes_add(b, buf, n);
  b->length--; // no NUL between the parts of a cell
}

static CellCursor row_cells(const Import *im, const ListRow *row) {
  CellCursor c = {(const unsigned char *)im->cells.p + row->cells,
                  (const unsigned char *)im->cells.p + row->cells + row->cells_length};
  return c;
}

static void *take(size_t count, size_t size) {
  size_t cap = 0;
  return tool_grow(nullptr, 0, &cap, (count ? count : 1) * size);
}

// Makes room for one more item of size bytes in *array (holding n).
static void *room_for_one(void *array, size_t n, size_t *cap, size_t size) {
  if ((n + 1) * size <= *cap) return array;
  return tool_grow(array, n * size, cap, (n + 1) * size);
}

// Room for n + 1 conditions of a kind.
static void grow_conditions(Import *im, int ambient) {
  size_t n = ambient ? im->nbr_ac : im->nbr_oc;
  size_t *cap = ambient ? &im->ac_cap : &im->oc_cap;
  if (n < *cap) return;
  size_t more = *cap ? *cap * 2 : 16;
  size_t **names = ambient ? &im->ac : &im->oc, **lengths = ambient ? &im->ac_length : &im->oc_length;
  long **columns = ambient ? &im->ac_column : &im->oc_column;
  size_t bytes = 0;
  *names = (size_t *)tool_grow(*names, n * sizeof(size_t), &(bytes = 0), more * sizeof(size_t));
  *lengths = (size_t *)tool_grow(*lengths, n * sizeof(size_t), &(bytes = 0), more * sizeof(size_t));
  *columns = (long *)tool_grow(*columns, n * sizeof(long), &(bytes = 0), more * sizeof(long));
  *cap = more;
}

static const char BYTE_ORDER_MARK[] = "\xef\xbb\xbf";

// A condition of a pair header: its index, a new one on first mention; -1 (and an error) when no study can hold it.
static int condition_index(Import *im, int ambient, const char *name, size_t length, long column) {
  const char *what = ambient ? "ambient" : "operational";
  char buf[CSV_DIAG_TEXT_SIZE];
  int problem = study_text_problem(name, length, 0);
  if (problem != TEXT_OK) {
    if (problem == TEXT_EMPTY)
      csv_diag_error(im->diag, im->header_row, column, "the pair header names no %s condition", what);
    else
      csv_diag_error(im->diag, im->header_row, column, "the %s condition \"%s\" %s", what, shown(buf, name, length),
                     study_text_reason(problem));
    return -1;
  }
  // Left by a list saved twice, or pasted from one: invisible, and a condition of its own.
  if (length >= 3 && memcmp(name, BYTE_ORDER_MARK, 3) == 0) {
    csv_diag_error(im->diag, im->header_row, column,
                   "the %s condition \"%s\" begins with a byte-order mark, an invisible character that would make it "
                   "a condition of its own: delete it",
                   what, shown(buf, name, length));
    return -1;
  }
  if (!ambient && length == 1 && name[0] == '*') {
    csv_diag_error(im->diag, im->header_row, column,
                   "\"*\" stands for every ambient condition only (OPERATIONAL/*); name the operational condition");
    return -1;
  }
  NameTable *t = ambient ? &im->ac_names : &im->oc_names;
  size_t next = ambient ? im->nbr_ac : im->nbr_oc;
  int known = name_table_add(t, name, length, (int)next);
  if (known >= 0) return known;
  grow_conditions(im, ambient);
  size_t at = bytes_add(&im->texts, name, length);
  if (ambient) {
    im->ac[next] = at;
    im->ac_length[next] = length;
    im->ac_column[next] = column;
    im->nbr_ac++;
  } else {
    im->oc[next] = at;
    im->oc_length[next] = length;
    im->oc_column[next] = column;
    im->nbr_oc++;
  }
  return (int)next;
}

// "oc/ac" into the scratch bytes: a pair's own spelling, for messages and
// to find repeats (the first "/" parts the names, so it stands for this pair
// alone). Returns its length.
static size_t pair_key(Import *im, const char *oc, size_t oc_length, const char *ac, size_t ac_length) {
  im->scratch.length = 0;
  bytes_add(&im->scratch, oc, oc_length);
  im->scratch.p[oc_length] = '/'; // in place of the NUL
  bytes_add(&im->scratch, ac, ac_length);
  return oc_length + 1 + ac_length;
}

// A pair's record (new, or the one of a column that names it).
static size_t add_pair(Import *im, int oc, int ac, long column, int percent) {
  im->pairs = (Pair *)room_for_one(im->pairs, im->nbr_pairs, &im->pairs_cap, sizeof(Pair));
  Pair *p = &im->pairs[im->nbr_pairs];
  memset(p, 0, sizeof *p);
  p->oc = oc;
  p->ac = ac;
  p->column = column;
  p->percent = percent;
  size_t ocl = im->oc_length[oc], acl = im->ac_length[ac];
  size_t key_length = pair_key(im, im->texts.p + im->oc[oc], ocl, im->texts.p + im->ac[ac], acl);
  p->header = bytes_add(&im->texts, im->scratch.p, key_length);
  // The texts may have moved.
  const char *ocn = im->texts.p + im->oc[oc], *acn = im->texts.p + im->ac[ac];
  size_t tag_length = 0;
  char *tag = lf_start_tag(ocn, ocl, acn, acl, &tag_length, &p->why);
  if (tag) {
    p->tag = bytes_add(&im->texts, tag, tag_length);
    p->tag_length = tag_length;
    free(tag);
  }
  return im->nbr_pairs++;
}

// Most ignored columns named in their warning; the rest are counted.
static const size_t IGNORED_NAMED = 8;

// A header of an ignored column that joins the names of a known
// operational and a known ambient condition by something else than "/"
// ("Cruise-Winter", "Cruise Winter"): 1 with the two names' lengths.
static const size_t JOINER_MAX = 5; // bytes between them: " - ", an en dash between blanks

static int is_joiner(unsigned char c) {
  return c == ' ' || c == '\t' || c == '-' || c == '_' || c == '|' || c == '\\' || c == ':' || c == '+' ||
         c == '&' || c == '.' || c == ',' || c == ';' || c >= 0x80;
}

static int folded_find(const NameTable *t, const char *s, size_t n, Bytes *scratch) {
  scratch->length = 0;
  bytes_add(scratch, s, n);
  for (size_t i = 0; i < n; i++) scratch->p[i] = lower_ascii((unsigned char)scratch->p[i]);
  return name_table_find(t, scratch->p, n);
}

static int joins_two_conditions(Import *im, const NameTable *ocs, const NameTable *acs, const char *t, size_t n,
                                int *oc, int *ac) {
  for (size_t i = 1; i + 1 < n; i++) {
    if (!is_joiner((unsigned char)t[i]) || is_joiner((unsigned char)t[i - 1])) continue;
    size_t e = i;
    while (e < n && e - i <= JOINER_MAX && is_joiner((unsigned char)t[e])) e++;
    if (e == n || e - i > JOINER_MAX) continue;
    // Each way of splitting the run: the names may end or begin with such a character.
    for (size_t a = i; a < e; a++) {
      for (size_t b = a + 1; b <= e; b++) {
        if ((*oc = folded_find(ocs, t, a, &im->scratch)) < 0) continue;
        if ((*ac = folded_find(acs, t + b, n - b, &im->scratch)) < 0) continue;
        return 1;
      }
    }
  }
  return 0;
}

struct TwinReport {
  Import *im;
  int ambient;
};

static void on_twin(void *context, size_t later, size_t earlier, int kind) {
  TwinReport *t = (TwinReport *)context;
  Import *im = t->im;
  const size_t *names = t->ambient ? im->ac : im->oc;
  const size_t *lengths = t->ambient ? im->ac_length : im->oc_length;
  const long *columns = t->ambient ? im->ac_column : im->oc_column;
  char a[CSV_DIAG_TEXT_SIZE], b[CSV_DIAG_TEXT_SIZE];
  csv_diag_warning(im->diag, im->header_row, columns[later],
                   "the %s conditions \"%s\" (column %ld) and \"%s\" (column %ld) differ %s: kpm takes them as two "
                   "conditions; is one of them a slip?",
                   t->ambient ? "ambient" : "operational", shown(a, im->texts.p + names[later], lengths[later]),
                   columns[later], shown(b, im->texts.p + names[earlier], lengths[earlier]), columns[earlier],
                   kind == TWIN_CASE ? "only in case" : "by one or two characters");
}

static void warn_near_twins(Import *im, int ambient) {
  size_t n = ambient ? im->nbr_ac : im->nbr_oc;
  const char **names = (const char **)take(n, sizeof(char *));
  for (size_t i = 0; i < n; i++) names[i] = im->texts.p + (ambient ? im->ac : im->oc)[i];
  TwinReport report = {im, ambient};
  find_near_twins(names, ambient ? im->ac_length : im->oc_length, n, on_twin, &report);
  free(names);
}

// The nearest ignored header to a missing fixed column of kind, for "did
// you mean": one or two characters from one of its names, or holding one
// (or, for the connected load, a header with a unit of power); 0 when none.
static long nearest_header(Import *im, int kind) {
  long best = 0;
  int best_rank = 4;
  char key[HEADER_KEY_SIZE];
  for (size_t i = 0; i < im->nbr_columns && best_rank > 1; i++) {
    if (im->columns[i].kind != LIST_IGNORED) continue;
    const char *text = csv_field_text(&im->r, i);
    size_t length = im->r.fields[i].length;
    ListHeader h;
    if (list_classify_header(text, length, &h) != LIST_IGNORED) continue; // a column of its own, or refused
    int rank = 4;
    if (list_header_key(text, length, key, sizeof key) && key[0]) {
      size_t kn = strlen(key);
      for (size_t a = 0; a < LIST_NBR_HEADER_NAMES; a++) {
        const ListHeaderName *name = &LIST_HEADER_NAMES[a];
        if (name->kind != kind) continue;
        size_t an = strlen(name->key);
        int d = distance_up_to_2(key, kn, name->key, an, 0);
        if (d <= 2 && d < rank) rank = d;
        if (rank > 3 && ((an >= 4 && strstr(key, name->key)) || (kn >= 4 && strstr(name->key, key)))) rank = 3;
      }
    }
    const char *t = text, *u;
    size_t n = length, base, un;
    trim(&t, &n);
    if (rank > 3 && kind == LIST_CONNECTED_LOAD && split_unit(t, n, &base, &u, &un)) {
      const UnitWord *w = unit_word(u, un);
      if (w && w->power) rank = 3;
    }
    if (rank < best_rank) {
      best_rank = rank;
      best = (long)i + 1;
    }
  }
  return best;
}

static void report_missing_column(Import *im, int kind) {
  char names[256] = "";
  size_t o = 0, count = 0, listed = 0;
  for (size_t a = 0; a < LIST_NBR_HEADER_NAMES; a++) count += LIST_HEADER_NAMES[a].kind == kind;
  for (size_t a = 0; a < LIST_NBR_HEADER_NAMES; a++) {
    if (LIST_HEADER_NAMES[a].kind != kind) continue;
    const char *before = !listed ? "" : listed + 1 == count ? " or " : ", ";
    o += (size_t)snprintf(names + o, sizeof names - o, "%s%s", before, LIST_HEADER_NAMES[a].shown);
    listed++;
  }
  char hint[CSV_DIAG_TEXT_SIZE + 64] = "";
  long near = nearest_header(im, kind);
  if (near) {
    char buf[CSV_DIAG_TEXT_SIZE];
    const char *t = csv_field_text(&im->r, (size_t)near - 1);
    size_t n = im->r.fields[near - 1].length;
    trim(&t, &n);
    snprintf(hint, sizeof hint, "; did you mean \"%s\" (column %ld)?", shown(buf, t, n), near);
  }
  csv_diag_error(im->diag, im->header_row, 1, "the header has no \"%s\" column (headed %s)%s",
                 LIST_COLUMN_NAMES[kind], names, hint);
}

static void read_header(Import *im) {
  CsvReader *r = &im->r;
  im->header_row = r->row;
  size_t n = r->nbr_fields;
  im->nbr_columns = n;
  im->columns = (Column *)take(n, sizeof(Column));
  char buf[CSV_DIAG_TEXT_SIZE], buf2[CSV_DIAG_TEXT_SIZE];
  int name_rank = -1;
  // The fixed columns and the pairs.
  for (size_t i = 0; i < n; i++) {
    long column = (long)i + 1;
    const char *text = csv_field_text(r, i);
    size_t length = r->fields[i].length;
    ListHeader h;
    int kind = list_classify_header(text, length, &h);
    Column *c = &im->columns[i];
    c->kind = kind;
    if (kind == LIST_IGNORED) continue;
    if (kind != LIST_PAIR) {
      long first = im->column_of[kind];
      if (kind == LIST_NAME && first && h.rank != name_rank) {
        // Several name columns: the first name of the table wins, the others are ignored.
        if (h.rank > name_rank) {
          c->kind = LIST_IGNORED;
          continue;
        }
        im->columns[first - 1].kind = LIST_IGNORED;
        first = 0;
      }
      if (first) {
        csv_diag_error(im->diag, im->header_row, column, "column \"%s\" repeats column %ld (\"%s\")",
                       shown(buf, text, length), first,
                       shown(buf2, csv_field_text(r, (size_t)first - 1), r->fields[first - 1].length));
        c->kind = LIST_IGNORED;
        continue;
      }
      im->column_of[kind] = column;
      if (kind == LIST_NAME) name_rank = h.rank;
      im->shift_of[kind] = h.shift;
      im->percent_of[kind] = h.percent;
      if (h.unit_error) {
        csv_diag_error(im->diag, im->header_row, column, "the unit \"%s\" of column \"%s\" %s",
                       shown(buf, h.unit, h.unit_length), shown(buf2, text, length), h.unit_error);
        im->refused[kind] = 1;
      }
      continue;
    }
    im->pair_headers++;
    if (h.unit_error) {
      csv_diag_error(im->diag, im->header_row, column, "the unit \"%s\" of column \"%s\" %s",
                     shown(buf, h.unit, h.unit_length), shown(buf2, text, length), h.unit_error);
      c->kind = LIST_IGNORED;
      continue;
    }
    int oc = condition_index(im, 0, h.oc, h.oc_length, column);
    int ac = h.all_ambient ? 0 : condition_index(im, 1, h.ac, h.ac_length, column);
    if (oc < 0 || ac < 0) {
      c->kind = LIST_IGNORED;
      continue;
    }
    size_t key_length = pair_key(im, h.oc, h.oc_length, h.ac, h.ac_length);
    size_t key = bytes_add(&im->texts, im->scratch.p, key_length);
    // Pairs and stars share the table: a star's key ends in "/*", no pair's does.
    size_t next = h.all_ambient ? im->nbr_stars : im->nbr_pairs;
    int seen = name_table_add(&im->pair_names, im->texts.p + key, key_length, (int)(next * 2 + h.all_ambient));
    if (seen >= 0) {
      long first = seen & 1 ? im->stars[seen / 2].column : im->pairs[seen / 2].column;
      csv_diag_error(im->diag, im->header_row, column, "the pair \"%s\" repeats column %ld",
                     shown(buf, im->texts.p + key, key_length), first);
      c->kind = LIST_IGNORED;
      continue;
    }
    if (!im->first_pair_column) im->first_pair_column = column;
    c->star = h.all_ambient;
    if (h.all_ambient) {
      im->stars = (Star *)room_for_one(im->stars, im->nbr_stars, &im->stars_cap, sizeof(Star));
      Star *st = &im->stars[im->nbr_stars];
      memset(st, 0, sizeof *st);
      st->oc = oc;
      st->column = column;
      st->header = key;
      st->percent = h.percent;
      c->index = im->nbr_stars++;
    } else {
      c->index = add_pair(im, oc, ac, column, h.percent);
    }
  }
  // Each star column's pairs: one per ambient condition, the pair of a
  // column where one names it.
  if (im->nbr_stars) {
    if (!im->nbr_ac) {
      csv_diag_error(im->diag, im->header_row, im->stars[0].column,
                     "\"%s\" stands for every ambient condition that the other pair columns name, and they name none: "
                     "write OPERATIONAL/AMBIENT headers",
                     shown(buf, im->texts.p + im->stars[0].header, strlen(im->texts.p + im->stars[0].header)));
    }
    im->star_pair = (size_t *)take(im->nbr_stars * im->nbr_ac, sizeof(size_t));
    im->star_explicit = (long *)take(im->nbr_stars * im->nbr_ac, sizeof(long));
    for (size_t s = 0; s < im->nbr_stars; s++) {
      Star *st = &im->stars[s];
      st->first = s * im->nbr_ac;
      for (size_t a = 0; a < im->nbr_ac; a++) {
        size_t key_length = pair_key(im, im->texts.p + im->oc[st->oc], im->oc_length[st->oc], im->texts.p + im->ac[a],
                                     im->ac_length[a]);
        int seen = name_table_find(&im->pair_names, im->scratch.p, key_length);
        if (seen >= 0 && !(seen & 1)) {
          im->star_pair[st->first + a] = (size_t)seen / 2;
          im->star_explicit[st->first + a] = im->pairs[seen / 2].column;
        } else {
          im->star_pair[st->first + a] = add_pair(im, st->oc, (int)a, 0, st->percent);
        }
      }
    }
  }
  // Headers that join two conditions' names otherwise than by "/", and
  // the columns left out.
  NameTable ocs, acs;
  name_table_init(&ocs, 0, 1, nullptr);
  name_table_init(&acs, 0, 1, nullptr);
  size_t longest_oc = 0, longest_ac = 0;
  for (int ambient = 0; ambient < 2; ambient++) {
    size_t count = ambient ? im->nbr_ac : im->nbr_oc;
    for (size_t i = 0; i < count; i++) {
      const char *name = im->texts.p + (ambient ? im->ac : im->oc)[i];
      size_t length = (ambient ? im->ac_length : im->oc_length)[i];
      size_t *longest = ambient ? &longest_ac : &longest_oc;
      if (length > *longest) *longest = length;
      im->scratch.length = 0;
      bytes_add(&im->scratch, name, length);
      for (size_t b = 0; b < length; b++) im->scratch.p[b] = lower_ascii((unsigned char)im->scratch.p[b]);
      name_table_add(ambient ? &acs : &ocs, im->scratch.p, length, (int)i);
    }
  }
  Bytes ignored = {nullptr, 0, 0};
  size_t nbr_ignored = 0;
  long first_ignored = 0;
  for (size_t i = 0; i < n; i++) {
    if (im->columns[i].kind != LIST_IGNORED) continue;
    long column = (long)i + 1;
    const char *text = csv_field_text(r, i);
    size_t length = r->fields[i].length;
    ListHeader h;
    int kind = list_classify_header(text, length, &h);
    if (kind != LIST_IGNORED && kind != LIST_NAME) continue; // refused with an error already
    const char *t = text;
    size_t tn = length;
    trim(&t, &tn);
    int oci, aci;
    if (kind == LIST_IGNORED && tn <= longest_oc + JOINER_MAX + longest_ac &&
        joins_two_conditions(im, &ocs, &acs, t, tn, &oci, &aci)) {
      char oc[CSV_DIAG_TEXT_SIZE], ac[CSV_DIAG_TEXT_SIZE];
      shown(oc, im->texts.p + im->oc[oci], im->oc_length[oci]);
      shown(ac, im->texts.p + im->ac[aci], im->ac_length[aci]);
      csv_diag_error(im->diag, im->header_row, column,
                     "column \"%s\" names the conditions \"%s\" and \"%s\" of other columns, but not as a pair: "
                     "write %s/%s",
                     shown(buf, t, tn), oc, ac, oc, ac);
      continue;
    }
    if (!nbr_ignored) first_ignored = column;
    if (nbr_ignored < IGNORED_NAMED) {
      char item[CSV_DIAG_TEXT_SIZE + 48];
      if (tn)
        snprintf(item, sizeof item, "%s\"%s\" (column %ld)", nbr_ignored ? ", " : "", shown(buf, t, tn), column);
      else
        snprintf(item, sizeof item, "%scolumn %ld (no header)", nbr_ignored ? ", " : "", column);
      bytes_add(&ignored, item, strlen(item));
      ignored.length--; // the next item goes over the NUL
    }
    nbr_ignored++;
  }
  name_table_free(&ocs);
  name_table_free(&acs);
  if (!im->column_of[LIST_NAME]) report_missing_column(im, LIST_NAME);
  if (!im->column_of[LIST_CONNECTED_LOAD]) report_missing_column(im, LIST_CONNECTED_LOAD);
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
  warn_near_twins(im, 0);
  warn_near_twins(im, 1);
}

// 1 when the cells of column i (from 0) are numbers that the import reads.
static int is_number_column(const Import *im, size_t i) {
  int kind = im->columns[i].kind;
  if (kind == LIST_PAIR) return 1;
  return kind >= LIST_CONNECTED_LOAD && kind <= LIST_QUANTITY && !im->refused[kind];
}

// A text cell: an empty cell is absent (the study's default), unless it was
// written as "" (an empty text).
static void store_text(Import *im, int kind, ListText *t) {
  memset(t, 0, sizeof *t);
  long column = im->column_of[kind];
  if (!column || (size_t)column > im->r.nbr_fields) return;
  size_t field = (size_t)column - 1;
  size_t n = im->r.fields[field].length;
  if (n == 0 && !im->r.fields[field].quoted) return;
  t->present = 1;
  t->length = n;
  t->offset = bytes_add(&im->texts, csv_field_text(&im->r, field), n);
}

// Keeps a row's texts and number cells, and what its numbers show of the decimal mark.
static void store_row(Import *im) {
  CsvReader *r = &im->r;
  if (r->nbr_fields > im->nbr_columns)
    csv_diag_error(im->diag, r->row, (long)im->nbr_columns + 1, "the row has %zu cells, more than the header's %zu",
                   r->nbr_fields, im->nbr_columns);
  im->rows = (ListRow *)room_for_one(im->rows, im->nbr_rows, &im->rows_cap, sizeof(ListRow));
  ListRow *row = &im->rows[im->nbr_rows++];
  memset(row, 0, sizeof *row);
  row->row = r->row;
  store_text(im, LIST_NAME, &row->name);
  store_text(im, LIST_SWBS, &row->swbs);
  row->cells = im->cells.length;
  size_t last = r->nbr_fields < im->nbr_columns ? r->nbr_fields : im->nbr_columns;
  for (size_t i = 0; i < last; i++) {
    if (!is_number_column(im, i)) continue;
    const char *s = csv_field_text(r, i);
    size_t n = r->fields[i].length;
    trim(&s, &n);
    if (!n) continue;
    put_count(&im->cells, i);
    put_count(&im->cells, n);
    size_t at = bytes_add(&im->cells, s, n);
    im->cells.length--;
    int marks = number_marks(s, n, &im->scratch);
    if (marks == MARKS_POINT || marks == MARKS_COMMA) {
      MarkProof *p = &im->proof[marks == MARKS_COMMA];
      if (!p->count++) {
        p->row = r->row;
        p->column = (long)i + 1;
        p->offset = at;
        p->length = n;
      }
    }
  }
  row->cells_length = im->cells.length - row->cells;
}

// The decimal mark of the list: given, fixed by the comma between cells, or
// the one its cells show (the more often shown when they show both; each
// cell of the other is then an error).
static void settle_mark(Import *im) {
  if (im->options->decimal_mark) {
    im->mark = im->options->decimal_mark;
    im->mark_from = MARK_FROM_OPTION;
  } else if (im->r.separator == ',') {
    im->mark = '.';
    im->mark_from = MARK_FROM_SEPARATOR;
  } else if (im->proof[0].count || im->proof[1].count) {
    const MarkProof *point = &im->proof[0], *comma = &im->proof[1];
    int comma_wins = comma->count > point->count ||
                     (comma->count == point->count &&
                      (comma->row < point->row || (comma->row == point->row && comma->column < point->column)));
    im->mark = comma_wins ? ',' : '.';
    im->mark_from = MARK_FROM_CELLS;
  }
}

static const char *mark_word(int mark) { return mark == ',' ? "comma" : "point"; }

// A cell's subject in messages: connected_load "12 kW", the load factor "x" (cruise/summer).
static const char *subject(char *out, size_t size, const char *what, const char *pair, const char *text, size_t n,
                           int quoted) {
  char buf[CSV_DIAG_TEXT_SIZE], buf2[CSV_DIAG_TEXT_SIZE];
  const char *q = quoted ? "\"" : "";
  if (pair)
    snprintf(out, size, "the load factor %s%s%s (%s)", q, shown(buf, text, n), q, shown(buf2, pair, strlen(pair)));
  else
    snprintf(out, size, "%s %s%s%s", what, q, shown(buf, text, n), q);
  return out;
}

static const size_t SUBJECT_SIZE = 2 * CSV_DIAG_TEXT_SIZE + 64;

// Reads a stored number cell with the list's decimal mark, the header's
// unit (shift) and percentage. NUMBER_OK with *v; NUMBER_BAD after an error
// (what names a fixed column; pair the load factor's pair).
static int read_cell(Import *im, long row, const RowCell *c, const char *what, const char *pair, int shift,
                     int header_percent, double *v, int *cell_percent) {
  const char *text = c->text;
  size_t n = c->length;
  long column = (long)c->column + 1;
  char who[SUBJECT_SIZE], buf[CSV_DIAG_TEXT_SIZE];
  int mark = im->mark;
  int marks = MARKS_ALIKE;
  if (!mark) {
    marks = number_marks(text, n, &im->scratch);
    if (marks == MARKS_DIFFERENTLY) {
      double a = 0, b = 0;
      read_number_text(text, n, ',', 0, &im->scratch, &a, nullptr);
      read_number_text(text, n, '.', 0, &im->scratch, &b, nullptr);
      char with_comma[SHORTEST_REAL_SIZE], with_point[SHORTEST_REAL_SIZE];
      format_shortest_real(with_comma, sizeof with_comma, a);
      format_shortest_real(with_point, sizeof with_point, b);
      csv_diag_error(im->diag, row, column,
                     "%s is %s with a decimal comma but %s with a decimal point, and no cell of the list shows "
                     "which it uses: give --decimal-comma or --decimal-point",
                     subject(who, sizeof who, what, pair, text, n, 1), with_comma, with_point);
      return NUMBER_BAD;
    }
    mark = '.'; // alike with either
  }
  int percent = 0;
  int got = read_number_text(text, n, mark, shift, &im->scratch, v, &percent);
  if (got == NUMBER_OK && header_percent && !percent) got = read_number_text(text, n, mark, shift - 2, &im->scratch, v, &percent);
  if (cell_percent) *cell_percent = percent || header_percent;
  if (got == NUMBER_OK) return NUMBER_OK;
  if (got == NUMBER_HUGE) {
    csv_diag_error(im->diag, row, column, "%s is too large for a number", subject(who, sizeof who, what, pair, text, n, 0));
    return NUMBER_BAD;
  }
  if (im->mark) marks = number_marks(text, n, &im->scratch);
  int other = (marks == MARKS_COMMA && im->mark == '.') || (marks == MARKS_POINT && im->mark == ',');
  subject(who, sizeof who, what, pair, text, n, 1);
  if (!other) {
    csv_diag_error(im->diag, row, column, "%s is not a number", who);
  } else if (im->mark_from == MARK_FROM_OPTION) {
    csv_diag_error(im->diag, row, column, "%s is not a number with a decimal %s (--decimal-%s)", who,
                   mark_word(im->mark), mark_word(im->mark));
  } else if (im->mark_from == MARK_FROM_SEPARATOR) {
    csv_diag_error(im->diag, row, column,
                   "%s is not a number (with commas between cells, write a decimal point, or give --decimal-comma)",
                   who);
  } else {
    const MarkProof *p = &im->proof[im->mark == ','];
    csv_diag_error(im->diag, row, column,
                   "%s has a decimal %s, but the list writes its numbers with a decimal %s (as %ld:%ld \"%s\" "
                   "does): give --decimal-comma or --decimal-point to say which it uses",
                   who, mark_word(im->mark == ',' ? '.' : ','), mark_word(im->mark), p->row, p->column,
                   shown(buf, im->cells.p + p->offset, p->length));
  }
  return NUMBER_BAD;
}

// The cells of a row by kind: the fixed number columns'.
struct RowNumbers {
  RowCell cell[LIST_PAIR];
  const RowCell *fixed[LIST_PAIR]; // null where the row has none
};

static void find_fixed_cells(const Import *im, const ListRow *row, RowNumbers *rn) {
  memset(rn, 0, sizeof *rn);
  CellCursor cursor = row_cells(im, row);
  RowCell c;
  while (next_cell(&cursor, &c)) {
    int kind = im->columns[c.column].kind;
    if (kind == LIST_PAIR) continue;
    rn->cell[kind] = c;
    rn->fixed[kind] = &rn->cell[kind];
  }
}

// The quantity of a row: the loads it makes (1 without one); 0 to skip it;
// -1 after an error.
static long row_quantity(Import *im, const ListRow *row, const RowNumbers *rn, int report) {
  const RowCell *c = rn->fixed[LIST_QUANTITY];
  if (!c) return 1;
  double v = 0;
  int percent = 0;
  CsvDiag *keep = im->diag;
  CsvDiag quiet;
  if (!report) {
    csv_diag_init(&quiet, keep->file, nullptr);
    im->diag = &quiet;
  }
  int got = read_cell(im, row->row, c, "quantity", nullptr, 0, 0, &v, &percent);
  im->diag = keep;
  if (got != NUMBER_OK) return -1;
  if (percent || v < 0 || v > (double)LIST_QUANTITY_MAX || v != std::floor(v)) {
    char buf[CSV_DIAG_TEXT_SIZE];
    if (report)
      csv_diag_error(im->diag, row->row, (long)c->column + 1,
                     "quantity \"%s\" is not a whole number of loads from 0 to %ld",
                     shown(buf, c->text, c->length), LIST_QUANTITY_MAX);
    return -1;
  }
  return (long)v;
}

// Checks a text cell's text as the study gets it.
static void check_text(Import *im, long row, int kind, const ListText *t, long copies) {
  if (!t->present) return;
  const char *s = im->texts.p + t->offset;
  size_t n = t->length;
  char *made = nullptr;
  if (kind == LIST_NAME && copies >= 2) s = made = list_copy_name(s, t->length, copies, copies, &n);
  int problem = study_text_problem(s, n, 1);
  if (problem != TEXT_OK) {
    char buf[CSV_DIAG_TEXT_SIZE];
    csv_diag_error(im->diag, row, im->column_of[kind], "%s \"%s\" %s", LIST_COLUMN_NAMES[kind], shown(buf, s, n),
                   study_text_reason(problem));
  }
  free(made);
}

// A fixed number cell: 1 with *v when it holds a number in range, 0 when
// empty (or its column is refused), -1 after an error.
static int fixed_number(Import *im, const ListRow *row, const RowNumbers *rn, int kind, double *v) {
  long column = im->column_of[kind];
  if (!column || im->refused[kind]) return 0;
  const RowCell *c = rn->fixed[kind];
  if (!c) {
    if (kind != LIST_CONNECTED_LOAD) return 0;
    csv_diag_error(im->diag, row->row, column, "connected_load is empty; every load needs one");
    return -1;
  }
  const char *what = LIST_COLUMN_NAMES[kind];
  const char *text = c->text;
  char buf[CSV_DIAG_TEXT_SIZE];
  int percent = 0;
  if (read_cell(im, row->row, c, what, nullptr, im->shift_of[kind], im->percent_of[kind], v, &percent) != NUMBER_OK)
    return -1;
  double x = *v;
  if (kind == LIST_CONNECTED_LOAD && percent) {
    csv_diag_error(im->diag, row->row, column, "connected_load \"%s\" is a percentage; a connected load is a power",
                   shown(buf, text, c->length));
    return -1;
  }
  // The ranges of kpm's own checks.
  if (kind == LIST_CONNECTED_LOAD && connected_load_is_illegal(x)) {
    csv_diag_error(im->diag, row->row, column, "connected_load %s is out of range (kpm accepts 0 or more)",
                   shown(buf, text, c->length));
    return -1;
  }
  if (kind == LIST_PEAK_FRACTION && peak_fraction_is_illegal(x)) {
    csv_diag_error(im->diag, row->row, column, "peak_fraction %s is out of range (kpm accepts 0 to 1)",
                   shown(buf, text, c->length));
    return -1;
  }
  if (kind == LIST_PF && power_factor_is_illegal(x)) {
    csv_diag_error(im->diag, row->row, column, "pf %s is out of range (kpm accepts -1 to 1, but not 0)",
                   shown(buf, text, c->length));
    return -1;
  }
  return 1;
}

// The header of a pair column as messages show it.
static const char *column_header(const Import *im, size_t column) {
  const Column *c = &im->columns[column];
  return im->texts.p + (c->star ? im->stars[c->index].header : im->pairs[c->index].header);
}

// Why no load factor can be written under a pair column (null when one
// can), with the condition concerned.
static const char *pair_problem(const Import *im, size_t column, const char **name) {
  const Column *c = &im->columns[column];
  const Pair *p = nullptr;
  if (!c->star) {
    p = &im->pairs[c->index];
    if (p->tag_length) return nullptr;
  } else {
    const Star *st = &im->stars[c->index];
    for (size_t a = 0; a < im->nbr_ac && !p; a++)
      if (!im->pairs[im->star_pair[st->first + a]].tag_length) p = &im->pairs[im->star_pair[st->first + a]];
    if (!p) return nullptr;
  }
  const char *oc = im->texts.p + im->oc[p->oc];
  const char *ac = im->texts.p + im->ac[p->ac];
  const char *why = nullptr;
  *name = value_form(oc, strlen(oc), &why) == VALUE_IMPOSSIBLE ? oc : ac;
  return p->why;
}

static void check_row(Import *im, const ListRow *row) {
  RowNumbers rn;
  find_fixed_cells(im, row, &rn);
  long copies = row_quantity(im, row, &rn, 1);
  if (copies == 0) {
    csv_diag_note(im->diag, row->row, im->column_of[LIST_QUANTITY],
                  "quantity 0: the row makes no load and is left out");
    return;
  }
  check_text(im, row->row, LIST_NAME, &row->name, copies);
  check_text(im, row->row, LIST_SWBS, &row->swbs, 1);
  double v;
  fixed_number(im, row, &rn, LIST_CONNECTED_LOAD, &v);
  double peak_fraction = 1.0; // kpm's default, when the cell gives none
  int peak = fixed_number(im, row, &rn, LIST_PEAK_FRACTION, &peak_fraction);
  if (peak <= 0) peak_fraction = 1.0;
  fixed_number(im, row, &rn, LIST_PF, &v);
  char who[SUBJECT_SIZE], buf[CSV_DIAG_TEXT_SIZE], buf2[CSV_DIAG_TEXT_SIZE];
  int any = 0;
  CellCursor cursor = row_cells(im, row);
  RowCell cell;
  while (next_cell(&cursor, &cell)) {
    const RowCell *c = &cell;
    const Column *col = &im->columns[c->column];
    if (col->kind != LIST_PAIR) continue;
    any = 1;
    long column = (long)c->column + 1;
    const char *pair = column_header(im, c->column);
    int percent = col->star ? im->stars[col->index].percent : im->pairs[col->index].percent;
    if (read_cell(im, row->row, c, nullptr, pair, 0, percent, &v, nullptr) != NUMBER_OK) continue;
    const char *name = nullptr;
    const char *why = nullptr;
    int *reported = col->star ? &im->stars[col->index].reported : &im->pairs[col->index].reported;
    if (load_factor_is_illegal(v)) {
      csv_diag_error(im->diag, row->row, column, "%s is out of range (kpm accepts 0 to 1)",
                     subject(who, sizeof who, nullptr, pair, c->text, c->length, 0));
    } else if (load_factor_above_peak(v, peak_fraction) && peak >= 0) {
      csv_diag_error(im->diag, row->row, column,
                     "%s is above the load's peak fraction %g (kpm accepts up to the peak fraction)",
                     subject(who, sizeof who, nullptr, pair, c->text, c->length, 0), peak_fraction);
    } else if ((why = pair_problem(im, c->column, &name)) != nullptr && !*reported) {
      // Reported once: every cell of the column has the same problem.
      csv_diag_error(im->diag, row->row, column,
                     "no load factor can be written under %s: the condition \"%s\" %s (the column may stay empty)",
                     shown(buf2, pair, strlen(pair)), shown(buf, name, strlen(name)), why);
      *reported = 1;
    }
  }
  if (!any && im->first_pair_column)
    csv_diag_error(im->diag, row->row, im->first_pair_column,
                   "the load has no load factor (kpm needs at least one pair of conditions for each load)");
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

// A row's numbers as the study gets them; its load factors in im->lfs.
struct RowValues {
  double connected_load, peak_fraction, power_factor;
  int has_peak_fraction, has_power_factor;
};

static void row_values(Import *im, const ListRow *row, RowValues *rv) {
  memset(rv, 0, sizeof *rv);
  RowNumbers rn;
  find_fixed_cells(im, row, &rn);
  fixed_number(im, row, &rn, LIST_CONNECTED_LOAD, &rv->connected_load);
  rv->has_peak_fraction = fixed_number(im, row, &rn, LIST_PEAK_FRACTION, &rv->peak_fraction) > 0;
  rv->has_power_factor = fixed_number(im, row, &rn, LIST_PF, &rv->power_factor) > 0;
  // The load factors in column order; a star column's under each ambient
  // condition where no column of that pair has a value in the row.
  im->nbr_lfs = 0;
  size_t stamp = (size_t)(row - im->rows) + 1;
  CellCursor cursor = row_cells(im, row);
  RowCell cell;
  while (next_cell(&cursor, &cell)) im->cell_row[cell.column] = stamp;
  cursor = row_cells(im, row);
  while (next_cell(&cursor, &cell)) {
    const RowCell *c = &cell;
    const Column *col = &im->columns[c->column];
    if (col->kind != LIST_PAIR) continue;
    int percent = col->star ? im->stars[col->index].percent : im->pairs[col->index].percent;
    double v = 0;
    read_cell(im, row->row, c, nullptr, column_header(im, c->column), 0, percent, &v, nullptr);
    size_t first = 0, count = 1;
    if (col->star) {
      first = im->stars[col->index].first;
      count = im->nbr_ac;
    }
    for (size_t a = 0; a < count; a++) {
      size_t pair = col->index;
      if (col->star) {
        long named = im->star_explicit[first + a];
        if (named && im->cell_row[named - 1] == stamp) continue; // that column's own value wins
        pair = im->star_pair[first + a];
      }
      im->lfs = (ListLf *)room_for_one(im->lfs, im->nbr_lfs, &im->lfs_cap, sizeof(ListLf));
      im->lfs[im->nbr_lfs].pair = pair;
      im->lfs[im->nbr_lfs++].value = v;
    }
  }
}

static void write_load(Import *im, XmlOut *x, int pretty, const ListRow *row, const RowValues *rv, const char *name,
                       size_t name_length) {
  xml_break(x, pretty, 1);
  puts_(x, "<load");
  x->pending = 1;
  size_t children = (size_t)row->name.present + (size_t)row->swbs.present + 1 + (size_t)rv->has_peak_fraction +
                    (size_t)rv->has_power_factor + im->nbr_lfs;
  int lines = fits_with_lines(children, 1);
  if (row->name.present) xml_leaf(x, lines, 2, "name", name, name_length);
  if (row->swbs.present) xml_leaf(x, lines, 2, "swbs", im->texts.p + row->swbs.offset, row->swbs.length);
  xml_number(x, lines, 2, "connected_load", rv->connected_load);
  if (rv->has_peak_fraction) xml_number(x, lines, 2, "peak_fraction", rv->peak_fraction);
  if (rv->has_power_factor) xml_number(x, lines, 2, "pf", rv->power_factor);
  char buf[SHORTEST_REAL_SIZE];
  for (size_t i = 0; i < im->nbr_lfs; i++) {
    const ListLf *lf = &im->lfs[i];
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

// The loads that the rows make: a row with a quantity N of 2 or more makes
// N loads named "NAME (1 of N)" ... "NAME (N of N)".
static long count_loads(Import *im) {
  long n = 0;
  for (size_t i = 0; i < im->nbr_rows; i++) {
    RowNumbers rn;
    find_fixed_cells(im, &im->rows[i], &rn);
    n += row_quantity(im, &im->rows[i], &rn, 0);
  }
  return n;
}

static void write_study(Import *im, const ImportOptions *options, FILE *out) {
  XmlOut x = {out, 0};
  int has_name = options->name && options->name[0];
  puts_(&x, "<kpm");
  x.pending = 1;
  im->loads = count_loads(im);
  int lines = fits_with_lines((size_t)has_name + 2 + (size_t)im->loads, 0);
  if (has_name) xml_leaf(&x, lines, 1, "name", options->name, strlen(options->name));
  write_conditions(im, &x, lines, 0);
  write_conditions(im, &x, lines, 1);
  im->cell_row = (size_t *)take(im->nbr_columns, sizeof(size_t));
  for (size_t i = 0; i < im->nbr_rows; i++) {
    const ListRow *row = &im->rows[i];
    RowNumbers rn;
    find_fixed_cells(im, row, &rn);
    long copies = row_quantity(im, row, &rn, 0);
    if (copies == 0) continue;
    RowValues rv;
    row_values(im, row, &rv);
    const char *name = im->texts.p + row->name.offset;
    if (copies == 1) {
      write_load(im, &x, lines, row, &rv, name, row->name.length);
      continue;
    }
    for (long k = 1; k <= copies; k++) {
      size_t length = 0;
      char *copy = list_copy_name(name, row->name.length, k, copies, &length);
      write_load(im, &x, lines, row, &rv, copy, length);
      free(copy);
    }
  }
  xml_break(&x, lines, 0);
  puts_(&x, "</kpm>\n");
}

static void release(Import *im) {
  csv_close(&im->r);
  free(im->columns);
  free(im->pairs);
  free(im->stars);
  free(im->star_pair);
  free(im->star_explicit);
  name_table_free(&im->pair_names);
  name_table_free(&im->oc_names);
  name_table_free(&im->ac_names);
  free(im->oc);
  free(im->ac);
  free(im->oc_length);
  free(im->ac_length);
  free(im->oc_column);
  free(im->ac_column);
  free(im->texts.p);
  free(im->rows);
  free(im->cells.p);
  free(im->lfs);
  free(im->cell_row);
  free(im->scratch.p);
}

int import_load_list(FILE *in, CsvDiag *diag, const ImportOptions *options, FILE *out, ImportCounts *counts) {
  Import im;
  memset(&im, 0, sizeof im);
  im.diag = diag;
  im.options = options;
  name_table_init(&im.pair_names, 0, 1, nullptr);
  name_table_init(&im.oc_names, 0, 1, nullptr);
  name_table_init(&im.ac_names, 0, 1, nullptr);
  // Problems are found in two passes (the cells, then their numbers once
  // the decimal mark is settled) and told in the order of their places.
  csv_diag_hold(diag);
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
      store_row(&im);
    }
  }
  int status = TOOL_DONE;
  if (im.r.read_fail) {
    csv_diag_release(diag);
    tool_error("cannot read %s: %s", diag->file, strerror(errno ? errno : EIO));
    status = TOOL_TROUBLE;
  } else if (!have_header && !im.r.encoding) {
    csv_diag_error(diag, 1, 1, "the list is empty: it has no header row");
  }
  if (status == TOOL_DONE) {
    settle_mark(&im);
    for (size_t i = 0; i < im.nbr_rows; i++) check_row(&im, &im.rows[i]);
    csv_diag_release(diag);
  }
  if (status == TOOL_DONE && diag->errors) status = TOOL_BAD_INPUT;
  if (status == TOOL_DONE) write_study(&im, options, out);
  if (counts) {
    counts->loads = im.loads;
    counts->pairs = (long)im.nbr_pairs;
    counts->operational = (long)im.nbr_oc;
    counts->ambient = (long)im.nbr_ac;
  }
  release(&im);
  return status;
}
