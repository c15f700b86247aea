// The text view: the matrix of the pairs' operating loads, the governing
// pair, margins, the pairs' totals, SWBS groups and the largest loads, in
// aligned columns. Study texts pass through summary_terminal_text, so that
// nothing in a name reaches a terminal as a control sequence.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tools/summary/summary.h"
#include "tools/common/tool.h"

// Room for any number "%.*f" writes: 309 digits of the largest double, the
// sign, the point and the decimals.
const size_t NUMBER_SIZE = 336;
// Room for a table cell: a study text cut to SUMMARY_CELL_COLUMNS, or a number.
const size_t CELL_SIZE = 4 * SUMMARY_CELL_COLUMNS + 4 > NUMBER_SIZE ? 4 * SUMMARY_CELL_COLUMNS + 4 : NUMBER_SIZE;
const int MAX_TABLE_COLUMNS = 16;
// Blanks between two columns.
const int GUTTER = 2;

static const char *const BOLD = "\033[1m";
static const char *const MARKED = "\033[1;7m"; // bold, inverse: the governing pair
static const char *const PLAIN = "\033[0m";

static int put_number(char *buf, size_t size, double v, int decimals) {
  int n = snprintf(buf, size, "%.*f", decimals, v);
  return n < 0 ? 0 : (n >= (int)size ? (int)size - 1 : n);
}

static void put_blanks(FILE *f, int n) {
  for (int i = 0; i < n; i++) putc(' ', f);
}

static void heading(FILE *f, const SummaryOptions *opt, const char *text) {
  fprintf(f, "\n%s%s%s\n", opt->colour ? BOLD : "", text, opt->colour ? PLAIN : "");
}

// "Battle / Tropical", made safe for the terminal.
static void pair_name(char *buf, size_t size, const Results *rs) {
  char oc[CELL_SIZE], ac[CELL_SIZE];
  summary_terminal_text(oc, sizeof oc, rs->oc->name, SUMMARY_CELL_COLUMNS);
  summary_terminal_text(ac, sizeof ac, rs->ac->name, SUMMARY_CELL_COLUMNS);
  snprintf(buf, size, "%s / %s", oc, ac);
}

// ---------------------------------------------------------------- terminal texts

// Characters that a terminal acts on or that turn the text around.
static int unsafe_on_terminal(unsigned c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
         c == 0x2028 || c == 0x2029;
}

int summary_terminal_text(char *buf, size_t size, const char *s, int max_columns) {
  size_t used = 0;
  int columns = 0;
  if (s) {
    const unsigned char *p = (const unsigned char *)s;
    // Room for "..." once the text goes past max_columns.
    int keep = max_columns < 3 ? max_columns : max_columns - 3;
    size_t kept_bytes = 0;
    int kept_columns = 0;
    while (*p) {
      if (columns == keep) {
        kept_bytes = used;
        kept_columns = columns;
      }
      if (columns == max_columns) {
        used = kept_bytes;
        columns = kept_columns;
        for (int i = 0; i < 3 && columns < max_columns && used + 1 < size; i++, columns++) buf[used++] = '.';
        break;
      }
      int n = utf8_sequence_length(p);
      if (n == 0 || unsafe_on_terminal(utf8_code_point(p, n))) {
        if (used + 1 >= size) break;
        buf[used++] = '?';
        p += n ? n : 1;
      } else {
        if (used + (size_t)n >= size) break;
        memcpy(buf + used, p, (size_t)n);
        used += (size_t)n;
        p += n;
      }
      columns++;
    }
  }
  if (size) buf[used < size ? used : size - 1] = '\0';
  return columns;
}

// ---------------------------------------------------------------- tables

struct TextColumn {
  const char *title;
  int right;  // numbers: right-aligned
  int marked; // one column after the cell for the governing pair's "*"
  int width;
};

struct TextRow {
  char cell[MAX_TABLE_COLUMNS][CELL_SIZE];
  int columns[MAX_TABLE_COLUMNS];
  int mark; // the row's marked cells are the governing pair's
};

// Fills row number i of a table.
typedef void (*RowFunction)(void *ctx, int i, TextRow *row);

