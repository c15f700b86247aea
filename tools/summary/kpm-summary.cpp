// kpm-summary: the results of a study for people and for their tools. It
// reads, prepares and calculates the study as kpm does, then prints the
// matrix of the pairs' operating loads with the governing pair, the pairs'
// totals and the largest loads, and writes on request a tidy CSV table, the
// pairs' totals as CSV, a workbook and a page with charts.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "calc/calc.h"
#include "tools/summary/summary.h"
#include "tools/common/tool.h"

#ifdef KPM_HAVE_XLSXWRITER
#include <xlsxwriter.h>
#endif

enum {
  OPT_TOP = 1,
  OPT_DECIMALS,
  OPT_MARGIN,
  OPT_BY_SWBS,
  OPT_CSV, // the outputs, in the order of OUT_...
  OPT_TOTALS_CSV,
  OPT_XLSX,
  OPT_HTML,
  OPT_QUIET
};
static const ToolOption OPTIONS[] = {
    {OPT_TOP, 0, "top", "N", 0, "the N largest loads under the governing pair (10)"},
    {OPT_DECIMALS, 0, "decimals", "N", 0, "digits after the point in summary and page (1)"},
    {OPT_MARGIN, 0, "margin", "PERCENT", 0, "a margin on the governing load; repeat to compound"},
    {OPT_BY_SWBS, 0, "by-swbs", "N", 1, "each pair's load by SWBS group: first N characters (1)"},
    {OPT_CSV, 0, "csv", "FILE", 0, "write the tidy table, one row per pair and load"},
    {OPT_TOTALS_CSV, 0, "totals-csv", "FILE", 0, "write one row per pair with its totals"},
    {OPT_XLSX, 0, "xlsx", "FILE", 0, "write a workbook: matrix, totals, tidy table, groups"},
    {OPT_HTML, 0, "html", "FILE", 0, "write a self-contained page: heat map, charts, tables"},
    {OPT_QUIET, 'q', "quiet", nullptr, 0, "print no summary on standard output"},
};
static const ToolProgram PROGRAM = {
    "kpm-summary", "STUDY",
    "Summarise the results of a study: the pairs' operating loads, the governing\n"
    "pair and the largest loads; write them as CSV, a workbook or a page on request.\n",
    OPTIONS, sizeof OPTIONS / sizeof OPTIONS[0],
    "A STUDY of '-' is standard input; a FILE of '-' is standard output.\n"};

// The outputs, in the order they are written.
enum { OUT_CSV, OUT_TOTALS, OUT_XLSX, OUT_HTML, OUT_COUNT };

// An output's option as messages name it ("--csv").
static const char *output_option(int k) {
  static char name[32];
  for (const ToolOption &o : OPTIONS)
    if (o.id == OPT_CSV + k) snprintf(name, sizeof name, "--%s", o.long_name);
  return name;
}

struct SummaryRun {
  const char *study;
  const char *path[OUT_COUNT]; // null: not asked for
  ToolOutput out[OUT_COUNT];
  int opened[OUT_COUNT];
  const char *workbook_temp; // --xlsx -: the workbook is made here, then copied out
  int workbook_slot;         // the temporary file's slot (temp_file_make)
  int quiet;
  SummaryOptions opt;
  double *margins;
};

// A whole number from lo to hi, written in full.
static int parse_count(const char *text, long lo, long hi, int *value) {
  if (!text || !*text) return -1;
  char *end;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (*end || errno || v < lo || v > hi) return -1;
  *value = (int)v;
  return 0;
}

static int parse_margin(const char *text, double *value) {
  if (!text || !*text) return -1;
  char *end;
  errno = 0;
  double v = strtod(text, &end);
  // A margin of -100 % or less leaves nothing to size for.
  if (*end || errno || !std::isfinite(v) || v <= -100.0) return -1;
  *value = v;
  return 0;
}

