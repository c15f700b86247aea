// The companion programs' outputs: by the one rule of calc/output_file.h,
// never over an input, told apart from one another.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/common/tool.h"

int tool_same_file(const char *a, const char *b) {
  if (!a || !b || strcmp(a, "-") == 0) return 0;
  struct stat sa, sb;
  if (stat(a, &sa) != 0) return 0;
  // Standard input counts when it is a file: a terminal or a pipe read and
  // written is no file overwritten.
  if (strcmp(b, "-") == 0)
    return fstat(STDIN_FILENO, &sb) == 0 && S_ISREG(sb.st_mode) && S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
  if (stat(b, &sb) != 0) return 0;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Where an output path leads, to tell two outputs apart: the file it names
// when there is one, else the name it would be created under (links
// followed, the folder made absolute).
struct OutputPlace {
  int exists;
  dev_t dev;
  ino_t ino;
  char name[PATH_MAX];
};

static void find_output_place(const char *path, OutputPlace *p) {
  memset(p, 0, sizeof *p);
  struct stat st;
  int is_stdout = strcmp(path, "-") == 0;
  if (is_stdout ? fstat(STDOUT_FILENO, &st) == 0 : stat(path, &st) == 0) {
    p->exists = 1;
    p->dev = st.st_dev;
    p->ino = st.st_ino;
    return;
  }
  char target[PATH_MAX];
  if (is_stdout || output_follow_links(path, target, sizeof target) != 0) {
    snprintf(p->name, sizeof p->name, "%s", path);
    return;
  }
  char folder[PATH_MAX];
  const char *base = target + output_split(target, folder);
  char real[PATH_MAX];
  if (!realpath(folder, real)) {
    snprintf(p->name, sizeof p->name, "%s", target);
    return;
  }
  size_t n = strlen(real), b = strlen(base);
  if (n > 1) real[n++] = '/'; // not after "/" itself
  if (n + b + 1 > sizeof p->name) {
    snprintf(p->name, sizeof p->name, "%s", target);
    return;
  }
  memcpy(p->name, real, n);
  memcpy(p->name + n, base, b + 1);
}

int tool_same_output(const char *a, const char *b) {
  if (strcmp(a, b) == 0) return 1;
  static OutputPlace x, y; // two PATH_MAX names: not on the stack
  find_output_place(a, &x);
  find_output_place(b, &y);
  if (x.exists || y.exists) return x.exists && y.exists && x.dev == y.dev && x.ino == y.ino;
  return strcmp(x.name, y.name) == 0;
}

int tool_output_is_stdout(const char *path) {
  return strcmp(path, "-") == 0 || output_stream_of(path, OUTPUT_STDOUT) >= 0;
}

static char *copy_text(const char *s) {
  size_t n = strlen(s) + 1;
  char *p = (char *)tool_calloc(n, 1);
  memcpy(p, s, n);
  return p;
}

int tool_output_open(ToolOutput *o, const char *path, const char *input) {
  memset(o, 0, sizeof *o);
  o->file.temp = -1;
  if (!path || strcmp(path, "-") == 0) {
    o->f = stdout;
    o->is_stdout = 1;
    return 0;
  }
  if (tool_same_file(path, input)) {
    tool_error("%s: the output is the input file; refusing to overwrite it", path);
    return TOOL_TROUBLE;
  }
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    tool_error("%s: is a folder", path);
    return TOOL_TROUBLE;
  }
  // Standard output's own file (/dev/stdout, or the file it is sent to) is
  // written through the stream, as "-" is, so that nothing else the program
  // writes there is overwritten.
  if (output_stream_of(path, OUTPUT_STDOUT) >= 0) {
    o->f = stdout;
    o->is_stdout = 1;
    return 0;
  }
  int err = output_open(&o->file, path, OUTPUT_STDIN | OUTPUT_STDERR);
  if (err) {
    tool_error("cannot write %s: %s", path, strerror(err));
    return TOOL_TROUBLE;
  }
  o->f = o->file.f;
  o->path = copy_text(path);
  o->temp = o->file.way == OUTPUT_REPLACE ? temp_file_name(o->file.temp) : nullptr;
  return 0;
}

static void forget_output(ToolOutput *o) {
  free(o->path);
  memset(o, 0, sizeof *o);
  o->file.temp = -1;
}

int tool_output_commit(ToolOutput *o) {
  if (o->is_stdout) {
    int failed = fflush(stdout) != 0 || ferror(stdout);
    forget_output(o);
    if (failed) {
      tool_error("cannot write to standard output: %s", strerror(errno ? errno : EIO));
      return TOOL_TROUBLE;
    }
    return 0;
  }
  if (!o->f) return TOOL_TROUBLE;
  int err = output_commit(&o->file);
  if (err) tool_error("cannot write %s: %s", o->path, strerror(err));
  forget_output(o);
  return err ? TOOL_TROUBLE : 0;
}

void tool_output_discard(ToolOutput *o) {
  if (!o->is_stdout) output_discard(&o->file);
  forget_output(o);
}