static void set_text(TextRow *row, int c, const char *s) {
  row->columns[c] = summary_terminal_text(row->cell[c], CELL_SIZE, s, SUMMARY_CELL_COLUMNS);
}

static void set_label(TextRow *row, int c, const char *s) {
  snprintf(row->cell[c], CELL_SIZE, "%s", s);
  row->columns[c] = (int)strlen(row->cell[c]);
}

static void set_number(TextRow *row, int c, double v, int decimals) {
  row->columns[c] = put_number(row->cell[c], CELL_SIZE, v, decimals);
}

// The columns of a table that the terminal shows, from cols[first] on, with
// the table's column of each in shown; returns the count of cols.
static int terminal_columns(const SummaryColumn *columns, int nbr_columns, TextColumn *cols, int first,
                            const SummaryColumn **shown) {
  int k = first;
  for (int c = 0; c < nbr_columns && k < MAX_TABLE_COLUMNS - 1; c++) {
    if (!(columns[c].shown & SHOWN_TERMINAL)) continue;
    TextColumn col = {columns[c].words, columns[c].format != COLUMN_TEXT, columns[c].governing, 0};
    cols[k] = col;
    shown[k++] = &columns[c];
  }
  return k;
}

static void set_column(TextRow *row, int k, const SummaryColumn *col, const SummaryCell *c, int decimals) {
  if (col->format == COLUMN_TEXT) {
    const char *t = col->text(c);
    set_text(row, k, t ? t : col->absent);
  } else {
    double v = col->value(c);
    set_number(row, k, col->format == COLUMN_RATIO ? v * 100.0 : v, col->format == COLUMN_COUNT ? 0 : decimals);
  }
}

static void put_cell(FILE *f, const SummaryOptions *opt, const TextColumn *col, const char *text, int columns, int mark,
                     int last) {
  int pad = col->width - columns;
  if (col->right) put_blanks(f, pad);
  int lit = mark && col->marked && opt->colour;
  fprintf(f, "%s%s%s", lit ? MARKED : "", text, lit ? PLAIN : "");
  if (col->marked && mark) {
    putc('*', f);
  } else if (!last) {
    if (col->marked) putc(' ', f);
  }
  if (!last) {
    if (!col->right) put_blanks(f, pad);
    put_blanks(f, GUTTER);
  }
}

// Two passes over the rows: one to measure the columns, one to print them.
static void put_table(FILE *f, const SummaryOptions *opt, TextColumn *cols, int ncols, int nrows, RowFunction fill,
                      void *ctx) {
  TextRow *row = (TextRow *)tool_calloc(1, sizeof *row);
  for (int c = 0; c < ncols; c++) cols[c].width = (int)strlen(cols[c].title);
  for (int i = 0; i < nrows; i++) {
    fill(ctx, i, row);
    for (int c = 0; c < ncols; c++)
      if (row->columns[c] > cols[c].width) cols[c].width = row->columns[c];
  }
  for (int c = 0; c < ncols; c++) {
    int last = c == ncols - 1;
    int pad = cols[c].width - (int)strlen(cols[c].title);
    if (cols[c].right) put_blanks(f, pad);
    fputs(cols[c].title, f);
    if (!last) {
      if (cols[c].marked) putc(' ', f);
      if (!cols[c].right) put_blanks(f, pad);
      put_blanks(f, GUTTER);
    }
  }
  putc('\n', f);
  for (int i = 0; i < nrows; i++) {
    memset(row->columns, 0, sizeof row->columns);
    row->mark = 0;
    fill(ctx, i, row);
    for (int c = 0; c < ncols; c++)
      put_cell(f, opt, &cols[c], row->cell[c], row->columns[c], row->mark, c == ncols - 1);
    putc('\n', f);
  }
  free(row);
}

// ---------------------------------------------------------------- the matrix

