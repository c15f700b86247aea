// The CSV views: the tidy table (--csv) and the totals table (--totals-csv),
// from the tables' columns.
#include <cstdio>

#include "tools/common/tool.h"
#include "tools/summary/summary.h"

static void put_table(FILE *f, const SummaryColumn *columns, int nbr_columns, const SummaryCell *c) {
  for (int k = 0; k < nbr_columns; k++) {
    const SummaryColumn *col = &columns[k];
    if (k) csv_put_separator(f);
    if (col->format == COLUMN_TEXT)
      csv_put_text(f, col->text(c));
    else if (col->format == COLUMN_COUNT)
      fprintf(f, "%.0f", col->value(c));
    else
      csv_put_real(f, col->value(c));
  }
  csv_end_row(f);
}

static void put_header(FILE *f, const SummaryColumn *columns, int nbr_columns) {
  for (int k = 0; k < nbr_columns; k++) {
    if (k) csv_put_separator(f);
    fputs(columns[k].tidy, f);
  }
  csv_end_row(f);
}

void summary_write_rows_csv(FILE *f, const Summary *s) {
  put_header(f, SUMMARY_ROW_COLUMNS, SUMMARY_NBR_ROW_COLUMNS);
  for (int p = 0; p < s->nbr_pairs; p++) {
    for (int i = 0; i < s->pairs[p]->nbr_lf; i++) {
      SummaryCell c = {s, p, s->pairs[p]->lfs[i]};
      put_table(f, SUMMARY_ROW_COLUMNS, SUMMARY_NBR_ROW_COLUMNS, &c);
    }
  }
}

void summary_write_totals_csv(FILE *f, const Summary *s) {
  put_header(f, SUMMARY_PAIR_COLUMNS, SUMMARY_NBR_PAIR_COLUMNS);
  for (int p = 0; p < s->nbr_pairs; p++) {
    SummaryCell c = {s, p, nullptr};
    put_table(f, SUMMARY_PAIR_COLUMNS, SUMMARY_NBR_PAIR_COLUMNS, &c);
  }
}