// The exit status when the command line ends the run; -1 to go on.
static int parse_command_line(SummaryRun *run, ToolArgs *a) {
  summary_default_options(&run->opt);
  run->margins = (double *)tool_calloc((size_t)a->argc, sizeof *run->margins);
  run->opt.margins = run->margins;
  for (int id; (id = tool_next_arg(a)) != TOOL_ARGS_END;) {
    const char *v = a->value;
    switch (id) {
    case TOOL_ARGS_STOP:
      return a->status;
    case TOOL_OPERAND:
      if (run->study) return tool_usage_error("more than one study file: %s and %s", run->study, v);
      run->study = v;
      break;
    case OPT_QUIET:
      run->quiet = 1;
      break;
    case OPT_TOP:
      if (parse_count(v, 0, INT_MAX, &run->opt.top) != 0)
        return tool_usage_error("--top takes a whole number from 0, not '%s'", v);
      break;
    case OPT_DECIMALS:
      if (parse_count(v, 0, SUMMARY_MAX_DECIMALS, &run->opt.decimals) != 0)
        return tool_usage_error("--decimals takes a whole number from 0 to %d, not '%s'", SUMMARY_MAX_DECIMALS, v);
      break;
    case OPT_MARGIN:
      if (parse_margin(v, &run->margins[run->opt.nbr_margins]) != 0)
        return tool_usage_error("--margin takes a percentage above -100, such as 10, not '%s'", v);
      run->opt.nbr_margins++;
      break;
    case OPT_BY_SWBS:
      // The digits are optional, so they can only follow an "=".
      run->opt.by_swbs = 1;
      if (v && parse_count(v, 1, INT_MAX, &run->opt.swbs_digits) != 0)
        return tool_usage_error("--by-swbs takes a whole number of characters from 1, not '%s'", v);
      break;
    default: // an output
      if (!*v) return tool_usage_error("%s needs a file name ('-': standard output)", output_option(id - OPT_CSV));
      run->path[id - OPT_CSV] = v;
      break;
    }
  }
  if (!run->study) return tool_usage_error("no study file named");
#ifndef KPM_HAVE_XLSXWRITER
  if (run->path[OUT_XLSX]) {
    tool_error("--xlsx is not available: kpm-summary was built without libxlsxwriter");
    return TOOL_TROUBLE;
  }
#endif
  // A workbook is binary: on a terminal it would only garble the screen.
  if (run->path[OUT_XLSX] && tool_output_is_stdout(run->path[OUT_XLSX]) && isatty(STDOUT_FILENO))
    return tool_usage_error("--xlsx - would write a binary workbook to the terminal; redirect it or name a file");
  // Two outputs into one file or stream would leave only one of them, or a mix.
  for (int x = 0; x < OUT_COUNT; x++) {
    for (int y = x + 1; y < OUT_COUNT; y++) {
      if (!run->path[x] || !run->path[y]) continue;
      char first[32];
      snprintf(first, sizeof first, "%s", output_option(x));
      if (tool_output_is_stdout(run->path[x]) && tool_output_is_stdout(run->path[y]))
        return tool_usage_error("%s and %s both name standard output", first, output_option(y));
      if (tool_same_output(run->path[x], run->path[y]))
        return tool_usage_error("%s and %s both name %s", first, output_option(y), run->path[y]);
    }
  }
  if (tool_check_input(run->study) != 0) return TOOL_TROUBLE;
  return -1;
}

static void discard_outputs(SummaryRun *run) {
  for (int k = 0; k < OUT_COUNT; k++) {
    if (run->opened[k]) tool_output_discard(&run->out[k]);
    run->opened[k] = 0;
  }
  if (run->workbook_temp) {
    temp_file_remove(run->workbook_slot);
    run->workbook_temp = nullptr;
  }
}

static int open_outputs(SummaryRun *run) {
  for (int k = 0; k < OUT_COUNT; k++) {
    if (!run->path[k]) continue;
    if (tool_output_open(&run->out[k], run->path[k], run->study) != 0) {
      discard_outputs(run);
      return TOOL_TROUBLE;
    }
    run->opened[k] = 1;
  }
  return 0;
}

// Flushes every file before any is renamed into place, so that a full disk
// found on one leaves all the targets as they were.
static int flush_outputs(SummaryRun *run) {
  for (int k = 0; k < OUT_COUNT; k++) {
    if (!run->opened[k] || run->out[k].is_stdout) continue;
    errno = 0;
    if (fflush(run->out[k].f) != 0 || ferror(run->out[k].f)) {
      tool_error("cannot write %s: %s", run->path[k], strerror(errno ? errno : EIO));
      return TOOL_TROUBLE;
    }
  }
  return 0;
}