// Operational conditions as rows, ambient ones as columns, in their sorted
// order: the pairs list holds them in that order, row after row.
static void put_matrix(FILE *f, Summary *s, const SummaryOptions *opt) {
  LoadStudy *z = s->z;
  int rows = z->nbr_oc, cols = z->nbr_ac;
  if (rows <= 0 || cols <= 0 || (long long)rows * cols != s->nbr_pairs) return;
  heading(f, opt, "Zonal total operating load (kW)");
  int *width = (int *)tool_calloc((size_t)cols + 1, sizeof *width);
  char text[CELL_SIZE];
  for (int i = 0; i < rows; i++) {
    int w = summary_terminal_text(text, sizeof text, s->pairs[i * cols]->oc->name, SUMMARY_CELL_COLUMNS);
    if (w > width[0]) width[0] = w;
  }
  for (int j = 0; j < cols; j++) {
    width[j + 1] = summary_terminal_text(text, sizeof text, s->pairs[j]->ac->name, SUMMARY_CELL_COLUMNS);
    for (int i = 0; i < rows; i++) {
      int w = put_number(text, sizeof text, s->pairs[i * cols + j]->total_operating_load, opt->decimals);
      if (w > width[j + 1]) width[j + 1] = w;
    }
  }
  // Each number column has one more for the marker.
  put_blanks(f, width[0]);
  for (int j = 0; j < cols; j++) {
    int w = summary_terminal_text(text, sizeof text, s->pairs[j]->ac->name, SUMMARY_CELL_COLUMNS);
    put_blanks(f, GUTTER + width[j + 1] - w);
    fputs(text, f);
    if (j < cols - 1) putc(' ', f);
  }
  putc('\n', f);
  for (int i = 0; i < rows; i++) {
    int w = summary_terminal_text(text, sizeof text, s->pairs[i * cols]->oc->name, SUMMARY_CELL_COLUMNS);
    fputs(text, f);
    put_blanks(f, width[0] - w);
    for (int j = 0; j < cols; j++) {
      int p = i * cols + j;
      w = put_number(text, sizeof text, s->pairs[p]->total_operating_load, opt->decimals);
      put_blanks(f, GUTTER + width[j + 1] - w);
      if (p == s->governing) {
        fprintf(f, "%s%s%s*", opt->colour ? MARKED : "", text, opt->colour ? PLAIN : "");
      } else {
        fputs(text, f);
        if (j < cols - 1) putc(' ', f);
      }
    }
    putc('\n', f);
  }
  free(width);
}

static void put_governing(FILE *f, Summary *s, const SummaryOptions *opt) {
  char name[3 * CELL_SIZE], number[NUMBER_SIZE];
  const Results *g = s->pairs[s->governing];
  pair_name(name, sizeof name, g);
  put_number(number, sizeof number, g->total_operating_load, opt->decimals);
  fprintf(f, "* Governing: %s, %s kW", name, number);
  if (s->runner_up >= 0) {
    const Results *r = s->pairs[s->runner_up];
    double by = g->total_operating_load - r->total_operating_load;
    put_number(number, sizeof number, by, opt->decimals);
    fprintf(f, ", %s kW", number);
    if (r->total_operating_load > 0) {
      put_number(number, sizeof number, by / r->total_operating_load * 100.0, opt->decimals);
      fprintf(f, " (%s %%)", number);
    }
    pair_name(name, sizeof name, r);
    fprintf(f, " above the next pair, %s", name);
  }
  fputc('\n', f);
  put_number(number, sizeof number, s->connected_load, opt->decimals);
  fprintf(f, "Connected load of the study's %d load%s: %s kW\n", s->nbr_loads, s->nbr_loads == 1 ? "" : "s", number);
}

