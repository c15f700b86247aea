// The workbook view (--xlsx): a Summary sheet with the matrix and the pairs'
// totals, the tidy table over Loads sheets and the SWBS groups. Built into
// kpm-summary alone, where libxlsxwriter is found: nothing else links it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <xlsxwriter.h>

#include "tools/common/tool.h"
#include "tools/summary/summary.h"

// Longest text a cell holds, in characters.
const size_t XLSX_TEXT_CHARACTERS = 32767;
// Rows of a sheet, the header included; a longer table goes on in further sheets.
const int XLSX_SHEET_ROWS = LXW_ROW_MAX;

struct Workbook {
  lxw_workbook *wb;
  lxw_format *bold, *title, *governing, *number, *exact, *percent;
  char *text; // room for one cell's text
  int cut;    // texts cut to fit a cell
};

// A study text as a cell takes it: UTF-8 throughout (a byte that is not part
// of a sequence, and a control character, become U+FFFD), at most 32767
// characters.
static const char *cell_text(Workbook *w, const char *s) {
  if (!s) return "";
  size_t used = 0, chars = 0;
  const unsigned char *p = (const unsigned char *)s;
  while (*p) {
    if (chars == XLSX_TEXT_CHARACTERS) {
      w->cut++;
      break;
    }
    int n = utf8_sequence_length(p);
    unsigned c = n ? utf8_code_point(p, n) : 0;
    if (n == 0 || (c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) {
      memcpy(w->text + used, "\xEF\xBF\xBD", 3);
      used += 3;
      p += n ? n : 1;
    } else {
      memcpy(w->text + used, p, (size_t)n);
      used += (size_t)n;
      p += n;
    }
    chars++;
  }
  w->text[used] = '\0';
  return w->text;
}

static void put_string(Workbook *w, lxw_worksheet *ws, int row, int col, const char *s, lxw_format *f) {
  if (s && *s) worksheet_write_string(ws, (lxw_row_t)row, (lxw_col_t)col, cell_text(w, s), f);
}

static void put_real(lxw_worksheet *ws, int row, int col, double v, lxw_format *f) {
  worksheet_write_number(ws, (lxw_row_t)row, (lxw_col_t)col, v, f);
}

// A row of one of the tables, from its columns: texts as strings, figures
// exact, the governing pair's own figure marked.
static void put_columns(Workbook *w, lxw_worksheet *ws, int row, const SummaryColumn *columns, int nbr_columns,
                        const SummaryCell *cell) {
  for (int c = 0; c < nbr_columns; c++) {
    const SummaryColumn *col = &columns[c];
    if (col->format == COLUMN_TEXT)
      put_string(w, ws, row, c, col->text(cell), nullptr);
    else if (col->format == COLUMN_COUNT)
      put_real(ws, row, c, col->value(cell), nullptr);
    else
      put_real(ws, row, c, col->value(cell),
               col->governing && cell->pair == cell->s->governing ? w->governing : w->exact);
  }
}

// Sheets of a long table: "Loads", then "Loads 2", ...
static lxw_worksheet *table_sheet(Workbook *w, const char *name, int part, const char *const *header, int columns,
                                  const double *widths) {
  char sheet[32];
  if (part == 1)
    snprintf(sheet, sizeof sheet, "%s", name);
  else
    snprintf(sheet, sizeof sheet, "%s %d", name, part);
  lxw_worksheet *ws = workbook_add_worksheet(w->wb, sheet);
  for (int c = 0; c < columns; c++) {
    worksheet_set_column(ws, (lxw_col_t)c, (lxw_col_t)c, widths[c], nullptr);
    worksheet_write_string(ws, 0, (lxw_col_t)c, header[c], w->bold);
  }
  worksheet_freeze_panes(ws, 1, 0);
  return ws;
}

static void end_table(lxw_worksheet *ws, int rows, int columns) {
  if (ws && rows > 1) worksheet_autofilter(ws, 0, 0, (lxw_row_t)(rows - 1), (lxw_col_t)(columns - 1));
}

static void put_summary_sheet(Workbook *w, Summary *s, const SummaryOptions *opt) {
  LoadStudy *z = s->z;
  lxw_worksheet *ws = workbook_add_worksheet(w->wb, "Summary");
  worksheet_set_column(ws, 0, 0, 28, nullptr);
  worksheet_set_column(ws, 1, 12, 16, nullptr);
  put_string(w, ws, 0, 0, z->name ? z->name : "(unnamed study)", w->title);
  worksheet_write_string(ws, 1, 0, "Study file", nullptr);
  put_string(w, ws, 1, 1, z->xmlfile, nullptr);
  worksheet_write_string(ws, 2, 0, "Loads", nullptr);
  put_real(ws, 2, 1, s->nbr_loads, nullptr);
  worksheet_write_string(ws, 3, 0, "Connected load of all loads (kW)", nullptr);
  put_real(ws, 3, 1, s->connected_load, w->number);

  int row = 5;
  worksheet_write_string(ws, (lxw_row_t)row++, 0, "Zonal total operating load (kW)", w->bold);
  int cols = z->nbr_ac;
  if (cols > 0 && (long long)z->nbr_oc * cols == s->nbr_pairs && cols < LXW_COL_MAX) {
    for (int j = 0; j < cols; j++) put_string(w, ws, row, j + 1, s->pairs[j]->ac->name, w->bold);
    row++;
    for (int i = 0; i < z->nbr_oc && row < XLSX_SHEET_ROWS - 64; i++, row++) {
      put_string(w, ws, row, 0, s->pairs[i * cols]->oc->name, w->bold);
      for (int j = 0; j < cols; j++) {
        int p = i * cols + j;
        put_real(ws, row, j + 1, s->pairs[p]->total_operating_load, p == s->governing ? w->governing : w->number);
      }
    }
  }
  row++;
  const Results *g = s->pairs[s->governing];
  worksheet_write_string(ws, (lxw_row_t)row, 0, "Governing pair", w->bold);
  put_string(w, ws, row, 1, g->oc->name, nullptr);
  put_string(w, ws, row, 2, g->ac->name, nullptr);
  put_real(ws, row++, 3, g->total_operating_load, w->governing);
  if (opt->nbr_margins > 0) {
    double *steps = (double *)tool_calloc((size_t)opt->nbr_margins + 1, sizeof *steps);
    summary_margin_steps(g->total_operating_load, opt->margins, opt->nbr_margins, steps);
    worksheet_write_string(ws, (lxw_row_t)row++, 0, "With margins, compounded (kW)", w->bold);
    for (int i = 0; i <= opt->nbr_margins; i++, row++) {
      char label[SHORTEST_REAL_SIZE + 8];
      if (i == 0)
        snprintf(label, sizeof label, "operating load");
      else
        summary_margin_label(label, sizeof label, opt->margins[i - 1]);
      worksheet_write_string(ws, (lxw_row_t)row, 0, label, nullptr);
      put_real(ws, row, 1, steps[i], w->number);
    }
    free(steps);
  }
  row++;
  int first = row;
  for (int c = 0; c < SUMMARY_NBR_PAIR_COLUMNS; c++)
    worksheet_write_string(ws, (lxw_row_t)row, (lxw_col_t)c, SUMMARY_PAIR_COLUMNS[c].tidy, w->bold);
  row++;
  for (int p = 0; p < s->nbr_pairs && row < XLSX_SHEET_ROWS; p++, row++) {
    SummaryCell cell = {s, p, nullptr};
    put_columns(w, ws, row, SUMMARY_PAIR_COLUMNS, SUMMARY_NBR_PAIR_COLUMNS, &cell);
  }
  worksheet_autofilter(ws, (lxw_row_t)first, 0, (lxw_row_t)(row - 1), (lxw_col_t)(SUMMARY_NBR_PAIR_COLUMNS - 1));
}

static int put_rows_sheets(Workbook *w, Summary *s) {
  const int columns = SUMMARY_NBR_ROW_COLUMNS;
  const char **header = (const char **)tool_calloc((size_t)columns, sizeof *header);
  double *widths = (double *)tool_calloc((size_t)columns, sizeof *widths);
  for (int c = 0; c < columns; c++) {
    header[c] = SUMMARY_ROW_COLUMNS[c].tidy;
    widths[c] = SUMMARY_ROW_COLUMNS[c].width;
  }
  lxw_worksheet *ws = nullptr;
  int part = 0, row = XLSX_SHEET_ROWS;
  for (int p = 0; p < s->nbr_pairs; p++) {
    const Results *rs = s->pairs[p];
    for (int i = 0; i < rs->nbr_lf; i++, row++) {
      if (row == XLSX_SHEET_ROWS) {
        end_table(ws, row, columns);
        ws = table_sheet(w, "Loads", ++part, header, columns, widths);
        row = 1;
      }
      SummaryCell cell = {s, p, rs->lfs[i]};
      put_columns(w, ws, row, SUMMARY_ROW_COLUMNS, columns, &cell);
    }
  }
  if (!ws) ws = table_sheet(w, "Loads", ++part, header, columns, widths), row = 1;
  end_table(ws, row, columns);
  free(header);
  free(widths);
  return part;
}

static void put_groups_sheets(Workbook *w, Summary *s) {
  static const char *const header[] = {"operational_condition", "ambient_condition", "swbs_group", "operating_load_kw",
                                       "share"};
  static const double widths[] = {22, 18, 18, 18, 10};
  GroupShare *shares = (GroupShare *)tool_calloc((size_t)s->nbr_groups, sizeof *shares);
  lxw_worksheet *ws = nullptr;
  int part = 0, row = XLSX_SHEET_ROWS;
  for (int p = 0; p < s->nbr_pairs; p++) {
    const Results *rs = s->pairs[p];
    int n = summary_pair_groups(s, p, shares);
    for (int k = 0; k <= n; k++, row++) {
      if (row == XLSX_SHEET_ROWS) {
        end_table(ws, row, 5);
        ws = table_sheet(w, "SWBS", ++part, header, 5, widths);
        row = 1;
      }
      double load;
      put_string(w, ws, row, 0, rs->oc->name, nullptr);
      put_string(w, ws, row, 1, rs->ac->name, nullptr);
      if (k == n) {
        worksheet_write_string(ws, (lxw_row_t)row, 2, "(largest margin)", nullptr);
        load = s->margin[p];
      } else {
        const SummaryGroup *g = &s->groups[shares[k].group];
        if (g->key) {
          // A group key is a few characters of a code; a longer one is cut like any text.
          size_t len = g->length < XLSX_TEXT_CHARACTERS ? g->length : XLSX_TEXT_CHARACTERS;
          char *copy = (char *)tool_calloc(len + 1, 1);
          memcpy(copy, g->key, len);
          put_string(w, ws, row, 2, copy, nullptr);
          free(copy);
        } else {
          worksheet_write_string(ws, (lxw_row_t)row, 2, "(no code)", nullptr);
        }
        load = shares[k].load;
      }
      put_real(ws, row, 3, load, w->exact);
      put_real(ws, row, 4, rs->total_operating_load > 0 ? load / rs->total_operating_load : 0.0, w->percent);
    }
  }
  if (!ws) ws = table_sheet(w, "SWBS", ++part, header, 5, widths), row = 1;
  end_table(ws, row, 5);
  free(shares);
}

int summary_write_workbook(const char *path, const char *target, Summary *s, const SummaryOptions *opt) {
  size_t rows = 0;
  for (int p = 0; p < s->nbr_pairs; p++) rows += (size_t)s->pairs[p]->nbr_lf;
  lxw_workbook_options options = {};
  options.constant_memory = 1; // rows go to the file as they are written
  options.use_zip64 = rows > 1000000;
  Workbook w = {};
  w.wb = workbook_new_opt(path, &options);
  if (!w.wb) {
    tool_error("cannot write %s: the workbook cannot be started", target);
    return TOOL_TROUBLE;
  }
  w.text = (char *)tool_calloc(4 * XLSX_TEXT_CHARACTERS + 4, 1);
  w.bold = workbook_add_format(w.wb);
  format_set_bold(w.bold);
  w.title = workbook_add_format(w.wb);
  format_set_bold(w.title);
  format_set_font_size(w.title, 14);
  // Shown with the decimals asked for; the cell holds the whole double.
  char shown[SUMMARY_MAX_DECIMALS + 4] = "0";
  if (opt->decimals > 0) {
    shown[1] = '.';
    memset(shown + 2, '0', (size_t)opt->decimals);
    shown[2 + opt->decimals] = '\0';
  }
  w.number = workbook_add_format(w.wb);
  format_set_num_format(w.number, shown);
  w.governing = workbook_add_format(w.wb);
  format_set_num_format(w.governing, shown);
  format_set_bold(w.governing);
  format_set_bg_color(w.governing, 0xFFD966);
  w.exact = workbook_add_format(w.wb);
  format_set_num_format(w.exact, "0.000000");
  w.percent = workbook_add_format(w.wb);
  format_set_num_format(w.percent, "0.0%");
  lxw_doc_properties properties = {};
  properties.title = (char *)cell_text(&w, s->z->name ? s->z->name : "(unnamed study)");
  properties.comments = (char *)"Made by kpm-summary " KPM_VERSION;
  workbook_set_properties(w.wb, &properties); // copies the texts

  put_summary_sheet(&w, s, opt);
  int parts = put_rows_sheets(&w, s);
  put_groups_sheets(&w, s);
  lxw_error err = workbook_close(w.wb);
  free(w.text);
  if (err != LXW_NO_ERROR) {
    tool_error("cannot write %s: %s", target, lxw_strerror(err));
    return TOOL_TROUBLE;
  }
  if (parts > 1)
    tool_warning("%s: the tidy table goes on over %d sheets (a sheet holds %d rows)", target, parts, XLSX_SHEET_ROWS);
  if (w.cut)
    tool_warning("%s: %d texts longer than %zu characters are cut in the workbook", target, w.cut,
                 XLSX_TEXT_CHARACTERS);
  return 0;
}

