// kpm-summary's views of a calculated study: the governing pair of conditions,
// sizing margins, SWBS groups and the largest loads, and the text, CSV and
// HTML that show them. Everything reads the model that calc_kpm filled and
// changes nothing in it; nothing here writes kpm's report.
#ifndef KPM_TOOLS_SUMMARY_SUMMARY_H
#define KPM_TOOLS_SUMMARY_SUMMARY_H

#include <cstddef>
#include <cstdio>

#include "study/study.h"
#include "xml/common.h"

// Loads listed under the governing pair unless --top says otherwise.
const int SUMMARY_DEFAULT_TOP = 10;
// Decimals of the numbers people read (text and page); the CSV is exact.
const int SUMMARY_DEFAULT_DECIMALS = 1;
// More decimals than a double holds after the point for loads of a few kW.
const int SUMMARY_MAX_DECIMALS = 12;
// Characters of the SWBS code that make a group unless --by-swbs=DIGITS.
const int SUMMARY_DEFAULT_SWBS_DIGITS = 1;
// Longest cell of a text table, in columns: longer names are cut with "...".
const int SUMMARY_CELL_COLUMNS = 40;
// Longest title line of the text view (the study's name and path).
const int SUMMARY_TITLE_COLUMNS = 200;

// What the command line chose for the views.
struct SummaryOptions {
  int decimals;          // digits after the point in the text view and the page
  int top;               // loads listed under the governing pair (0: none)
  int by_swbs;           // 1: the text view lists the SWBS groups of every pair
  int swbs_digits;       // characters of the code that make a group
  const double *margins; // percentages applied in turn to the governing load
  int nbr_margins;
  int colour; // 1: the text view may use terminal attributes (bold, inverse)
};
void summary_default_options(SummaryOptions *opt);

// Loads whose SWBS codes begin with the same characters.
struct SummaryGroup {
  const char *key; // the code's first characters (not NUL-terminated); null for loads without a code
  size_t length;   // bytes of key
  double total;    // kW of operating load over all pairs, to rank the groups
};

// A group's operating load under one pair.
struct GroupShare {
  int group;   // index in Summary::groups
  double load; // kW, the operating loads of the group's loads, in report order
};

struct Summary {
  LoadStudy *z;
  Results **pairs; // the pairs in report order
  int nbr_pairs;
  double *margin;        // per pair: the largest single margin, which kpm adds to the total (kW)
  int *running;          // per pair: loads that run under it
  int governing;         // the pair with the largest total operating load; ties to the first
  int runner_up;         // the largest of the other pairs; -1 when there is one pair
  double connected_load; // kW, every load of the study, running or not
  int nbr_loads;
  // SWBS groups, after summary_group_loads
  int swbs_digits;
  SummaryGroup *groups; // sorted by key, byte by byte; loads without a code last
  int nbr_groups;
  NameTable load_group; // a Load record -> its group
  double *group_sum;  // scratch of summary_pair_groups, one per group
  int *group_mark;    // scratch: 1 while summary_pair_groups adds up the group
  int *group_touched; // scratch: the groups a pair has
};

// 1 when the load runs under its pair: kpm's own test, lf_load above the threshold.
int summary_is_running(const LoadFactor *lf);
// The largest single margin of a pair, as kpm's calculation finds it: over the
// running loads, (peak_fraction - kpm) * connected_load, the first largest.
// The pair's total operating load is its operating loads, summed in lfs
// order, plus this.
double summary_largest_margin(const Results *rs);

// Builds the summary of a calculated study z (calc_kpm done).
void summary_build(Summary *s, LoadStudy *z);
void summary_release(Summary *s);

// Sorts the loads into SWBS groups by the first digits characters of their
// codes (a character is one UTF-8 sequence; a byte that is not part of one
// counts alone). A load without a code, or with an empty one, is in a group of
// its own. Also adds up each group's total over all pairs.
void summary_group_loads(Summary *s, int digits);
// The group of a load (summary_group_loads done).
int summary_group_of(const Summary *s, const Load *ld);
// The groups that have a load factor under pair number p, in group order,
// with their operating loads, into out (room for nbr_groups). Returns how many.
int summary_pair_groups(Summary *s, int p, GroupShare *out);