static void put_margins(FILE *f, Summary *s, const SummaryOptions *opt) {
  if (opt->nbr_margins <= 0) return;
  heading(f, opt, "Governing operating load with margins, compounded (kW)");
  double *steps = (double *)tool_calloc((size_t)opt->nbr_margins + 1, sizeof *steps);
  summary_margin_steps(s->pairs[s->governing]->total_operating_load, opt->margins, opt->nbr_margins, steps);
  const char *first = "operating load";
  char label[SHORTEST_REAL_SIZE + 8], number[NUMBER_SIZE];
  // Measured first, to line the numbers up.
  int label_width = (int)strlen(first), number_width = 0;
  for (int i = 0; i <= opt->nbr_margins; i++) {
    int n = i ? summary_margin_label(label, sizeof label, opt->margins[i - 1]) : label_width;
    if (n > label_width) label_width = n;
    n = put_number(number, sizeof number, steps[i], opt->decimals);
    if (n > number_width) number_width = n;
  }
  for (int i = 0; i <= opt->nbr_margins; i++) {
    int l =
        i ? summary_margin_label(label, sizeof label, opt->margins[i - 1]) : snprintf(label, sizeof label, "%s", first);
    int n = put_number(number, sizeof number, steps[i], opt->decimals);
    fprintf(f, "  %s", label);
    put_blanks(f, label_width - l + GUTTER + number_width - n);
    fprintf(f, "%s\n", number);
  }
  free(steps);
}

// ---------------------------------------------------------------- pairs

struct TableContext {
  Summary *s;
  const SummaryOptions *opt;
  GroupShare *shares; // the SWBS table: every pair's groups, then its margin
  int *row_pair;      // the SWBS table: pair and share of each row (-1: the margin)
  int *row_share;
  const Results *rs; // the top loads' pair
  const int *top;
  const SummaryColumn *shown[MAX_TABLE_COLUMNS]; // the table's column of each column shown
  int nbr_shown;
};

static double percent_of(double part, double whole) { return whole > 0 ? part / whole * 100.0 : 0.0; }

static void fill_pair(void *ctx, int i, TextRow *row) {
  TableContext *t = (TableContext *)ctx;
  SummaryCell c = {t->s, i, nullptr};
  for (int k = 0; k < t->nbr_shown; k++) set_column(row, k, t->shown[k], &c, t->opt->decimals);
  row->mark = i == t->s->governing;
}

static void put_pairs(FILE *f, Summary *s, const SummaryOptions *opt) {
  heading(f, opt, "Pairs of conditions");
  TextColumn cols[MAX_TABLE_COLUMNS];
  TableContext t = {};
  t.s = s;
  t.opt = opt;
  t.nbr_shown = terminal_columns(SUMMARY_PAIR_COLUMNS, SUMMARY_NBR_PAIR_COLUMNS, cols, 0, t.shown);
  put_table(f, opt, cols, t.nbr_shown, s->nbr_pairs, fill_pair, &t);
}

// ---------------------------------------------------------------- SWBS groups

static void fill_group(void *ctx, int i, TextRow *row) {
  TableContext *t = (TableContext *)ctx;
  int p = t->row_pair[i], k = t->row_share[i];
  const Results *rs = t->s->pairs[p];
  int first = i == 0 || t->row_pair[i - 1] != p;
  set_text(row, 0, first ? rs->oc->name : "");
  set_text(row, 1, first ? rs->ac->name : "");
  double load;
  if (k < 0) {
    set_label(row, 2, "(largest margin)");
    load = t->s->margin[p];
  } else {
    const SummaryGroup *g = &t->s->groups[t->shares[k].group];
    if (g->key) {
      char key[CELL_SIZE];
      size_t n = g->length < sizeof key - 1 ? g->length : sizeof key - 1;
      memcpy(key, g->key, n);
      key[n] = '\0';
      set_text(row, 2, key);
    } else {
      set_label(row, 2, "(no code)");
    }
    load = t->shares[k].load;
  }
  set_number(row, 3, load, t->opt->decimals);
  set_number(row, 4, percent_of(load, rs->total_operating_load), t->opt->decimals);
}

