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
  int status = summary_write_workbook(run->workbook_temp, "standard output", s, &run->opt);
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
  return summary_write_workbook(o->temp ? o->temp : o->path, run->path[OUT_XLSX], s, &run->opt);
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