static int commit_outputs(SummaryRun *run) {
  int status = 0;
  for (int k = 0; k < OUT_COUNT; k++) {
    if (!run->opened[k]) continue;
    run->opened[k] = 0;
    if (tool_output_commit(&run->out[k]) != 0) status = TOOL_TROUBLE;
  }
  return status;
}

// ---------------------------------------------------------------- the workbook

#ifdef KPM_HAVE_XLSXWRITER

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
  static const char *const header[] = {"operational_condition",
                                       "ambient_condition",
                                       "total_connected_load_kw",
                                       "total_load_factor_load_kw",
                                       "total_operating_load_kw",
                                       "total_lf",
                                       "total_kpm",
                                       "largest_margin_kw",
                                       "loads",
                                       "running_loads",
                                       "governing"};
  int first = row;
  for (int c = 0; c < 11; c++) worksheet_write_string(ws, (lxw_row_t)row, (lxw_col_t)c, header[c], w->bold);
  row++;
  for (int p = 0; p < s->nbr_pairs && row < XLSX_SHEET_ROWS; p++, row++) {
    const Results *rs = s->pairs[p];
    put_string(w, ws, row, 0, rs->oc->name, nullptr);
    put_string(w, ws, row, 1, rs->ac->name, nullptr);
    put_real(ws, row, 2, rs->total_connected_load, w->exact);
    put_real(ws, row, 3, rs->total_lf_load, w->exact);
    put_real(ws, row, 4, rs->total_operating_load, p == s->governing ? w->governing : w->exact);
    put_real(ws, row, 5, rs->total_lf, w->exact);
    put_real(ws, row, 6, rs->total_kpm, w->exact);
    put_real(ws, row, 7, s->margin[p], w->exact);
    put_real(ws, row, 8, rs->nbr_lf, nullptr);
    put_real(ws, row, 9, s->running[p], nullptr);
    put_real(ws, row, 10, p == s->governing, nullptr);
  }
  worksheet_autofilter(ws, (lxw_row_t)first, 0, (lxw_row_t)(row - 1), 10);
}

static int put_rows_sheets(Workbook *w, Summary *s) {
  static const char *const header[] = {
      "operational_condition", "ambient_condition", "swbs",        "load",
      "connected_load_kw",     "peak_fraction",     "load_factor", "load_factor_load_kw",
      "operating_factor",      "operating_load_kw"};
  static const double widths[] = {22, 18, 8, 32, 18, 14, 12, 20, 17, 18};
  lxw_worksheet *ws = nullptr;
  int part = 0, row = XLSX_SHEET_ROWS;
  for (int p = 0; p < s->nbr_pairs; p++) {
    const Results *rs = s->pairs[p];
    for (int i = 0; i < rs->nbr_lf; i++, row++) {
      if (row == XLSX_SHEET_ROWS) {
        end_table(ws, row, 10);
        ws = table_sheet(w, "Loads", ++part, header, 10, widths);
        row = 1;
      }
      const LoadFactor *lf = rs->lfs[i];
      put_string(w, ws, row, 0, rs->oc->name, nullptr);
      put_string(w, ws, row, 1, rs->ac->name, nullptr);
      put_string(w, ws, row, 2, lf->ld->swbs, nullptr);
      put_string(w, ws, row, 3, lf->ld->name, nullptr);
      put_real(ws, row, 4, lf->ld->connected_load, w->exact);
      put_real(ws, row, 5, lf->ld->peak_fraction, w->exact);
      put_real(ws, row, 6, lf->loadfactor, w->exact);
      put_real(ws, row, 7, lf->lf_load, w->exact);
      put_real(ws, row, 8, lf->kpm, w->exact);
      put_real(ws, row, 9, lf->kpm_load, w->exact);
    }
  }
  if (!ws) ws = table_sheet(w, "Loads", ++part, header, 10, widths), row = 1;
  end_table(ws, row, 10);
  return part;
}

static void put_groups_sheets(Workbook *w, Summary *s) {
  static const char *const header[] = {"operational_condition", "ambient_condition", "swbs_group", "operating_load_kw",
                                       "share"};
  static const double widths[] = {22, 18, 18, 18, 10};
  GroupShare *shares = (GroupShare *)tool_calloc((size_t)s->nbr_groups, sizeof *shares);
  char key[4 * SUMMARY_CELL_COLUMNS + 4];
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
  (void)key;
  free(shares);
}