static void put_groups(FILE *f, Summary *s, const SummaryOptions *opt) {
  char title[128];
  snprintf(title, sizeof title, "Operating load by SWBS group (first %d character%s of the code)", s->swbs_digits,
           s->swbs_digits == 1 ? "" : "s");
  heading(f, opt, title);
  // Every pair's groups at once: as many as the pairs have load factors, at most.
  size_t room = 0;
  for (int p = 0; p < s->nbr_pairs; p++) room += (size_t)s->pairs[p]->nbr_lf + 1;
  GroupShare *shares = (GroupShare *)tool_calloc(room, sizeof *shares);
  int *row_pair = (int *)tool_calloc(room, sizeof *row_pair);
  int *row_share = (int *)tool_calloc(room, sizeof *row_share);
  int rows = 0, used = 0;
  for (int p = 0; p < s->nbr_pairs; p++) {
    int n = summary_pair_groups(s, p, shares + used);
    for (int k = 0; k < n; k++) {
      row_pair[rows] = p;
      row_share[rows++] = used + k;
    }
    used += n;
    row_pair[rows] = p;
    row_share[rows++] = -1;
  }
  TextColumn cols[] = {{"Operational", 0, 0, 0},
                       {"Ambient", 0, 0, 0},
                       {"Group", 0, 0, 0},
                       {"Operating kW", 1, 0, 0},
                       {"Share %", 1, 0, 0}};
  TableContext t = {};
  t.s = s;
  t.opt = opt;
  t.shares = shares;
  t.row_pair = row_pair;
  t.row_share = row_share;
  put_table(f, opt, cols, 5, rows, fill_group, &t);
  free(shares);
  free(row_pair);
  free(row_share);
}

// ---------------------------------------------------------------- top loads

static void fill_top(void *ctx, int i, TextRow *row) {
  TableContext *t = (TableContext *)ctx;
  const LoadFactor *lf = t->rs->lfs[t->top[i]];
  SummaryCell c = {t->s, t->s->governing, lf};
  char rank[16];
  snprintf(rank, sizeof rank, "%d", i + 1);
  set_label(row, 0, rank);
  for (int k = 1; k < t->nbr_shown; k++) set_column(row, k, t->shown[k], &c, t->opt->decimals);
  set_number(row, t->nbr_shown, percent_of(lf->kpm_load, t->rs->total_operating_load), t->opt->decimals);
}

static void put_top(FILE *f, Summary *s, const SummaryOptions *opt) {
  if (opt->top <= 0) return;
  const Results *rs = s->pairs[s->governing];
  int room = opt->top < rs->nbr_lf ? opt->top : rs->nbr_lf;
  int *top = (int *)tool_calloc((size_t)room, sizeof *top);
  int n = summary_top_loads(rs, room, top);
  char name[3 * CELL_SIZE], title[3 * CELL_SIZE + 64];
  pair_name(name, sizeof name, rs);
  snprintf(title, sizeof title, "Largest operating loads under %s", name);
  heading(f, opt, title);
  if (n == 0) {
    fputs("No load runs under this pair.\n", f);
  } else {
    // The rank, the loads' columns, the share.
    TextColumn cols[MAX_TABLE_COLUMNS] = {{"#", 1, 0, 0}};
    TableContext t = {};
    t.s = s;
    t.opt = opt;
    t.rs = rs;
    t.top = top;
    t.nbr_shown = terminal_columns(SUMMARY_ROW_COLUMNS, SUMMARY_NBR_ROW_COLUMNS, cols, 1, t.shown);
    TextColumn share = {"Share %", 1, 0, 0};
    cols[t.nbr_shown] = share;
    put_table(f, opt, cols, t.nbr_shown + 1, n, fill_top, &t);
  }
  free(top);
}

// ---------------------------------------------------------------- the view

void summary_write_text(FILE *f, Summary *s, const SummaryOptions *opt) {
  LoadStudy *z = s->z;
  char title[4 * SUMMARY_TITLE_COLUMNS + 4];
  summary_terminal_text(title, sizeof title, z->name ? z->name : "(unnamed study)", SUMMARY_TITLE_COLUMNS);
  fprintf(f, "%s%s%s\n", opt->colour ? BOLD : "", title, opt->colour ? PLAIN : "");
  summary_terminal_text(title, sizeof title, z->xmlfile, SUMMARY_TITLE_COLUMNS);
  fprintf(f, "%s: %d load%s, %d operational x %d ambient conditions\n", title, s->nbr_loads,
          s->nbr_loads == 1 ? "" : "s", z->nbr_oc, z->nbr_ac);
  put_matrix(f, s, opt);
  put_governing(f, s, opt);
  put_margins(f, s, opt);
  put_pairs(f, s, opt);
  if (opt->by_swbs) put_groups(f, s, opt);
  put_top(f, s, opt);
}