// The positions in rs->lfs of the n running loads with the largest operating
// load, largest first, ties in report order, into out (room for n). Returns
// how many (fewer when fewer loads run). A bounded heap: n log N, no full sort.
int summary_top_loads(const Results *rs, int n, int *out);

// The governing load with each margin applied in turn: steps[0] is the load,
// steps[i] = steps[i - 1] * (1 + margins[i - 1] / 100). steps holds nbr + 1.
void summary_margin_steps(double load, const double *margins, int nbr, double *steps);

// A margin as its label reads: "+10 %", "-2.5 %". Returns the length.
int summary_margin_label(char *buf, size_t size, double percent);

// ---------------------------------------------------------------- the tables' columns

// The row that a column's value is taken from: a row of the tidy table is a
// pair and one of its load factors, a row of the totals table a pair.
struct SummaryCell {
  const Summary *s;
  int pair;             // index in s->pairs
  const LoadFactor *lf; // the tidy table's load factor; null in the totals table
};

// How a column's values are written.
enum {
  COLUMN_TEXT,  // a text of the study: quoted in CSV, a string cell
  COLUMN_KW,    // kW: exact in CSV and the workbook; people read the decimals asked for
  COLUMN_RATIO, // a fraction: exact in CSV and the workbook; people read a percentage
  COLUMN_COUNT  // a whole number
};

// The views for people that show a column.
enum { SHOWN_TERMINAL = 1, SHOWN_PAGE = 2 };

// A column of the tidy table or of the totals table. Its one entry puts it in
// the CSV table (--csv, --totals-csv), in the workbook's sheet (Loads, or the
// Summary sheet's totals) and, where it has words, in the tables that the
// terminal and the page show people (the pairs; the largest loads).
struct SummaryColumn {
  const char *tidy;   // heading in the CSV table and the workbook, lower case, its unit as a suffix
  const char *words;  // heading for people, with its unit ("Connected kW"); null when people never see it
  int format;         // COLUMN_...
  int shown;          // SHOWN_... for people (0: none)
  int governing;      // 1: the governing pair's figure is marked in this column
  double width;       // characters of its workbook column (0: the sheet's own)
  const char *absent; // what people read for an absent text (null: nothing)
  const char *(*text)(const SummaryCell *c); // COLUMN_TEXT: the text, or null when absent
  double (*value)(const SummaryCell *c);      // every other format
};
// The tidy table: one row per pair and load factor of its lfs (idle loads
// included), in report order.
extern const SummaryColumn SUMMARY_ROW_COLUMNS[];
extern const int SUMMARY_NBR_ROW_COLUMNS;
// The totals table: one row per pair.
extern const SummaryColumn SUMMARY_PAIR_COLUMNS[];
extern const int SUMMARY_NBR_PAIR_COLUMNS;

// The tidy table as CSV: a header row, then its rows. RFC 4180, exact numbers.
void summary_write_rows_csv(FILE *f, const Summary *s);
// The totals table as CSV.
void summary_write_totals_csv(FILE *f, const Summary *s);

// The text view (what kpm-summary prints without options).
void summary_write_text(FILE *f, Summary *s, const SummaryOptions *opt);
// The self-contained HTML page.
void summary_write_html(FILE *f, Summary *s, const SummaryOptions *opt);
// The workbook, written by libxlsxwriter to path (which it opens itself);
// target names it in messages. 0, or an error line and TOOL_TROUBLE. Only in
// kpm-summary built with libxlsxwriter (tools/summary/workbook.cpp).
int summary_write_workbook(const char *path, const char *target, Summary *s, const SummaryOptions *opt);

// A text of the study made safe for a terminal, into buf (size at least
// 4 * max_columns + 4): control characters, bidirectional overrides and bytes
// that are not UTF-8 become "?"; cut with "..." after max_columns characters.
// Null gives "". Returns the columns it takes (one per character).
int summary_terminal_text(char *buf, size_t size, const char *s, int max_columns);

#endif
