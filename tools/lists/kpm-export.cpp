// kpm-export: the load list of a study file as a spreadsheet (CSV) in the
// layout that kpm-import reads: one row per load in file order, one column
// per pair of conditions in the order of kpm's report.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/lists/load_list.h"
#include "tools/common/tool.h"

enum { OPT_OUTPUT = 1 };
static const ToolOption OPTIONS[] = {
    {OPT_OUTPUT, 'o', "output", "FILE", 0, "write the list to FILE (default: standard output)"},
};
static const ToolProgram PROGRAM = {"kpm-export", "STUDY.xml",
                                    "Write the load list of a study file as CSV, one row per load.\n", OPTIONS,
                                    sizeof OPTIONS / sizeof OPTIONS[0], "A STUDY.xml of '-' is standard input.\n"};

// Texts in messages: the study's names may be long or hold line breaks.
static const char *shown(char *buf, const char *s) {
  return csv_diag_text(buf, CSV_DIAG_TEXT_SIZE, s ? s : "(null)", strlen(s ? s : "(null)"));
}

// A text cell: quoted; an absent text (a load without a name) is an empty
// cell, which kpm-import reads as absent again, while an empty text is "".
static void put_text_cell(FILE *f, const char *s) {
  if (s) csv_put_text(f, s);
}

// A load's row of load factors: the value of each column, where given[c]
// is the row's stamp.
struct Row {
  double *value;
  size_t *given;
  size_t stamp;
};

static void row_init(Row *r, size_t n) {
  r->value = (double *)tool_calloc(n, sizeof(double));
  r->given = (size_t *)tool_calloc(n, sizeof(size_t));
  r->stamp = 0;
}

static void row_free(Row *r) {
  free(r->value);
  free(r->given);
}

// The column of each pair of conditions (oc->index * nbr_ac + ac->index), or -1.
struct Lookup {
  const int *column;
  size_t nbr_ac;
  size_t nbr_columns;
};

// Fills r with the load factors of ld: of two for one pair, the one that
// kpm counts (later in the file). With warned (per column: the stamp of the
// row last warned of), a repeated pair is told on standard error.
static void fill_row(Row *r, const Lookup *look, const Load *ld, const char *path, size_t *warned) {
  r->stamp++;
  char buf[CSV_DIAG_TEXT_SIZE], buf2[CSV_DIAG_TEXT_SIZE], buf3[CSV_DIAG_TEXT_SIZE];
  // A load's load factors stand in the reverse of file order: the first
  // of a pair is the one later in the file, the one kpm counts.
  for (LoadFactor *lf = ld->lf; lf; lf = lf->next) {
    int c = look->column[(size_t)lf->oc->index * look->nbr_ac + (size_t)lf->ac->index];
    if (c < 0) continue;
    if (r->given[c] != r->stamp) {
      r->given[c] = r->stamp;
      r->value[c] = lf->loadfactor;
    } else if (warned && warned[c] != r->stamp) {
      warned[c] = r->stamp;
      char v[SHORTEST_REAL_SIZE];
      format_shortest_real(v, sizeof v, r->value[c]);
      tool_warning("%s: the load \"%s\" gives a load factor under %s/%s more than once; the one later in the "
                   "file, %s, is written",
                   path, shown(buf, ld->name), shown(buf2, lf->oc->name), shown(buf3, lf->ac->name), v);
    }
  }
}

