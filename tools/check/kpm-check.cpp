// kpm-check: every problem of one or more studies at once, as FILE:LINE:COL
// diagnostics in file order, then a summary line per study.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "tools/check/check.h"
#include "tools/common/tool.h"
#include "xml/xmlentity.h"

enum { OPT_FORMAT = 1, OPT_QUIET, OPT_SILENCE, OPT_WERROR };
static const ToolOption OPTIONS[] = {
    {OPT_FORMAT, 0, "format", "FORMAT", 0, "diagnostics as text (FILE:LINE:COL, default) or json"},
    {OPT_QUIET, 'q', "quiet", nullptr, 0, "errors only: no warnings or notes"},
    {OPT_SILENCE, 'W', nullptr, "no-CODE", 0, "silence the warning or note CODE (repeatable; -Wno-CODE)"},
    {OPT_WERROR, 0, "werror", nullptr, 0, "exit with status 1 when there is any warning"},
};
static ToolProgram PROGRAM = {"kpm-check", "STUDY...",
                              "Check kpm study files: every error on which kpm would stop, and warnings for\n"
                              "what kpm reads silently in a way the author may not have meant.\n",
                              OPTIONS, sizeof OPTIONS / sizeof OPTIONS[0], nullptr};

// The help's notes: standard input, and the codes that -W takes.
static const char *help_notes(void) {
  size_t size = 128;
  for (size_t i = 0; i < CHECK_NBR_WARNING_CODES; i++) size += strlen(CHECK_WARNING_CODES[i]) + 2;
  char *notes = (char *)tool_calloc(size, 1);
  int n = snprintf(notes, size, "A STUDY of '-' is standard input.\nCODE is a warning or note:");
  for (size_t i = 0; i < CHECK_NBR_WARNING_CODES; i++)
    n += snprintf(notes + n, size - (size_t)n, "%s %s", i ? "," : "", CHECK_WARNING_CODES[i]);
  snprintf(notes + n, size - (size_t)n, ".\n");
  return notes;
}

static const char *severity_name(int severity) {
  return severity == CHECK_ERROR ? "error" : severity == CHECK_WARNING ? "warning" : "note";
}

struct Options {
  int json;
  int quiet;
  int werror;
  const char **silenced;
  int silenced_count;
};

static int shown(const Options *o, const CheckDiagnostic *d) {
  if (d->severity == CHECK_ERROR) return 1;
  if (o->quiet) return 0;
  for (int i = 0; i < o->silenced_count; i++)
    if (strcmp(o->silenced[i], d->code) == 0) return 0;
  return 1;
}

static void plural(char *buf, size_t n, long count, const char *word) {
  snprintf(buf, n, "%ld %s%s", count, word, count == 1 ? "" : "s");
}

int main(int argc, char **argv) {
  ToolArgs a;
  tool_start(&PROGRAM, &a, argc, argv);
  static const char *notes = help_notes(); // reachable until the end, as the program's own
  PROGRAM.notes = notes;
  // Static, so that what they point to stays reachable on the early returns.
  static Options o;
  static const char **files;
  o.silenced = (const char **)tool_calloc((size_t)argc + 1, sizeof(char *));
  files = (const char **)tool_calloc((size_t)argc + 1, sizeof(char *));
  int file_count = 0;
  for (int id; (id = tool_next_arg(&a)) != TOOL_ARGS_END;) {
    switch (id) {
    case TOOL_ARGS_STOP:
      return a.status;
    case TOOL_OPERAND:
      files[file_count++] = a.value;
      break;
    case OPT_QUIET:
      o.quiet = 1;
      break;
    case OPT_WERROR:
      o.werror = 1;
      break;
    case OPT_FORMAT:
      if (strcmp(a.value, "json") != 0 && strcmp(a.value, "text") != 0)
        return tool_usage_error("unknown format '%s': use --format=text or --format=json", a.value);
      o.json = strcmp(a.value, "json") == 0;
      break;
    case OPT_SILENCE:
      if (strncmp(a.value, "no-", 3) != 0 || !is_warning_code(a.value + 3))
        return tool_usage_error("unknown warning '%s': see the list in kpm-check(1)", a.value);
      o.silenced[o.silenced_count++] = a.value + 3;
      break;
    }
  }
  if (file_count == 0) return tool_usage_error("no study file given");

  int status = TOOL_DONE;
  int json_items = 0;
  if (o.json) fputs("[", stdout);
  for (int f = 0; f < file_count; f++) {
    // Standard input is checked from a copy: a fault's text is read again from the file.
    const char *path = strcmp(files[f], "-") == 0 ? tool_stdin_copy() : files[f];
    CheckResult r;
    if (!path || check_study(path, &r) != 0) {
      status = TOOL_TROUBLE;
      continue;
    }
    long errors = 0, warnings = 0;
    for (long i = 0; i < r.count; i++) {
      const CheckDiagnostic *d = &r.d[i];
      if (!shown(&o, d)) continue;
      if (d->severity == CHECK_ERROR)
        errors++;
      else
        warnings++;
      if (o.json) {
        fputs(json_items++ ? ",\n  {" : "\n  {", stdout);
        fputs("\"file\": ", stdout);
        json_put_text(stdout, files[f]);
        printf(", \"line\": %ld, \"column\": %ld, \"severity\": \"%s\", \"code\": \"%s\", \"message\": ", d->line,
               d->column, severity_name(d->severity), d->code);
        json_put_text(stdout, d->message);
        putc('}', stdout);
      } else if (d->severity == CHECK_ERROR) {
        printf("%s:%ld:%ld: error: %s\n", files[f], d->line, d->column, d->message);
      } else {
        printf("%s:%ld:%ld: %s: %s [%s]\n", files[f], d->line, d->column, severity_name(d->severity), d->message,
               d->code);
      }
    }
    free_check_result(&r);
    char e[32], w[32];
    plural(e, sizeof e, errors, "error");
    plural(w, sizeof w, warnings, "warning");
    fflush(stdout);
    if (o.quiet)
      fprintf(stderr, "%s in %s\n", e, files[f]);
    else
      fprintf(stderr, "%s, %s in %s\n", e, w, files[f]);
    if (errors && status == TOOL_DONE) status = TOOL_BAD_INPUT;
    if (o.werror && warnings && status == TOOL_DONE) status = TOOL_BAD_INPUT;
  }
  if (o.json) fputs(json_items ? "\n]\n" : "]\n", stdout);
  free(o.silenced);
  free(files);
  return tool_finish_stdout(status);
}
