// kpm-import: a load list kept in a spreadsheet (CSV) becomes a study file
// that kpm reads. The conversion is in tools/load_list.cpp; this is the
// command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/lists/load_list.h"
#include "tools/common/tool.h"

enum { OPT_OUTPUT = 1, OPT_NAME, OPT_SEPARATOR, OPT_DECIMAL_COMMA, OPT_DECIMAL_POINT, OPT_WERROR };
static const ToolOption OPTIONS[] = {
    {OPT_OUTPUT, 'o', "output", "FILE", 0, "write the study to FILE (default: standard output)"},
    {OPT_NAME, 0, "name", "TEXT", 0, "name the study TEXT (default: LIST without extension)"},
    {OPT_SEPARATOR, 0, "separator", "SEP", 0, "cells separated by , ; or tab (default: from the header)"},
    {OPT_DECIMAL_COMMA, 0, "decimal-comma", nullptr, 0, "numbers have a decimal comma (1.500,5)"},
    {OPT_DECIMAL_POINT, 0, "decimal-point", nullptr, 0,
     "numbers have a decimal point (1,500.5)\n"
     "(default: a point with commas between cells, else\n"
     "the mark that the list's numbers show)"},
    {OPT_WERROR, 0, "werror", nullptr, 0, "refuse the list when there is any warning"},
};
static const ToolProgram PROGRAM = {
    "kpm-import", "LIST.csv", "Write the study file of a load list (CSV, one row per load) for kpm.\n", OPTIONS,
    sizeof OPTIONS / sizeof OPTIONS[0],
    "A LIST.csv of '-' is standard input; the study then has no name unless --name\ngives one.\n"
    "Problems are shown as LIST.csv:ROW:COLUMN, ROW as a spreadsheet numbers it.\n"};

static int parse_separator(const char *s) {
  if (strcmp(s, ",") == 0) return ',';
  if (strcmp(s, ";") == 0) return ';';
  if (strcmp(s, "tab") == 0 || strcmp(s, "\\t") == 0 || strcmp(s, "\t") == 0) return '\t';
  return 0;
}

// The list's file name without its folder and extension.
static char *base_name(const char *path) {
  const char *b = strrchr(path, '/');
  b = b ? b + 1 : path;
  size_t n = strlen(b);
  const char *dot = strrchr(b, '.');
  if (dot && dot != b) n = (size_t)(dot - b);
  size_t cap = 0;
  char *s = (char *)tool_grow(nullptr, 0, &cap, n + 1);
  memcpy(s, b, n);
  s[n] = '\0';
  return s;
}

int main(int argc, char **argv) {
  ToolArgs a;
  tool_start(&PROGRAM, &a, argc, argv);
  const char *input = nullptr;
  const char *output = nullptr;
  const char *name = nullptr;
  int separator = 0;
  int decimal_mark = 0;
  int werror = 0;
  for (int id; (id = tool_next_arg(&a)) != TOOL_ARGS_END;) {
    switch (id) {
    case TOOL_ARGS_STOP:
      return a.status;
    case TOOL_OPERAND:
      if (input) return tool_usage_error("more than one list given (%s)", a.value);
      input = a.value;
      break;
    case OPT_OUTPUT:
      output = a.value;
      break;
    case OPT_NAME:
      name = a.value;
      break;
    case OPT_SEPARATOR:
      separator = parse_separator(a.value);
      if (!separator) return tool_usage_error("unknown separator \"%s\" (use , ; or tab)", a.value);
      break;
    case OPT_DECIMAL_COMMA:
    case OPT_DECIMAL_POINT: {
      int mark = id == OPT_DECIMAL_COMMA ? ',' : '.';
      if (decimal_mark && decimal_mark != mark)
        return tool_usage_error("%s contradicts the other decimal mark given", a.arg);
      decimal_mark = mark;
      break;
    }
    case OPT_WERROR:
      werror = 1;
      break;
    }
  }
  if (!input) return tool_usage_error("no list given");

  // "-" is standard input, and names no study: the study has no name unless given.
  int from_stdin = strcmp(input, "-") == 0;
  if (tool_check_input(input) != 0) return TOOL_TROUBLE;
  char *default_name = nullptr;
  if (!name) name = from_stdin ? "" : (default_name = base_name(input));
  int problem = study_text_problem(name, strlen(name), 1);
  if (problem != TEXT_OK) {
    if (default_name)
      tool_error("the list's file name \"%s\" %s; give the study's name with --name", name, study_text_reason(problem));
    else
      tool_error("the study name \"%s\" %s", name, study_text_reason(problem));
    free(default_name);
    return TOOL_TROUBLE;
  }
  FILE *in = from_stdin ? stdin : fopen(input, "rb");
  if (!in) {
    tool_error("cannot read %s: %s", input, strerror(errno));
    free(default_name);
    return TOOL_TROUBLE;
  }
  ToolOutput out;
  int status = tool_output_open(&out, output, input);
  if (status != 0) {
    if (!from_stdin) fclose(in);
    free(default_name);
    return status;
  }
  CsvDiag diag;
  csv_diag_init(&diag, input, stderr);
  diag.werror = werror;
  ImportOptions options = {name, separator, decimal_mark};
  status = import_load_list(in, &diag, &options, out.f, nullptr);
  if (!from_stdin) fclose(in);
  free(default_name);
  if (status == TOOL_DONE) {
    status = tool_output_commit(&out);
  } else {
    tool_output_discard(&out);
  }
  if (diag.errors)
    fprintf(stderr, "%s: %ld error%s in %s\n", tool_program(), diag.errors, diag.errors == 1 ? "" : "s", input);
  // A study or list on standard output was flushed and checked by the commit.
  return status;
}