static int same_real(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

static int same_text(const char *a, const char *b) { return (!a && !b) || (a && b && strcmp(a, b) == 0); }

// How many loads from loads[i] on make one row with a quantity: N when they
// are named "NAME (1 of N)" ... "NAME (N of N)" in this order and are alike
// in every other value (so that kpm-import gives them back exactly); 1
// otherwise. a and b are scratch rows.
static size_t copies_from(Load *const *loads, size_t nbr_ld, size_t i, const Lookup *look, Row *a, Row *b) {
  const Load *first = loads[i];
  size_t name_length;
  long k, n;
  if (!first->name || !list_parse_copy_name(first->name, strlen(first->name), &name_length, &k, &n) || k != 1 ||
      (size_t)n > nbr_ld - i)
    return 1;
  fill_row(a, look, first, nullptr, nullptr);
  for (long m = 2; m <= n; m++) {
    const Load *ld = loads[i + (size_t)m - 1];
    size_t other_length;
    long km, nm;
    if (!ld->name || !list_parse_copy_name(ld->name, strlen(ld->name), &other_length, &km, &nm) || km != m ||
        nm != n || other_length != name_length || memcmp(ld->name, first->name, name_length) != 0)
      return 1;
    if (!same_text(ld->swbs, first->swbs) || !same_real(ld->connected_load, first->connected_load) ||
        !same_real(ld->peak_fraction, first->peak_fraction) || !same_real(ld->power_factor, first->power_factor))
      return 1;
    fill_row(b, look, ld, nullptr, nullptr);
    for (size_t c = 0; c < look->nbr_columns; c++) {
      int given = a->given[c] == a->stamp;
      if (given != (b->given[c] == b->stamp)) return 1;
      if (given && !same_real(a->value[c], b->value[c])) return 1;
    }
  }
  return (size_t)n;
}

// Writes the list of the prepared study z to f. TOOL_DONE, or TOOL_BAD_INPUT
// after an error line (a study that no list can hold).
static int export_list(LoadStudy *z, const char *path, FILE *f) {
  size_t nbr_oc = (size_t)z->nbr_oc, nbr_ac = (size_t)z->nbr_ac;
  size_t nbr_pairs = nbr_oc * nbr_ac;
  int *column = (int *)tool_calloc(nbr_pairs, sizeof(int));
  char buf[CSV_DIAG_TEXT_SIZE];
  NameTable seen;
  name_table_init(&seen, 0, 1, nullptr);
  size_t key_cap = 0;
  char *key = nullptr;
  int nbr_columns = 0;
  int status = TOOL_DONE;
  // kpm links every load factor to the first condition of its name (in
  // sorted order), so a later condition of the same name never has one: its
  // columns would only repeat the earlier ones, empty.
  char *oc_repeated = (char *)tool_calloc(nbr_oc, 1);
  char *ac_repeated = (char *)tool_calloc(nbr_ac, 1);
  for (OperationalCondition *oc = z->oc; oc; oc = oc->next) {
    if (name_table_add(&seen, oc->name, strlen(oc->name), oc->index) < 0) continue;
    oc_repeated[oc->index] = 1;
    tool_warning("%s: two operational conditions are named \"%s\"; the later one has no load factor and gets no "
                 "column",
                 path, shown(buf, oc->name));
  }
  name_table_free(&seen);
  name_table_init(&seen, 0, 1, nullptr);
  for (AmbientCondition *ac = z->ac; ac; ac = ac->next) {
    if (name_table_add(&seen, ac->name, strlen(ac->name), ac->index) < 0) continue;
    ac_repeated[ac->index] = 1;
    tool_warning("%s: two ambient conditions are named \"%s\"; the later one has no load factor and gets no column",
                 path, shown(buf, ac->name));
  }
  for (OperationalCondition *oc = z->oc; oc; oc = oc->next) {
    if (oc_repeated[oc->index] || !strchr(oc->name, '/')) continue;
    tool_error("%s: the operational condition \"%s\" holds \"/\", which parts the two names of a pair in the "
               "list's header",
               path, shown(buf, oc->name));
    status = TOOL_BAD_INPUT;
  }
  // The results list holds every pair, operational condition first, both in
  // sorted order: the pair index oc->index * nbr_ac + ac->index runs along it.
  for (Results *r = z->r; r && status == TOOL_DONE; r = r->next) {
    size_t p = (size_t)r->oc->index * nbr_ac + (size_t)r->ac->index;
    column[p] = -1;
    if (oc_repeated[r->oc->index] || ac_repeated[r->ac->index]) continue;
    size_t ocn = strlen(r->oc->name), acn = strlen(r->ac->name);
    if (ocn + 1 + acn + 1 > key_cap) key = (char *)tool_grow(key, 0, &key_cap, ocn + 1 + acn + 1);
    memcpy(key, r->oc->name, ocn);
    key[ocn] = '/';
    memcpy(key + ocn + 1, r->ac->name, acn + 1);
    // kpm-import must read the header back as this very pair.
    ListHeader h;
    if (list_classify_header(key, ocn + 1 + acn, &h) != LIST_PAIR || h.oc_length != ocn || h.ac_length != acn ||
        h.all_ambient || h.unit) {
      tool_error("%s: the pair \"%s\" cannot head a column of the list", path, shown(buf, key));
      status = TOOL_BAD_INPUT;
      continue;
    }
    column[p] = nbr_columns++;
  }
  free(oc_repeated);
  free(ac_repeated);
  if (status != TOOL_DONE) {
    free(column);
    free(key);
    name_table_free(&seen);
    return status;
  }

  // The model holds the loads in the reverse of file order.
  size_t nbr_ld = 0;
  for (Load *ld = z->ld; ld; ld = ld->next) nbr_ld++;
  Load **loads = (Load **)tool_calloc(nbr_ld, sizeof(Load *));
  size_t i = nbr_ld;
  for (Load *ld = z->ld; ld; ld = ld->next) loads[--i] = ld;

  size_t n = (size_t)nbr_columns;
  Row a, b;
  row_init(&a, n);
  row_init(&b, n);
  size_t *warned = (size_t *)tool_calloc(n, sizeof(size_t));
  Lookup look = {column, nbr_ac, n};
  // Every load's repeated load factors, in file order, told once.
  for (i = 0; i < nbr_ld; i++) fill_row(&a, &look, loads[i], path, warned);
  // Runs of copies: one row with their quantity.
  size_t *run = (size_t *)tool_calloc(nbr_ld, sizeof(size_t));
  int any_run = 0;
  for (i = 0; i < nbr_ld;) {
    size_t length = copies_from(loads, nbr_ld, i, &look, &a, &b);
    run[i] = length;
    any_run |= length > 1;
    i += length;
  }

  for (int k = LIST_NAME; k < LIST_PAIR; k++) {
    if (k == LIST_QUANTITY && !any_run) continue;
    if (k > LIST_NAME) csv_put_separator(f);
    csv_put_text(f, LIST_COLUMN_NAMES[k]);
  }
  for (Results *r = z->r; r; r = r->next) {
    size_t p = (size_t)r->oc->index * nbr_ac + (size_t)r->ac->index;
    if (column[p] < 0) continue;
    csv_put_separator(f);
    size_t ocn = strlen(r->oc->name), acn = strlen(r->ac->name);
    if (ocn + 1 + acn + 1 > key_cap) key = (char *)tool_grow(key, 0, &key_cap, ocn + 1 + acn + 1);
    memcpy(key, r->oc->name, ocn);
    key[ocn] = '/';
    memcpy(key + ocn + 1, r->ac->name, acn + 1);
    csv_put_text(f, key);
  }
  csv_end_row(f);

  for (i = 0; i < nbr_ld; i += run[i]) {
    Load *ld = loads[i];
    fill_row(&a, &look, ld, path, nullptr);
    if (run[i] > 1) {
      size_t name_length = 0;
      long k, copies;
      list_parse_copy_name(ld->name, strlen(ld->name), &name_length, &k, &copies);
      char *name = (char *)tool_calloc(name_length + 1, 1);
      memcpy(name, ld->name, name_length);
      csv_put_text(f, name);
      free(name);
    } else {
      put_text_cell(f, ld->name);
    }
    csv_put_separator(f);
    put_text_cell(f, ld->swbs);
    csv_put_separator(f);
    csv_put_real(f, ld->connected_load);
    csv_put_separator(f);
    csv_put_real(f, ld->peak_fraction);
    csv_put_separator(f);
    csv_put_real(f, ld->power_factor);
    if (any_run) {
      csv_put_separator(f);
      if (run[i] > 1) fprintf(f, "%zu", run[i]);
    }
    for (size_t c = 0; c < n; c++) {
      csv_put_separator(f);
      if (a.given[c] == a.stamp) csv_put_real(f, a.value[c]);
    }
    csv_end_row(f);
  }
  free(loads);
  free(run);
  row_free(&a);
  row_free(&b);
  free(warned);
  free(column);
  free(key);
  name_table_free(&seen);
  return TOOL_DONE;
}

int main(int argc, char **argv) {
  ToolArgs a;
  tool_start(&PROGRAM, &a, argc, argv);
  const char *input = nullptr;
  const char *output = nullptr;
  for (int id; (id = tool_next_arg(&a)) != TOOL_ARGS_END;) {
    switch (id) {
    case TOOL_ARGS_STOP:
      return a.status;
    case TOOL_OPERAND:
      if (input) return tool_usage_error("more than one study given (%s)", a.value);
      input = a.value;
      break;
    case OPT_OUTPUT:
      output = a.value;
      break;
    }
  }
  if (!input) return tool_usage_error("no study given");
  if (tool_check_input(input) != 0) return TOOL_TROUBLE;
  ToolOutput out;
  int status = tool_output_open(&out, output, input);
  if (status != 0) return status;
  LoadStudy z;
  status = tool_load_study(&z, input);
  if (status != TOOL_DONE) {
    tool_output_discard(&out);
    return status;
  }
  status = export_list(&z, input, out.f);
  if (status == TOOL_DONE) {
    status = tool_output_commit(&out);
  } else {
    tool_output_discard(&out);
  }
  // A study or list on standard output was flushed and checked by the commit.
  return status;
}
