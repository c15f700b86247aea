// The command line of every companion program: options from the program's
// table, the help made from it, and one form of usage error.
#include <cstdio>
#include <cstring>

#include "tools/common/tool.h"

// Every program's own: answered here, never returned to the program.
enum { OPT_HELP = -10, OPT_VERSION = -11 };
static const ToolOption COMMON_OPTIONS[] = {
    {OPT_HELP, 'h', "help", nullptr, 0, "display this help and exit"},
    {OPT_VERSION, 0, "version", nullptr, 0, "display the version and exit"},
};

// The help is written for a terminal of this width.
static const int HELP_COLUMNS = 79;

// An option as the help's left column shows it: "  -o, --output=FILE".
static int option_title(const ToolOption *o, char *buf, size_t size) {
  const char *v = o->value;
  if (o->short_name && o->long_name)
    return snprintf(buf, size, "  -%c, --%s%s%s%s%s", o->short_name, o->long_name, v && o->value_optional ? "[" : "",
                    v ? "=" : "", v ? v : "", v && o->value_optional ? "]" : "");
  if (o->short_name) return snprintf(buf, size, "  -%c%s%s", o->short_name, v ? " " : "", v ? v : "");
  return snprintf(buf, size, "      --%s%s%s%s%s", o->long_name, v && o->value_optional ? "[" : "", v ? "=" : "",
                  v ? v : "", v && o->value_optional ? "]" : "");
}

static void put_option(FILE *f, const ToolOption *o, int width) {
  char title[128];
  int n = option_title(o, title, sizeof title);
  fputs(title, f);
  const char *h = o->help;
  for (int first = 1; *h || first; first = 0) {
    const char *end = strchr(h, '\n');
    size_t len = end ? (size_t)(end - h) : strlen(h);
    fprintf(f, "%*s%.*s\n", first ? width - n : width, "", (int)len, h);
    h += len + (end ? 1 : 0);
  }
}

// The n bytes of text (no line break among them) as words on lines of at
// most HELP_COLUMNS columns.
static void put_wrapped(FILE *f, const char *text, size_t n) {
  int column = 0;
  const char *end = text + n;
  while (text < end) {
    size_t word = 0;
    while (text + word < end && text[word] != ' ') word++;
    if (column && column + 1 + (int)word > HELP_COLUMNS) {
      fputc('\n', f);
      column = 0;
    } else if (column) {
      fputc(' ', f);
      column++;
    }
    fwrite(text, 1, word, f);
    column += (int)word;
    text += word;
    while (text < end && *text == ' ') text++;
  }
  fputc('\n', f);
}

void tool_print_help(FILE *f, const ToolProgram *p) {
  fprintf(f, "Usage: %s [OPTION]... %s\n%s\nOptions:\n", p->name, p->operands, p->about);
  int width = 0;
  char title[128];
  for (size_t i = 0; i < p->nbr_options + 2; i++) {
    const ToolOption *o = i < p->nbr_options ? &p->options[i] : &COMMON_OPTIONS[i - p->nbr_options];
    int n = option_title(o, title, sizeof title);
    if (n + 2 > width) width = n + 2;
  }
  for (size_t i = 0; i < p->nbr_options; i++) put_option(f, &p->options[i], width);
  for (const ToolOption &o : COMMON_OPTIONS) put_option(f, &o, width);
  fputc('\n', f);
  for (const char *line = p->notes; line && *line;) {
    size_t n = strcspn(line, "\n");
    put_wrapped(f, line, n);
    line += n + (line[n] ? 1 : 0);
  }
  char statuses[1024];
  int n = snprintf(statuses, sizeof statuses, "Exit status:");
  for (int status = 0; status < 10; status++) {
    const char *meaning = tool_status_meaning(p->name, status);
    if (meaning && n < (int)sizeof statuses)
      n += snprintf(statuses + n, sizeof statuses - (size_t)n, "%s %d %s", n > 12 ? ";" : "", status, meaning);
  }
  if (n < (int)sizeof statuses - 1) strcat(statuses, ".");
  put_wrapped(f, statuses, strlen(statuses));
  fputs("\nReport problems to the kpm project's issue tracker.\n", f);
}

static const ToolOption *find_long(const ToolProgram *p, const char *name, size_t n) {
  for (size_t i = 0; i < p->nbr_options + 2; i++) {
    const ToolOption *o = i < p->nbr_options ? &p->options[i] : &COMMON_OPTIONS[i - p->nbr_options];
    if (o->long_name && strlen(o->long_name) == n && memcmp(o->long_name, name, n) == 0) return o;
  }
  return nullptr;
}

static const ToolOption *find_short(const ToolProgram *p, char c) {
  for (size_t i = 0; i < p->nbr_options + 2; i++) {
    const ToolOption *o = i < p->nbr_options ? &p->options[i] : &COMMON_OPTIONS[i - p->nbr_options];
    if (o->short_name == c) return o;
  }
  return nullptr;
}

static int stop(ToolArgs *a, int status) {
  a->status = status;
  return TOOL_ARGS_STOP;
}

// The option o, written as a->arg; attached: its value written in the same
// argument (after "=" or the letter), or null.
static int take_option(ToolArgs *a, const ToolOption *o, const char *attached, const char *shown) {
  if (!o->value && attached) return stop(a, tool_usage_error("option '%s' takes no value", shown));
  if (o->value) {
    if (attached)
      a->value = attached;
    else if (o->value_optional)
      a->value = nullptr;
    else if (a->next < a->argc)
      a->value = a->argv[a->next++];
    else
      return stop(a, tool_usage_error("option '%s' needs a value (%s)", shown, o->value));
  }
  if (o->id == OPT_HELP) {
    tool_print_help(stdout, a->program);
    return stop(a, tool_finish_stdout(TOOL_DONE));
  }
  if (o->id == OPT_VERSION) {
    printf("%s %s\n", a->program->name, TOOL_VERSION);
    return stop(a, tool_finish_stdout(TOOL_DONE));
  }
  return o->id;
}

int tool_next_arg(ToolArgs *a) {
  a->arg = a->value = nullptr;
  for (;;) {
    if (a->next >= a->argc) return TOOL_ARGS_END;
    const char *arg = a->argv[a->next++];
    a->arg = arg;
    if (a->options_done || arg[0] != '-' || arg[1] == '\0') {
      a->value = arg;
      return TOOL_OPERAND;
    }
    if (strcmp(arg, "--") == 0) {
      a->options_done = 1;
      continue;
    }
    if (arg[1] == '-') {
      const char *name = arg + 2;
      const char *eq = strchr(name, '=');
      size_t n = eq ? (size_t)(eq - name) : strlen(name);
      const ToolOption *o = find_long(a->program, name, n);
      if (!o) return stop(a, tool_usage_error("unknown option '%s'", arg));
      char shown[64];
      snprintf(shown, sizeof shown, "--%s", o->long_name);
      return take_option(a, o, eq ? eq + 1 : nullptr, shown);
    }
    const ToolOption *o = find_short(a->program, arg[1]);
    // Short options are not bundled: "-qx" is no option.
    if (!o || (!o->value && arg[2])) return stop(a, tool_usage_error("unknown option '%s'", arg));
    char shown[3] = {'-', arg[1], '\0'};
    return take_option(a, o, arg[2] ? arg + 2 : nullptr, shown);
  }
}
