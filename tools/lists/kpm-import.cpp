// kpm-import: a load list kept in a spreadsheet (CSV) becomes a study file
// that kpm reads. The conversion is in tools/load_list.cpp; this is the
// command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "tools/lists/load_list.h"
#include "tools/common/tool.h"

static const char *const USAGE = "usage: kpm-import [-o STUDY.xml] [--name TEXT] [--separator SEP] [--decimal-comma | "
                                 "--decimal-point] [--werror] LIST.csv";

static void print_help(void) {
  printf("Usage: kpm-import [OPTION]... LIST.csv\n"
         "Write the study file of a load list (CSV, one row per load) for kpm.\n"
         "\n"
         "Options:\n"
         "  -o, --output=FILE    write the study to FILE (default: standard output)\n"
         "      --name=TEXT      name the study TEXT (default: LIST without extension)\n"
         "      --separator=SEP  cells separated by , ; or tab (default: from the header)\n"
         "      --decimal-comma  numbers have a decimal comma (1.500,5)\n"
         "      --decimal-point  numbers have a decimal point (1,500.5)\n"
         "                       (default: a point with commas between cells, else\n"
         "                       the mark that the list's numbers show)\n"
         "      --werror         refuse the list when there is any warning\n"
         "      --help           display this help and exit\n"
         "      --version        display the version and exit\n"
         "\n"
         "Problems are shown as LIST.csv:ROW:COLUMN, ROW as a spreadsheet numbers it.\n"
         "Exit status: 0 done, 1 the list has errors, 2 usage or I/O error.\n");
  tool_print_help_end();
}

static int usage_error(const char *message, const char *arg) {
  tool_error(message, arg);
  fprintf(stderr, "%s\n", USAGE);
  return TOOL_TROUBLE;
}

// The value of an option given as "--opt VALUE", "--opt=VALUE" or, for a
// short one, "-oVALUE". Null when arg is not that option; sets *missing when
// it is but has no value.
static const char *option_value(int argc, char **argv, int *i, const char *short_name, const char *long_name,
                                int *missing) {
  const char *arg = argv[*i];
  size_t n = strlen(long_name);
  if (strncmp(arg, long_name, n) == 0 && arg[n] == '=') return arg + n + 1;
  int whole = strcmp(arg, long_name) == 0 || (short_name && strcmp(arg, short_name) == 0);
  if (!whole && short_name && strncmp(arg, short_name, 2) == 0 && arg[2]) return arg + 2;
  if (!whole) return nullptr;
  if (*i + 1 >= argc) {
    *missing = 1;
    return nullptr;
  }
  return argv[++*i];
}

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
  tool_set_program("kpm-import");
  const char *input = nullptr;
  const char *output = nullptr;
  const char *name = nullptr;
  int separator = 0;
  int decimal_mark = 0;
  int werror = 0;
  int options_done = 0;
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    int missing = 0;
    const char *v;
    if (options_done || arg[0] != '-' || strcmp(arg, "-") == 0) {
      if (input) return usage_error("more than one list given (%s)", arg);
      input = arg;
    } else if (strcmp(arg, "--") == 0) {
      options_done = 1;
    } else if (strcmp(arg, "--help") == 0) {
      print_help();
      return tool_finish_stdout(TOOL_DONE);
    } else if (strcmp(arg, "--version") == 0) {
      tool_print_version();
      return tool_finish_stdout(TOOL_DONE);
    } else if (strcmp(arg, "--decimal-comma") == 0 || strcmp(arg, "--decimal-point") == 0) {
      int mark = arg[10] == 'c' ? ',' : '.';
      if (decimal_mark && decimal_mark != mark) return usage_error("%s contradicts the other decimal mark given", arg);
      decimal_mark = mark;
    } else if (strcmp(arg, "--werror") == 0) {
      werror = 1;
    } else if ((v = option_value(argc, argv, &i, "-o", "--output", &missing)) || missing) {
      if (missing) return usage_error("%s needs a file name", arg);
      output = v;
    } else if ((v = option_value(argc, argv, &i, nullptr, "--name", &missing)) || missing) {
      if (missing) return usage_error("%s needs a text (\"\" for no name)", arg);
      name = v;
    } else if ((v = option_value(argc, argv, &i, nullptr, "--separator", &missing)) || missing) {
      if (missing) return usage_error("%s needs , ; or tab", arg);
      separator = parse_separator(v);
      if (!separator) return usage_error("unknown separator \"%s\" (use , ; or tab)", v);
    } else {
      return usage_error("unknown option %s", arg);
    }
  }
  if (!input) return usage_error("no list given%s", "");

  // "-" is standard input, and names no study: the study has no name unless given.
  int from_stdin = strcmp(input, "-") == 0;
  struct stat st;
  if (!from_stdin && stat(input, &st) == 0 && S_ISDIR(st.st_mode)) {
    tool_error("%s: is a folder", input);
    return TOOL_TROUBLE;
  }
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