static int write_workbook(const char *path, const char *target, Summary *s, const SummaryOptions *opt) {
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

// --xlsx -: the library writes to a path, so the workbook is made in a
// temporary file and copied to standard output.
static int write_workbook_to_stdout(SummaryRun *run, Summary *s) {
  const char *dir = getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  int fd = temp_file_make(dir, &run->workbook_slot);
  if (fd < 0) {
    tool_error("cannot make a temporary file in %s: %s", dir, strerror(errno));
    return TOOL_TROUBLE;
  }
  close(fd);
  run->workbook_temp = temp_file_name(run->workbook_slot);
  int status = write_workbook(run->workbook_temp, "standard output", s, &run->opt);
  if (status != 0) return status;
  FILE *in = fopen(run->workbook_temp, "rb");
  if (!in) {
    tool_error("cannot read %s: %s", run->workbook_temp, strerror(errno));
    return TOOL_TROUBLE;
  }
  char buf[65536];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, in)) > 0) fwrite(buf, 1, got, stdout);
  fclose(in);
  return 0;
}

static int write_xlsx(SummaryRun *run, Summary *s) {
  ToolOutput *o = &run->out[OUT_XLSX];
  if (o->is_stdout) return write_workbook_to_stdout(run, s);
  // The library opens the path itself: the temporary file (or a device)
  // that the output holds open, which it leaves as it is until the commit.
  return write_workbook(o->temp ? o->temp : o->path, run->path[OUT_XLSX], s, &run->opt);
}

#endif

// ---------------------------------------------------------------- the run

static int colour_wanted(void) {
  // NO_COLOR set to anything but the empty text turns colour off.
  const char *no_color = getenv("NO_COLOR");
  if (no_color && *no_color) return 0;
  const char *term = getenv("TERM");
  if (term && strcmp(term, "dumb") == 0) return 0;
  return isatty(STDOUT_FILENO);
}

static int write_outputs(SummaryRun *run, Summary *s) {
  if (run->opened[OUT_CSV]) summary_write_rows_csv(run->out[OUT_CSV].f, s);
  if (run->opened[OUT_TOTALS]) summary_write_totals_csv(run->out[OUT_TOTALS].f, s);
#ifdef KPM_HAVE_XLSXWRITER
  if (run->opened[OUT_XLSX] && write_xlsx(run, s) != 0) return TOOL_TROUBLE;
#endif
  if (run->opened[OUT_HTML]) summary_write_html(run->out[OUT_HTML].f, s, &run->opt);
  return flush_outputs(run);
}

int main(int argc, char **argv) {
  ToolArgs a;
  tool_start(&PROGRAM, &a, argc, argv);
  SummaryRun run = {};
  int status = parse_command_line(&run, &a);
  if (status >= 0) {
    free(run.margins);
    return status;
  }
  // Outputs are opened first, so that a path that cannot be written stops
  // the run before a large study is read.
  if (open_outputs(&run) != 0) {
    free(run.margins);
    return TOOL_TROUBLE;
  }
  LoadStudy z;
  status = tool_load_study(&z, run.study);
  if (status != TOOL_DONE) {
    discard_outputs(&run);
    free(run.margins);
    return status;
  }
  if (calc_kpm(&z) != 0) {
    fprintf(stderr, " *** Error in calc_kpm()\n");
    discard_outputs(&run);
    free(run.margins);
    return TOOL_BAD_INPUT;
  }
  Summary s;
  summary_build(&s, &z);
  if (run.opt.by_swbs || run.opened[OUT_XLSX] || run.opened[OUT_HTML]) summary_group_loads(&s, run.opt.swbs_digits);
  status = write_outputs(&run, &s);
  if (status != 0) {
    discard_outputs(&run);
  } else {
    status = commit_outputs(&run);
    discard_outputs(&run); // the workbook's temporary copy, if any
  }
  int stdout_taken = 0;
  for (int k = 0; k < OUT_COUNT; k++) stdout_taken |= run.path[k] && tool_output_is_stdout(run.path[k]);
  if (status == 0 && !run.quiet && !stdout_taken) {
    run.opt.colour = colour_wanted();
    summary_write_text(stdout, &s, &run.opt);
  }
  summary_release(&s);
  free(run.margins);
  return tool_finish_stdout(status);
}
