// The study checker: kpm's reader and preparation tell it of every problem
// (StudyCheck), with the elements concerned, whose positions the reader
// records; it turns each into a diagnostic at its place, and adds warnings.
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "calc/calc.h"
#include "tools/check/check.h"
#include "tools/common/csv_read.h"
#include "tools/lists/load_list.h"
#include "tools/common/similar.h"
#include "tools/common/tool.h"
#include "xml/xmlentity.h"

namespace {

struct Pos {
  int line;
  int column;
};

// The value elements of a load, in the order of Load's fields.
enum { V_NAME, V_SWBS, V_CONNECTED, V_PEAK, V_PF, VALUE_KINDS };
const char *const VALUE_NAMES[VALUE_KINDS] = {"name", "swbs", "connected_load", "peak_fraction", "pf"};

// What the checker knows of one load: where it and the elements whose values
// count stand, and where its load factors are (positions in creation order).
struct LoadInfo {
  const Load *ld;
  Pos at;
  Pos value[VALUE_KINDS]; // line 0: the value is the default
  long first_lf;          // index of its first load factor in Checker::lf_at
  long lf_count;
};

struct ConditionInfo {
  const void *rec; // OperationalCondition or AmbientCondition
  int ambient;
  Pos at;
};

// The conditions of one kind as the search for "did you mean" sees them, in
// the order of the study's list: built at the first unknown name of the
// kind (the study is prepared by then), so that each unknown name is looked
// up once, and only against the names that could be near it.
struct ConditionNames {
  int built;
  const char **name;
  size_t *length;
  size_t count;
  NameTable folded; // the spelling without case -> the first condition of it
  NameTable exact;  // the spelling -> the first condition of it
  NearIndex near;
  NameTable asked;  // an unknown name -> its answer
  long *answer;     // a condition, or -1
  size_t nbr_answers, answers_cap;
  char *scratch; // a name folded
  size_t scratch_cap;
};

struct Checker {
  StudyCheck base; // first, so that the callbacks find the rest
  const char *path;
  CheckResult *out;
  LoadStudy *z;
  int errflag; // the reader's status
  Pos root;    // the root element
  Pos *lf_at;  // every load factor's lf element, in creation order
  long lf_count, lf_room;
  LoadInfo *loads; // in creation order
  long load_count, load_room;
  NameTable load_index; // Load record -> index in loads
  ConditionInfo *conditions;
  long condition_count, condition_room;
  NameTable condition_index; // record -> index in conditions, once the study is prepared
  const XMLENTITY *child; // the root's child being mapped
  const LoadFactor *last_twice;
  ConditionNames names[2]; // operational, ambient
};

// Grows *array (of size-byte items) to hold one more than *count.
void *grow(void *array, long count, long *room, size_t size) {
  if (count < *room) return array;
  long more = *room ? *room * 2 : 64;
  void *p = kpm_alloc_fails() ? nullptr : realloc(array, (size_t)more * size);
  if (!p) tool_out_of_memory();
  *room = more;
  return p;
}

Pos position_of(const XMLENTITY *e) {
  Pos p = {e ? e->line : 0, e ? e->column : 0};
  return p;
}

// ---------------------------------------------------------------- diagnostics

void vadd(Checker *k, Pos at, int severity, const char *code, const char *format, va_list ap) {
  // A warning that -W could not silence would be a fault of the checker.
  if (severity != CHECK_ERROR && !is_warning_code(code)) abort();
  CheckResult *r = k->out;
  r->d = (CheckDiagnostic *)grow(r->d, r->count, &r->room, sizeof *r->d);
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  char *message = (char *)tool_calloc((size_t)n + 1, 1);
  vsnprintf(message, (size_t)n + 1, format, ap);
  CheckDiagnostic *d = &r->d[r->count];
  d->line = at.line > 0 ? at.line : 1;
  d->column = at.column > 0 ? at.column : 1;
  d->severity = severity;
  d->code = code;
  d->message = message;
  d->seq = r->count;
  r->count++;
  if (severity == CHECK_ERROR)
    r->errors++;
  else
    r->warnings++;
}

void error(Checker *k, Pos at, const char *code, const char *format, ...) __attribute__((format(printf, 4, 5)));
void error(Checker *k, Pos at, const char *code, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vadd(k, at, CHECK_ERROR, code, format, ap);
  va_end(ap);
}

void warning(Checker *k, Pos at, const char *code, const char *format, ...) __attribute__((format(printf, 4, 5)));
void warning(Checker *k, Pos at, const char *code, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vadd(k, at, CHECK_WARNING, code, format, ap);
  va_end(ap);
}

void note(Checker *k, Pos at, const char *code, const char *format, ...) __attribute__((format(printf, 4, 5)));
void note(Checker *k, Pos at, const char *code, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vadd(k, at, CHECK_NOTE, code, format, ap);
  va_end(ap);
}

// Texts of the study are data: in a message each stands in quotes, on one
// line, each character as every diagnostic shows it (diag_shown_char), and
// cut to a readable length.
const int QUOTED_MAX = 60; // bytes of the text
struct Quoted {
  // Each byte becomes at most 4 (\xNN); the last character may pass the cut by 3 bytes.
  char text[(QUOTED_MAX + 3) * 4 + 8];
};

Quoted quote_with(const char *s, const char *mark) {
  Quoted q;
  char *o = q.text;
  if (*mark) *o++ = *mark;
  if (!s) s = "";
  size_t length = strlen(s);
  size_t i = 0;
  while (i < length && i < (size_t)QUOTED_MAX) {
    size_t written = 0;
    i += diag_shown_char(s + i, length - i, o, &written);
    o += written;
  }
  if (i < length) {
    memcpy(o, "...", 3);
    o += 3;
  }
  if (*mark) *o++ = *mark;
  *o = '\0';
  return q;
}

Quoted quote(const char *s) { return quote_with(s, "'"); }

// A name from the file shown between < and >.
Quoted plain(const char *s) { return quote_with(s, ""); }

// A load as messages name it.
struct LoadName {
  char text[sizeof(Quoted) + 16];
};

LoadName load_name(const Load *ld) {
  LoadName n;
  if (ld && ld->name)
    snprintf(n.text, sizeof n.text, "load %s", quote(ld->name).text);
  else
    snprintf(n.text, sizeof n.text, "a load without a name");
  return n;
}

struct Number {
  char text[SHORTEST_REAL_SIZE];
};

Number number(double v) {
  Number n;
  format_shortest_real(n.text, sizeof n.text, v);
  return n;
}

// ---------------------------------------------------------------- positions of records

LoadInfo *info_of(Checker *k, const Load *ld) {
  long i = name_table_find_address(&k->load_index, ld);
  return i < 0 ? nullptr : &k->loads[i];
}

// Where the lf element of lf stands: the load's load factors stand in the
// reverse of creation order in its list.
Pos lf_at(Checker *k, const LoadFactor *lf) {
  LoadInfo *li = info_of(k, lf->ld);
  if (!li) return k->root;
  long from_end = 0;
  for (const LoadFactor *x = lf->ld->lf; x && x != lf; x = x->next) from_end++;
  long i = li->first_lf + li->lf_count - 1 - from_end;
  return i >= li->first_lf && i < k->lf_count ? k->lf_at[i] : li->at;
}

// The element whose value counts, or the load when the value is its default.
Pos value_at(Checker *k, const Load *ld, int kind) {
  LoadInfo *li = info_of(k, ld);
  if (!li) return k->root;
  return li->value[kind].line ? li->value[kind] : li->at;
}

// ---------------------------------------------------------------- did you mean

int same_ignoring_case(const char *a, const char *b) {
  for (; *a && *b; a++, b++)
    if ((*a | 0x20) != (*b | 0x20) || (((*a | 0x20) < 'a' || (*a | 0x20) > 'z') && *a != *b)) return 0;
  return *a == *b;
}

int is_blank(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

void build_condition_names(ConditionNames *c, const LoadStudy *z, int ambient) {
  c->built = 1;
  size_t n = (size_t)(ambient ? z->nbr_ac : z->nbr_oc);
  size_t cap = 0;
  c->name = (const char **)tool_grow(nullptr, 0, &cap, (n ? n : 1) * sizeof(char *));
  cap = 0;
  c->length = (size_t *)tool_grow(nullptr, 0, &cap, (n ? n : 1) * sizeof(size_t));
  name_table_init(&c->folded, 0, 1, nullptr);
  name_table_init(&c->exact, 0, 1, nullptr);
  name_table_init(&c->asked, 0, 1, nullptr);
  // Walk whichever list; both have the same shape.
  const OperationalCondition *oc = ambient ? nullptr : z->oc;
  const AmbientCondition *ac = ambient ? z->ac : nullptr;
  for (; (oc || ac) && c->count < n; oc = oc ? oc->next : nullptr, ac = ac ? ac->next : nullptr) {
    const char *name = oc ? oc->name : ac->name;
    if (!name) continue;
    size_t length = strlen(name);
    int at = (int)c->count;
    c->name[c->count] = name;
    c->length[c->count++] = length;
    name_table_add(&c->exact, name, length, at);
    if (length + 1 > c->scratch_cap) c->scratch = (char *)tool_grow(c->scratch, 0, &c->scratch_cap, length + 1);
    for (size_t i = 0; i < length; i++) c->scratch[i] = (char)lower_ascii((unsigned char)name[i]);
    name_table_add(&c->folded, c->scratch, length, at);
  }
  near_index_build(&c->near, c->name, c->length, c->count, 0);
}

void free_condition_names(ConditionNames *c) {
  if (!c->built) return;
  free(c->name);
  free(c->length);
  name_table_free(&c->folded);
  name_table_free(&c->exact);
  name_table_free(&c->asked);
  near_index_free(&c->near);
  free(c->answer);
  free(c->scratch);
  memset(c, 0, sizeof *c);
}

// A defined condition name close to name: differing in case, in blanks at
// either end (the first such in the list), or else by one or two bytes (the
// nearest, then the first); null when there is none.
const char *nearest_condition(ConditionNames *c, const LoadStudy *z, const char *name, int ambient) {
  if (!name) return nullptr;
  if (!c->built) build_condition_names(c, z, ambient);
  size_t n = strlen(name);
  int asked = name_table_find(&c->asked, name, n);
  if (asked >= 0) return c->answer[asked] >= 0 ? c->name[c->answer[asked]] : nullptr;
  long best = -1;
  if (n + 1 > c->scratch_cap) c->scratch = (char *)tool_grow(c->scratch, 0, &c->scratch_cap, n + 1);
  for (size_t i = 0; i < n; i++) c->scratch[i] = (char)lower_ascii((unsigned char)name[i]);
  best = name_table_find(&c->folded, c->scratch, n);
  const char *t = name;
  size_t tn = n;
  while (tn && is_blank((unsigned char)*t)) {
    t++;
    tn--;
  }
  while (tn && is_blank((unsigned char)t[tn - 1])) tn--;
  long exact = name_table_find(&c->exact, t, tn);
  if (exact >= 0 && (best < 0 || exact < best)) best = exact;
  if (best < 0) {
    size_t found = 0;
    const NearFound *near = near_index_find(&c->near, name, n, &found);
    int best_distance = 3;
    for (size_t k = 0; k < found; k++) {
      long id = (long)near[k].id;
      int d = near[k].distance;
      if (d < best_distance || (d == best_distance && id < best)) {
        best_distance = d;
        best = id;
      }
    }
  }
  if ((c->nbr_answers + 1) * sizeof(long) > c->answers_cap)
    c->answer = (long *)tool_grow(c->answer, c->nbr_answers * sizeof(long), &c->answers_cap,
                                 (c->nbr_answers + 1) * sizeof(long));
  c->answer[c->nbr_answers] = best;
  name_table_add(&c->asked, name, n, (int)c->nbr_answers++);
  return best >= 0 ? c->name[best] : nullptr;
}

// ---------------------------------------------------------------- errors: the XML

// The name of the end tag that starts at offset (its "</"), read again from the file.
void end_tag_name(const char *path, long offset, char *name, size_t room) {
  name[0] = '\0';
  FILE *f = fopen(path, "rb");
  if (!f) return;
  if (fseek(f, offset + 2, SEEK_SET) == 0) {
    size_t n = 0;
    int c;
    while (n + 1 < room && (c = fgetc(f)) != EOF && c != '>' && c != '<' && c != ' ' && !(c >= '\t' && c <= '\r'))
      name[n++] = (char)c;
    name[n] = '\0';
  }
  fclose(f);
}

const char *item_words(int what) {
  switch (what) {
  case XML_ITEM_COMMENT:
    return "comment";
  case XML_ITEM_CDATA:
    return "CDATA section";
  case XML_ITEM_PI:
    return "processing instruction";
  case XML_ITEM_DECLARATION:
    return "declaration";
  default:
    return "tag";
  }
}

const char *item_end(int what) {
  switch (what) {
  case XML_ITEM_COMMENT:
    return "-->";
  case XML_ITEM_CDATA:
    return "]]>";
  case XML_ITEM_PI:
    return "?>";
  default:
    return ">";
  }
}

void report_xml_fault(Checker *k) {
  const XMLFAULT *f = xml_first_fault();
  Pos open = {(int)f->open.line, (int)f->open.column};
  Pos at = {(int)f->at.line, (int)f->at.column};
  Quoted shown = plain(f->element);
  const char *element = shown.text;
  switch (f->kind) {
  case XML_FAULT_END_TAG: {
    char found[80];
    end_tag_name(k->path, f->at.offset, found, sizeof found);
    error(k, at, "xml-end-tag", "end tag </%s> does not match <%s> opened at %d:%d", plain(found).text, element,
          open.line, open.column);
    break;
  }
  case XML_FAULT_END_TAG_CLOSE: {
    char found[8];
    snprintf(found, sizeof found, f->found >= 0x20 && f->found < 0x7f ? "'%c'" : "byte 0x%02x", f->found);
    error(k, at, "xml-end-tag", "end tag of <%s> opened at %d:%d holds %s after its name: expected '>'", element,
          open.line, open.column, found);
    break;
  }
  case XML_FAULT_EOF:
    if (f->what == XML_ITEM_CONTENT)
      error(k, open, "xml-unclosed", "<%s> is not closed: the file ends before its end tag </%s>", element, element);
    else
      error(k, open, "xml-unclosed", "%s is not closed: the file ends before its '%s'", item_words(f->what),
            item_end(f->what));
    break;
  case XML_FAULT_OVERRUN:
    if (f->what == XML_ITEM_CONTENT && same_ignoring_case(f->element, "kpm"))
      error(k, open, "xml-limit",
            "the text directly inside <%s> goes past its limit of %ld characters at %d:%d; white space between its "
            "children counts: write </load><load> with nothing between them",
            element, f->limit, at.line, at.column);
    else if (f->what == XML_ITEM_CONTENT)
      error(k, open, "xml-limit", "the text directly inside <%s> goes past its limit of %ld characters at %d:%d",
            element, f->limit, at.line, at.column);
    else
      error(k, open, "xml-limit", "%s longer than %ld characters, the longest that kpm reads", item_words(f->what),
            f->limit);
    break;
  case XML_FAULT_NESTING:
    error(k, open, "xml-nesting", "more than %ld elements open at once: nesting too deep", f->limit);
    break;
  case XML_FAULT_DECLARATION:
    error(k, open, "xml-declaration", "'<!' declarations (DOCTYPE, ENTITY, ...) are not supported");
    break;
  case XML_FAULT_EMPTY_DECLARATION:
    error(k, open, "xml-malformed", "'<!>' is not markup: expected a comment '<!--' or '<![CDATA['");
    break;
  case XML_FAULT_NOT_COMMENT:
    error(k, open, "xml-malformed", "'<!-' does not open a comment: expected '<!--'");
    break;
  case XML_FAULT_NOT_CDATA:
    error(k, open, "xml-malformed", "'<![' does not open a CDATA section: expected '<![CDATA['");
    break;
  case XML_FAULT_NESTED_COMMENT:
    error(k, open, "xml-malformed",
          "comment holds '<!--': comments do not nest, and its first '-->' would end it early");
    break;
  default:
    error(k, k->root, "xml-malformed", "the file is not well-formed XML as kpm reads it");
    break;
  }
}

// ---------------------------------------------------------------- errors: the study

const char *parent_name(Checker *k, const XMLENTITY *e) { return !k->child || e == k->child ? "kpm" : k->child->name; }

void on_problem(StudyCheck *check, int problem, const XMLENTITY *e, const XMLENTITY *attr, const Load *ld,
                const LoadFactor *lf) {
  Checker *k = (Checker *)check;
  switch (problem) {
  case STUDY_NO_ITEM:
    error(k, Pos{1, 1}, "no-element", "the file holds no XML element: a study is a <kpm> element");
    break;
  case STUDY_ROOT_NOT_KPM:
    if (e->type == XML_ELEMENT)
      error(k, position_of(e), "root", "the first element is <%s>: a study starts with the root element <kpm>",
            plain(e->name).text);
    else
      error(k, position_of(e), "root", "a %s stands before the root element <kpm>: nothing but white space may",
            e->type == XML_COMMENT ? "comment"
            : e->type == XML_PI    ? "processing instruction (an XML declaration, say)"
            : e->type == XML_CDATA ? "CDATA section"
                                   : "declaration");
    break;
  case STUDY_UNKNOWN_TAG:
    if (e->type == XML_CDATA)
      error(k, position_of(e), "unknown-tag", "a CDATA section is not allowed in <%s>", parent_name(k, e));
    else if (e->type == XML_PI)
      error(k, position_of(e), "unknown-tag", "a processing instruction is not allowed in <%s>", parent_name(k, e));
    else
      error(k, position_of(e), "unknown-tag", "unknown element <%s> in <%s>", plain(e->name).text, parent_name(k, e));
    break;
  case STUDY_LF_UNKNOWN_ATTRIBUTE: {
    const char *hint = same_ignoring_case(attr->name, "oc")   ? " (did you mean 'oc'?)"
                       : same_ignoring_case(attr->name, "ac") ? " (did you mean 'ac'?)"
                                                              : "";
    error(k, position_of(attr), "lf-attribute", "unknown attribute %s on <lf>: only oc and ac are allowed%s",
          quote(attr->name).text, hint);
    break;
  }
  case STUDY_LF_WITHOUT_CONDITION: {
    // The last oc and the last ac count; either may be missing, or written without a value.
    const XMLENTITY *oc = nullptr, *ac = nullptr;
    for (const XMLENTITY *a = e->attr; a; a = a->next) {
      if (a->name && strcmp(a->name, "oc") == 0) oc = a;
      if (a->name && strcmp(a->name, "ac") == 0) ac = a;
    }
    const char *missing = !oc && !ac               ? "without oc and ac"
                          : !oc                    ? "without oc"
                          : !ac                    ? "without ac"
                          : !oc->data && !ac->data ? "with oc and ac written without a value"
                          : !oc->data              ? "with oc written without a value"
                                                   : "with ac written without a value";
    error(k, position_of(e), "lf-condition", "<lf> %s: a load factor names its pair with oc=\"...\" and ac=\"...\"",
          missing);
    break;
  }
  case STUDY_LOAD_WITHOUT_LF:
    error(k, position_of(e), "no-load-factor", "this load has no <lf>: a load runs under at least one pair");
    break;
  case STUDY_NO_OPERATIONAL:
    error(k, k->root, "no-conditions",
          "no operational conditions: the study needs a <name> in <operational_conditions>");
    break;
  case STUDY_NO_AMBIENT:
    error(k, k->root, "no-conditions", "no ambient conditions: the study needs a <name> in <ambient_conditions>");
    break;
  case STUDY_OC_UNDEFINED:
  case STUDY_AC_UNDEFINED: {
    int ambient = problem == STUDY_AC_UNDEFINED;
    const char *name = ambient ? lf->ac_name : lf->oc_name;
    const char *near = nearest_condition(&k->names[ambient], k->z, name, ambient);
    char hint[sizeof(Quoted) + 32] = "";
    if (near) snprintf(hint, sizeof hint, " (did you mean %s?)", quote(near).text);
    error(k, lf_at(k, lf), "undefined-condition", "%s condition %s of %s is not defined%s",
          ambient ? "ambient" : "operational", quote(name).text, load_name(ld).text, hint);
    break;
  }
  case STUDY_LF_TWICE: {
    if (lf == k->last_twice) break; // told once for each earlier load factor of the pair
    k->last_twice = lf;
    const LoadFactor *counts = ld->lf;
    while (counts && !(counts->oc == lf->oc && counts->ac == lf->ac)) counts = counts->next;
    Pos ignored = lf_at(k, lf);
    warning(k, counts ? lf_at(k, counts) : ignored, "lf-twice",
            "%s gives a load factor for %s/%s again: this one counts, the one at %d:%d is ignored", load_name(ld).text,
            quote(lf->oc_name).text, quote(lf->ac_name).text, ignored.line, ignored.column);
    break;
  }
  case STUDY_LF_RANGE:
    error(k, lf_at(k, lf), "range", "load factor %s of %s for %s/%s is out of range: it must lie between 0 and 1",
          number(lf->loadfactor).text, load_name(ld).text, quote(lf->oc_name).text, quote(lf->ac_name).text);
    break;
  case STUDY_LF_ABOVE_PEAK: {
    Pos peak = value_at(k, ld, V_PEAK);
    error(k, lf_at(k, lf), "above-peak",
          "load factor %s of %s for %s/%s is above its peak fraction %s (%d:%d): a load never draws more than its peak",
          number(lf->loadfactor).text, load_name(ld).text, quote(lf->oc_name).text, quote(lf->ac_name).text,
          number(ld->peak_fraction).text, peak.line, peak.column);
    break;
  }
  case STUDY_CONNECTED_LOAD_RANGE:
    error(k, value_at(k, ld, V_CONNECTED), "range",
          "connected load %s kW of %s is out of range: it must be 0 or more, and finite",
          number(ld->connected_load).text, load_name(ld).text);
    break;
  case STUDY_PEAK_FRACTION_RANGE:
    error(k, value_at(k, ld, V_PEAK), "range", "peak fraction %s of %s is out of range: it must lie between 0 and 1",
          number(ld->peak_fraction).text, load_name(ld).text);
    break;
  case STUDY_POWER_FACTOR_RANGE:
    error(k, value_at(k, ld, V_PF), "range",
          "power factor %s of %s is out of range: it must lie between -1 and 1, and not be 0",
          number(ld->power_factor).text, load_name(ld).text);
    break;
  default:
    break;
  }
}

// ---------------------------------------------------------------- warnings: what kpm reads silently

int is_digit(int c) { return c >= '0' && c <= '9'; }

// How a value's text reads as a number, when it is not wholly one.
void check_number(Checker *k, const XMLENTITY *e, const char *what) {
  const char *s = e->data;
  if (!s || !*s) return;
  char *end;
  strtod(s, &end);
  const char *rest = end;
  while (is_blank((unsigned char)*rest)) rest++;
  if (end != s && !*rest) return; // wholly a number
  Number reads = number(text_to_real(s));
  Pos at = position_of(e);
  // 1,500 or 12,345.6: a thousands separator.
  const char *p = s + (*s == '-' || *s == '+');
  int lead = 0;
  while (is_digit((unsigned char)p[lead])) lead++;
  int groups = 0;
  const char *q = p + lead;
  while (lead >= 1 && lead <= 3 && q[0] == ',' && is_digit((unsigned char)q[1]) && is_digit((unsigned char)q[2]) &&
         is_digit((unsigned char)q[3]) && !is_digit((unsigned char)q[4])) {
    groups++;
    q += 4;
  }
  if (groups && (!*q || *q == '.')) {
    warning(k, at, "thousands-separator", "%s %s has a thousands separator: kpm reads %s; write it without", what,
            quote(s).text, reads.text);
    return;
  }
  // 0,85: a decimal comma.
  q = p;
  while (is_digit((unsigned char)*q)) q++;
  if (*q == ',' && is_digit((unsigned char)q[1])) {
    const char *r = q + 1;
    while (is_digit((unsigned char)*r)) r++;
    if (!*r) {
      warning(k, at, "decimal-comma", "%s %s has a decimal comma: kpm reads %s; write a decimal point", what,
              quote(s).text, reads.text);
      return;
    }
  }
  // 12kW, 50 %: a number and a unit, which is meant and read as the number.
  if (end != s) {
    int letters = 1;
    for (const char *r = rest; *r; r++)
      if (!((*r >= 'a' && *r <= 'z') || (*r >= 'A' && *r <= 'Z') || *r == '%' || is_blank((unsigned char)*r)))
        letters = 0;
    if (letters) {
      note(k, at, "unit", "%s %s: kpm reads the number, %s, and ignores the unit", what, quote(s).text, reads.text);
      return;
    }
  }
  warning(k, at, "not-a-number", "%s %s is not a number: kpm reads %s", what, quote(s).text, reads.text);
}

// A value element: what kpm does not see in it, and how its text reads.
void check_value(Checker *k, const XMLENTITY *e, int numeric) {
  int hidden = 0;
  for (const XMLENTITY *c = e->child; c; c = c->next) {
    if (c->type == XML_COMMENT) continue;
    hidden = 1;
    warning(k, position_of(c), "value-children", "%s inside <%s> is not read: kpm takes only the element's own text%s",
            c->type == XML_CDATA ? "a CDATA section"
            : c->type == XML_PI  ? "a processing instruction"
                                 : "an element",
            e->name, numeric ? (e->data && *e->data ? "" : ", here empty, so 0") : "");
    break;
  }
  int is_lf = strcmp(e->name, "lf") == 0;
  for (const XMLENTITY *a = e->attr; a; a = a->next) {
    if (is_lf) break; // its attributes are the reader's to judge
    warning(k, position_of(a), "value-attributes", "attribute %s of <%s> is ignored%s", quote(a->name).text, e->name,
            numeric ? ": units are not converted, the value is taken as written" : "");
  }
  if (e->data && !*e->data && !hidden) {
    if (is_lf)
      warning(k, position_of(e), "empty-value",
              "<lf> has an empty text: kpm reads 0, so the load is idle under that pair");
    else
      warning(k, position_of(e), "empty-value", "<%s> has an empty text: kpm reads %s", e->name,
              numeric ? "0" : "an empty text");
  }
  if (numeric) check_number(k, e, e->name);
}

// Text directly inside kpm, a condition group or a load: kpm ignores it.
void check_stray_text(Checker *k, const XMLENTITY *e) {
  if (!e->data || !e->text_line) return;
  const char *s = e->data;
  Pos at = {e->text_line, e->text_column};
  warning(k, at, "stray-text", "text %s directly inside <%s> is ignored%s", quote(s).text, e->name,
          strstr(s, "-->") ? ": a comment may have ended earlier than meant" : "");
}

void check_ignored_attributes(Checker *k, const XMLENTITY *e) {
  for (const XMLENTITY *a = e->attr; a; a = a->next)
    warning(k, position_of(a), "ignored-attribute", "attribute %s of <%s> is ignored", quote(a->name).text, e->name);
}

void check_condition_name(Checker *k, const XMLENTITY *e) {
  for (const XMLENTITY *a = e->attr; a; a = a->next) {
    Pos at = position_of(a);
    if (a->name && strcmp(a->name, "order") == 0) {
      const char *v = a->data;
      if (!v) {
        warning(k, at, "order-value", "order without a value: kpm reads 0");
      } else if (v[0] == '\'') {
        warning(k, at, "quoted-order", "order=%s between apostrophes: kpm reads %d; write order=\"...\"", v,
                order_value(v));
      } else {
        char *end;
        strtol(v, &end, 10);
        while (is_blank((unsigned char)*end)) end++;
        if (end == v || *end)
          warning(k, at, "order-value", "order %s is not a whole number: kpm reads %d", quote(v).text, order_value(v));
      }
    } else if (a->name && (same_ignoring_case(a->name, "order") || distance_up_to_2(a->name, strlen(a->name), "order", 5, 0) <= 2)) {
      warning(k, at, "misspelt-order",
              "attribute %s is not order and is ignored: this condition keeps order 0 and may come out in another "
              "place",
              quote(a->name).text);
    } else {
      warning(k, at, "ignored-attribute", "attribute %s of a condition's <name> is ignored", quote(a->name).text);
    }
  }
  if (e->data && !*e->data)
    warning(k, position_of(e), "empty-value", "<name> has an empty text: it makes no condition");
  for (const XMLENTITY *c = e->child; c; c = c->next)
    if (c->type != XML_COMMENT) {
      warning(k, position_of(c), "value-children", "%s inside a condition's <name> is not read",
              c->type == XML_CDATA ? "a CDATA section" : "an element");
      break;
    }
}

void check_load_element(Checker *k, const XMLENTITY *load) {
  check_ignored_attributes(k, load);
  check_stray_text(k, load);
  const XMLENTITY *last[VALUE_KINDS] = {};
  for (const XMLENTITY *c = load->child; c; c = c->next) {
    if (c->type != XML_ELEMENT) continue;
    if (strcmp(c->name, "lf") == 0) {
      check_value(k, c, 1);
      continue;
    }
    for (int v = 0; v < VALUE_KINDS; v++) {
      if (strcmp(c->name, VALUE_NAMES[v]) != 0) continue;
      check_value(k, c, v >= V_CONNECTED);
      if (last[v] && c->data)
        warning(k, position_of(c), "value-twice",
                "<%s> given again in this load: this one counts, the one at %d:%d is ignored", c->name, last[v]->line,
                last[v]->column);
      if (c->data || v < V_CONNECTED) last[v] = c;
    }
  }
  Pos at = position_of(load);
  if (!last[V_CONNECTED]) warning(k, at, "no-connected-load", "this load has no <connected_load>: kpm takes 0 kW");
  if (!last[V_NAME]) warning(k, at, "no-name", "this load has no <name>: the report shows (null)");
  if (!last[V_SWBS]) warning(k, at, "no-swbs", "this load has no <swbs>: the report shows (null)");
}

void check_group(Checker *k, const XMLENTITY *group) {
  check_ignored_attributes(k, group);
  check_stray_text(k, group);
  for (const XMLENTITY *c = group->child; c; c = c->next)
    if (c->type == XML_ELEMENT && strcmp(c->name, "name") == 0) check_condition_name(k, c);
}

void on_child(StudyCheck *check, const XMLENTITY *child) {
  Checker *k = (Checker *)check;
  k->child = child;
  if (child->type != XML_ELEMENT) return;
  if (strcmp(child->name, "load") == 0)
    check_load_element(k, child);
  else if (strcmp(child->name, "operational_conditions") == 0 || strcmp(child->name, "ambient_conditions") == 0)
    check_group(k, child);
  else if (strcmp(child->name, "name") == 0)
    check_value(k, child, 0);
}

void on_made(StudyCheck *check, int what, const XMLENTITY *e, void *record) {
  Checker *k = (Checker *)check;
  switch (what) {
  case STUDY_MADE_LOAD: {
    k->loads = (LoadInfo *)grow(k->loads, k->load_count, &k->load_room, sizeof *k->loads);
    LoadInfo *li = &k->loads[k->load_count];
    memset(li, 0, sizeof *li);
    li->ld = (const Load *)record;
    li->at = position_of(e);
    li->first_lf = k->lf_count;
    name_table_add_address(&k->load_index, record, (int)k->load_count);
    k->load_count++;
    break;
  }
  case STUDY_MADE_VALUE: {
    LoadInfo *li = &k->loads[k->load_count - 1]; // the load being read
    for (int v = 0; v < VALUE_KINDS; v++)
      if (strcmp(e->name, VALUE_NAMES[v]) == 0) li->value[v] = position_of(e);
    break;
  }
  case STUDY_MADE_LOAD_FACTOR:
    k->lf_at = (Pos *)grow(k->lf_at, k->lf_count, &k->lf_room, sizeof *k->lf_at);
    k->lf_at[k->lf_count++] = position_of(e);
    k->loads[k->load_count - 1].lf_count++;
    break;
  case STUDY_MADE_OPERATIONAL:
  case STUDY_MADE_AMBIENT: {
    k->conditions = (ConditionInfo *)grow(k->conditions, k->condition_count, &k->condition_room, sizeof *k->conditions);
    ConditionInfo *ci = &k->conditions[k->condition_count++];
    ci->rec = record;
    ci->ambient = what == STUDY_MADE_AMBIENT;
    ci->at = position_of(e);
    break;
  }
  default:
    break;
  }
}

// How many loads a chain of items holds: loads themselves, and those of a
// further study root among them.
long loads_in(const XMLENTITY *e) {
  long n = 0;
  for (; e; e = e->next) {
    if (e->type != XML_ELEMENT || !e->name) continue;
    if (same_ignoring_case(e->name, "load"))
      n++;
    else if (same_ignoring_case(e->name, "kpm"))
      n += loads_in(e->child); // one level: a study's loads are its children
  }
  return n;
}

// The root's share of its text limit at which the checker speaks up.
const double ROOT_TEXT_WARNING_SHARE = 0.9;

void on_document(StudyCheck *check, const XMLENTITY *doc, int errflag) {
  Checker *k = (Checker *)check;
  k->errflag = errflag;
  k->child = nullptr;
  if (!doc) return;
  k->root = position_of(doc);
  if (errflag != 0 || doc->type != XML_ELEMENT) return;
  if (!same_ignoring_case(doc->name, "kpm")) return;
  check_ignored_attributes(k, doc);
  check_stray_text(k, doc);
  // The record's text is trimmed: the reader's own count is the one its limit tests.
  long text = xml_root_text_length();
  if (text > ROOT_TEXT_WARNING_SHARE * (XML_BUFFER_SIZE - 1))
    warning(k, k->root, "root-text-limit",
            "the text directly inside <kpm> holds %ld characters, %d%% of the %d that kpm reads: white space between "
            "the loads counts; write </load><load> with nothing between them",
            text, (int)(100.0 * (double)text / (XML_BUFFER_SIZE - 1)), XML_BUFFER_SIZE - 1);
  const XMLENTITY *after = doc->next;
  while (after && after->type != XML_ELEMENT) after = after->next;
  if (after)
    warning(k, position_of(after), "after-root",
            "elements after </kpm> are ignored (%ld load%s among them): a study file holds one study", loads_in(after),
            loads_in(after) == 1 ? "" : "s");
}

// ---------------------------------------------------------------- warnings on the prepared study

// A text into a hash of several values: its NUL ends it; a null text is a
// byte no text ends with.
uint64_t hash_text(uint64_t h, const char *s) { return s ? name_hash(h, s, strlen(s) + 1) : name_hash(h, "\xff", 1); }

uint64_t hash_real(uint64_t h, double v) { return name_hash(h, &v, sizeof v); }

int same_text(const char *a, const char *b) { return (!a && !b) || (a && b && strcmp(a, b) == 0); }

int loads_alike(const Load *a, const Load *b) {
  if (!same_text(a->name, b->name) || !same_text(a->swbs, b->swbs) || a->connected_load != b->connected_load ||
      a->peak_fraction != b->peak_fraction || a->power_factor != b->power_factor)
    return 0;
  const LoadFactor *x = a->lf, *y = b->lf;
  for (; x && y; x = x->next, y = y->next)
    if (!same_text(x->oc_name, y->oc_name) || !same_text(x->ac_name, y->ac_name) || x->loadfactor != y->loadfactor)
      return 0;
  return !x && !y;
}

const double HUGE_CONNECTED_LOAD = 1e6; // kW: more than any one consumer of a plant

void check_loads(Checker *k) {
  NameTable names; // a load's name -> the first load of that name
  name_table_init(&names, (size_t)k->load_count, 0, nullptr);
  // The loads, by a hash of every field: the first of each hash in the
  // table, the others of that hash (none alike) chained behind it.
  NameTable whole;
  name_table_init(&whole, (size_t)k->load_count, 1, nullptr);
  long *same_hash = (long *)tool_calloc((size_t)k->load_count + 1, sizeof(long));
  for (long i = 0; i < k->load_count; i++) {
    LoadInfo *li = &k->loads[i];
    const Load *ld = li->ld;
    // Texts that a report line cannot carry as CSV.
    for (int v = V_NAME; v <= V_SWBS; v++) {
      const char *s = v == V_NAME ? ld->name : ld->swbs;
      if (s && strpbrk(s, "\",\n\r"))
        warning(k, value_at(k, ld, v), "csv-unsafe",
                "%s %s holds %s: the report writes it as it is, so its line will not read back as CSV",
                v == V_NAME ? "name" : "SWBS code", quote(s).text,
                strchr(s, '"')   ? "a double quote"
                : strchr(s, ',') ? "a comma"
                                 : "a line break");
    }
    // An infinite one is out of range, an error of its own.
    if (ld->connected_load > HUGE_CONNECTED_LOAD && std::isfinite(ld->connected_load))
      warning(k, value_at(k, ld, V_CONNECTED), "huge-value",
              "connected load %s kW of %s is above %s kW: is the unit W?", number(ld->connected_load).text,
              load_name(ld).text, number(HUGE_CONNECTED_LOAD).text);
    int all_zero = ld->lf != nullptr;
    for (const LoadFactor *lf = ld->lf; lf; lf = lf->next)
      if (lf->loadfactor != 0) all_zero = 0;
    if (all_zero) warning(k, li->at, "never-runs", "every load factor of %s is 0: it never runs", load_name(ld).text);

    int first_named = ld->name ? name_table_add(&names, ld->name, strlen(ld->name), (int)i) : -1;
    if (first_named >= 0) {
      Pos first = k->loads[first_named].at;
      warning(k, li->at, "same-name", "a second load named %s (the first at %d:%d): the report cannot tell them apart",
              quote(ld->name).text, first.line, first.column);
    }
    uint64_t h = hash_text(hash_text(NAME_HASH_START, ld->name), ld->swbs);
    h = hash_real(hash_real(hash_real(h, ld->connected_load), ld->peak_fraction), ld->power_factor);
    for (const LoadFactor *lf = ld->lf; lf; lf = lf->next)
      h = hash_real(hash_text(hash_text(h, lf->oc_name), lf->ac_name), lf->loadfactor);
    long head = name_table_add(&whole, (const char *)&h, sizeof h, (int)i), alike = head;
    while (alike >= 0 && !loads_alike(k->loads[alike].ld, ld)) alike = same_hash[alike] - 1;
    if (alike >= 0) {
      Pos first = k->loads[alike].at;
      warning(k, li->at, "pasted-twice", "this load is alike in every field to the one at %d:%d: it is counted twice",
              first.line, first.column);
    } else if (head >= 0) {
      same_hash[i] = same_hash[head]; // chained behind the first of its hash (positions + 1)
      same_hash[head] = i + 1;
    }
  }
  name_table_free(&names);
  name_table_free(&whole);
  free(same_hash);
}

Pos condition_at(Checker *k, const void *rec) {
  long i = name_table_find_address(&k->condition_index, rec);
  return i < 0 ? k->root : k->conditions[i].at;
}

const char *condition_name(const ConditionInfo *ci) {
  return ci->ambient ? ((const AmbientCondition *)ci->rec)->name : ((const OperationalCondition *)ci->rec)->name;
}

struct TwinContext {
  Checker *k;
  const long *condition; // position in the list of names -> index in Checker::conditions
};

void on_near_twin(void *context, size_t later, size_t earlier, int kind) {
  TwinContext *c = (TwinContext *)context;
  const ConditionInfo *a = &c->k->conditions[c->condition[later]];
  const ConditionInfo *b = &c->k->conditions[c->condition[earlier]];
  const char *what = a->ambient ? "ambient" : "operational";
  if (kind == TWIN_CASE)
    warning(c->k, a->at, "similar-conditions",
            "%s condition %s differs only in case from %s (%d:%d): kpm takes them as two conditions, each with its "
            "own loads",
            what, quote(condition_name(a)).text, quote(condition_name(b)).text, b->at.line, b->at.column);
  else
    warning(c->k, a->at, "similar-conditions",
            "%s condition %s differs by one or two characters from %s (%d:%d): kpm takes them as two conditions; is "
            "one of them a slip?",
            what, quote(condition_name(a)).text, quote(condition_name(b)).text, b->at.line, b->at.column);
}

// Conditions of a kind whose names are near twins (Summer, summer; Summer,
// Sumer): kpm takes them as two, where the author most likely meant one.
void check_similar_conditions(Checker *k) {
  size_t cap = 0;
  const char **names = (const char **)tool_grow(nullptr, 0, &cap, ((size_t)k->condition_count + 1) * sizeof(char *));
  cap = 0;
  size_t *lengths = (size_t *)tool_grow(nullptr, 0, &cap, ((size_t)k->condition_count + 1) * sizeof(size_t));
  cap = 0;
  long *condition = (long *)tool_grow(nullptr, 0, &cap, ((size_t)k->condition_count + 1) * sizeof(long));
  for (int ambient = 0; ambient < 2; ambient++) {
    size_t n = 0;
    for (long i = 0; i < k->condition_count; i++) {
      const ConditionInfo *ci = &k->conditions[i];
      if (ci->ambient != ambient || !condition_name(ci)) continue;
      names[n] = condition_name(ci);
      lengths[n] = strlen(names[n]);
      condition[n++] = i;
    }
    TwinContext context = {k, condition};
    find_near_twins(names, lengths, n, on_near_twin, &context);
  }
  free(names);
  free(lengths);
  free(condition);
}

// Two conditions of a kind with one name: every lf names the one that sorts
// first, and the others get blocks of their own, under which no load runs.
void check_condition_names(Checker *k) {
  for (long i = 0; i < k->condition_count; i++) name_table_add_address(&k->condition_index, k->conditions[i].rec, (int)i);
  for (int ambient = 0; ambient < 2; ambient++) {
    long n = 0;
    for (long i = 0; i < k->condition_count; i++) n += k->conditions[i].ambient == ambient;
    NameTable first, sorted; // a name -> the first condition of it in the file, in the sorted list
    name_table_init(&first, (size_t)n, 0, nullptr);
    name_table_init(&sorted, (size_t)n, 0, nullptr);
    const OperationalCondition *oc = ambient ? nullptr : k->z->oc;
    const AmbientCondition *ac = ambient ? k->z->ac : nullptr;
    for (; oc || ac; oc = oc ? oc->next : nullptr, ac = ac ? ac->next : nullptr) {
      long i = name_table_find_address(&k->condition_index, oc ? (const void *)oc : (const void *)ac);
      if (i < 0) continue;
      const char *name = condition_name(&k->conditions[i]);
      name_table_add(&sorted, name, strlen(name), (int)i);
    }
    for (long i = 0; i < k->condition_count; i++) {
      ConditionInfo *ci = &k->conditions[i];
      if (ci->ambient != ambient) continue;
      const char *name = condition_name(ci);
      long earlier = name_table_add(&first, name, strlen(name), (int)i);
      if (earlier < 0) continue;
      Pos at = k->conditions[earlier].at;
      long winner = name_table_find(&sorted, name, strlen(name));
      if (winner < 0) winner = earlier;
      if (winner == i)
        warning(k, ci->at, "condition-twice",
                "%s condition %s is defined again (first at %d:%d): this one sorts first, so every <lf> names it, "
                "and no load runs under the other",
                ambient ? "ambient" : "operational", quote(name).text, at.line, at.column);
      else
        warning(k, ci->at, "condition-twice",
                "%s condition %s is defined again (first at %d:%d): every <lf> names the one at %d:%d, which sorts "
                "first, and no load runs under this one",
                ambient ? "ambient" : "operational", quote(name).text, at.line, at.column,
                k->conditions[winner].at.line, k->conditions[winner].at.column);
    }
    name_table_free(&first);
    name_table_free(&sorted);
  }
  check_similar_conditions(k);
}

// Conditions under which no load runs, and totals that are not finite: from
// the calculation itself.
void check_results(Checker *k) {
  LoadStudy *z = k->z;
  if (calc_kpm(z) != 0) return;
  // One pass over the pairs marks each condition under which a load runs.
  char *runs = (char *)tool_calloc((size_t)k->condition_count + 1, 1);
  for (const Results *r = z->r; r; r = r->next) {
    if (!(r->total_connected_load > 0)) continue;
    long i = name_table_find_address(&k->condition_index, r->oc);
    if (i >= 0) runs[i] = 1;
    i = name_table_find_address(&k->condition_index, r->ac);
    if (i >= 0) runs[i] = 1;
  }
  for (const OperationalCondition *oc = z->oc; oc; oc = oc->next) {
    long i = name_table_find_address(&k->condition_index, oc);
    if (i >= 0 && !runs[i])
      warning(k, k->conditions[i].at, "idle-condition", "no load runs under the operational condition %s",
              quote(oc->name).text);
  }
  for (const AmbientCondition *ac = z->ac; ac; ac = ac->next) {
    long i = name_table_find_address(&k->condition_index, ac);
    if (i >= 0 && !runs[i])
      warning(k, k->conditions[i].at, "idle-condition", "no load runs under the ambient condition %s",
              quote(ac->name).text);
  }
  free(runs);
  for (const Results *r = z->r; r; r = r->next) {
    if (std::isfinite(r->total_connected_load) && std::isfinite(r->total_lf_load) &&
        std::isfinite(r->total_operating_load))
      continue;
    warning(k, condition_at(k, r->oc), "not-finite",
            "a total of %s/%s is not finite (the values are too large to add up): the report shows inf, and its "
            "ratios are not meaningful",
            quote(r->oc->name).text, quote(r->ac->name).text);
  }
}

int compare_diagnostics(const void *a, const void *b) {
  const CheckDiagnostic *x = (const CheckDiagnostic *)a, *y = (const CheckDiagnostic *)b;
  if (x->line != y->line) return x->line < y->line ? -1 : 1;
  if (x->column != y->column) return x->column < y->column ? -1 : 1;
  return x->seq < y->seq ? -1 : x->seq > y->seq;
}

void clear_result(CheckResult *r) {
  for (long i = 0; i < r->count; i++) free(r->d[i].message);
  r->count = 0;
  r->errors = 0;
  r->warnings = 0;
}

} // namespace

// Every warning and note of the checker: the one list that -W takes, the
// help shows and the completion offers (from the help); tests hold the
// manual page and docs/study-format.md to it. A new check adds its code
// here and passes it to warning() or note(), which take no other.
const char *const CHECK_WARNING_CODES[] = {
    "lf-twice",       "not-a-number",     "thousands-separator", "decimal-comma",     "unit",
    "order-value",    "quoted-order",     "misspelt-order",      "ignored-attribute", "same-name",
    "csv-unsafe",     "idle-condition",   "never-runs",          "empty-value",       "root-text-limit",
    "value-children", "value-attributes", "no-connected-load",   "no-name",           "no-swbs",
    "value-twice",    "condition-twice",  "pasted-twice",        "after-root",        "stray-text",
    "huge-value",     "not-finite",       "similar-conditions"};
const size_t CHECK_NBR_WARNING_CODES = sizeof CHECK_WARNING_CODES / sizeof CHECK_WARNING_CODES[0];

int is_warning_code(const char *code) {
  for (const char *c : CHECK_WARNING_CODES)
    if (strcmp(c, code) == 0) return 1;
  return 0;
}

int check_study(const char *path, CheckResult *r) {
  memset(r, 0, sizeof *r);
  if (tool_check_input(path) != 0) return TOOL_TROUBLE;

  Checker k;
  memset(&k, 0, sizeof k);
  k.base.problem = on_problem;
  k.base.child = on_child;
  k.base.made = on_made;
  k.base.document = on_document;
  k.path = path;
  k.out = r;
  k.root.line = 1;
  k.root.column = 1;
  name_table_init(&k.load_index, 0, 1, nullptr);
  name_table_init(&k.condition_index, 0, 1, nullptr);
  static LoadStudy z; // reachable until the next study, as the program's own is
  memset(&z, 0, sizeof z);
  release_study_memory();
  z.xmlfile = (char *)path;
  init_kpm(&z);
  z.check = &k.base;
  k.z = &z;
  xml_positions_on();
  int status = read_study_file(&z);
  int failed = 0;
  if (status == 2) {
    tool_error("cannot read %s: %s", path, strerror(errno ? errno : EIO));
    failed = TOOL_TROUBLE;
  } else if (status == 3) {
    // The reader stops being believed at its first fault: that alone is reported.
    clear_result(r);
    report_xml_fault(&k);
  } else if (status == 0) {
    long errors = r->errors;
    post_process_xml_file(&z);
    check_condition_names(&k);
    check_loads(&k);
    if (r->errors == errors && errors == 0) check_results(&k);
  }
  free(k.lf_at);
  free(k.loads);
  name_table_free(&k.load_index);
  free(k.conditions);
  free_condition_names(&k.names[0]);
  free_condition_names(&k.names[1]);
  name_table_free(&k.condition_index);
  if (failed) {
    clear_result(r);
    return failed;
  }
  if (r->count > 1) qsort(r->d, (size_t)r->count, sizeof *r->d, compare_diagnostics);
  return 0;
}

void free_check_result(CheckResult *r) {
  clear_result(r);
  free(r->d);
  memset(r, 0, sizeof *r);
}
