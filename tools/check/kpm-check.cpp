// kpm-check: every problem of one or more studies at once, as FILE:LINE:COL
// diagnostics in file order, then a summary line per study.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "tools/check/check.h"
#include "tools/common/tool.h"
#include "xml/xmlentity.h"

static void usage(FILE *f) {
  fprintf(f, "Usage: kpm-check [OPTION]... STUDY...\n"
             "Check kpm study files: every error on which kpm would stop, and warnings for\n"
             "what kpm reads silently in a way the author may not have meant.\n"
             "\n"
             "Options:\n"
             "      --format=FORMAT  diagnostics as text (FILE:LINE:COL, default) or json\n"
             "  -q, --quiet          errors only: no warnings or notes\n"
             "  -W no-CODE           silence the warning or note CODE (repeatable; -Wno-CODE)\n"
             "      --werror         exit with status 1 when there is any warning\n"
             "  -h, --help           display this help and exit\n"
             "      --version        display the version and exit\n"
             "\n"
             "Exit status: 0 no errors (warnings allowed), 1 at least one error, 2 a usage\n"
             "error or a study that cannot be read.\n");
  tool_print_help_end();
}

static int usage_error(const char *format, const char *what) {
  fprintf(stderr, "kpm-check: error: ");
  fprintf(stderr, format, what);
  fprintf(stderr, "\nTry 'kpm-check --help' for more information.\n");
  return TOOL_TROUBLE;
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
  tool_set_program("kpm-check");
  // Static, so that what they point to stays reachable on the early returns.
  static Options o;
  static const char **files;
  o.silenced = (const char **)tool_calloc((size_t)argc + 1, sizeof(char *));
  files = (const char **)tool_calloc((size_t)argc + 1, sizeof(char *));
  int file_count = 0;
  int options_end = 0;
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (options_end || a[0] != '-' || strcmp(a, "-") == 0) {
      files[file_count++] = a;
    } else if (strcmp(a, "--") == 0) {
      options_end = 1;
    } else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      usage(stdout);
      return tool_finish_stdout(TOOL_DONE);
    } else if (strcmp(a, "--version") == 0) {
      tool_print_version();
      return tool_finish_stdout(TOOL_DONE);
    } else if (strcmp(a, "-q") == 0 || strcmp(a, "--quiet") == 0) {
      o.quiet = 1;
    } else if (strcmp(a, "--werror") == 0) {
      o.werror = 1;
    } else if (strcmp(a, "--format=json") == 0) {
      o.json = 1;
    } else if (strcmp(a, "--format=text") == 0) {
      o.json = 0;
    } else if (strncmp(a, "--format", 8) == 0) {
      return usage_error("unknown format '%s': use --format=text or --format=json", a);
    } else if (strncmp(a, "-W", 2) == 0) {
      const char *w = a[2] ? a + 2 : (i + 1 < argc ? argv[++i] : nullptr);
      if (!w) return usage_error("%s needs no-CODE", a);
      if (strncmp(w, "no-", 3) != 0 || !is_warning_code(w + 3))
        return usage_error("unknown warning '%s': see the list in kpm-check(1)", w);
      o.silenced[o.silenced_count++] = w + 3;
    } else {
      return usage_error("unknown option '%s'", a);
    }
  }
  if (file_count == 0) return usage_error("%s", "no study file given");

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
