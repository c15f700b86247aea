// Shared by the companion programs: messages, the study, outputs, CSV.
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "calc/calc.h"
#include "tools/common/tool.h"
#include "xml/xmlentity.h"

const char *const TOOL_VERSION = KPM_VERSION;

static const char *program_name = "kpm";

void tool_set_program(const char *name) { program_name = name; }

const char *tool_program(void) { return program_name; }

static void vmessage(const char *kind, const char *format, va_list ap) {
  fprintf(stderr, "%s: %s: ", program_name, kind);
  vfprintf(stderr, format, ap);
  fputc('\n', stderr);
}

void tool_error(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vmessage("error", format, ap);
  va_end(ap);
}

void tool_warning(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vmessage("warning", format, ap);
  va_end(ap);
}

void tool_print_version(void) { printf("%s %s\n", program_name, TOOL_VERSION); }

void tool_print_help_end(void) { printf("\nReport problems to the kpm project's issue tracker.\n"); }

int tool_finish_stdout(int status) {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    tool_error("cannot write to standard output: %s", strerror(errno ? errno : EIO));
    return TOOL_USAGE_OR_IO;
  }
  return status;
}

int tool_load_study(LoadStudy *z, const char *path) {
  memset(z, 0, sizeof *z);
  z->xmlfile = (char *)path;
  init_kpm(z);
  if (strcmp(path, "-") == 0) z->xmlstream = stdin;
  int status = read_study_file(z);
  if (status == 0) status = post_process_xml_file(z);
  if (status != 0) fprintf(stderr, " *** Error in read_xml_file(%d)\n", status);
  return status;
}

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

const char *tool_stdin_copy(void) {
  static int slot = -1;
  if (slot >= 0) return temp_file_name(slot);
  const char *folder = getenv("TMPDIR");
  if (!folder || !*folder) folder = "/tmp";
  int fd = temp_file_make(folder, &slot);
  if (fd < 0) {
    tool_error("cannot make a copy of standard input in %s: %s", folder, strerror(errno));
    return nullptr;
  }
  FILE *copy = fdopen(fd, "w");
  static char buf[1 << 16];
  size_t got;
  errno = 0;
  while (copy && (got = fread(buf, 1, sizeof buf, stdin)) > 0 && fwrite(buf, 1, got, copy) == got) {
  }
  int read_failed = ferror(stdin) ? (errno ? errno : EIO) : 0;
  int failed = !copy || ferror(copy) ? (errno ? errno : EIO) : 0;
  if (copy ? fclose(copy) != 0 : close(fd) != 0) failed = failed ? failed : errno ? errno : EIO;
  if (!read_failed && !failed) return temp_file_name(slot);
  if (read_failed)
    tool_error("cannot read standard input: %s", strerror(read_failed));
  else
    tool_error("cannot make a copy of standard input in %s: %s", folder, strerror(failed));
  temp_file_remove(slot);
  slot = -1;
  return nullptr;
}

static char *copy_text(const char *s) {
  size_t n = strlen(s) + 1;
  char *p = (char *)kpm_calloc(n, 1);
  if (!p) {
    fprintf(stderr, "%s: error: out of memory\n", program_name);
    exit(TOOL_BAD_INPUT);
  }
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
    return TOOL_USAGE_OR_IO;
  }
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    tool_error("%s: is a folder", path);
    return TOOL_USAGE_OR_IO;
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
    return TOOL_USAGE_OR_IO;
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
      return TOOL_USAGE_OR_IO;
    }
    return 0;
  }
  if (!o->f) return TOOL_USAGE_OR_IO;
  int err = output_commit(&o->file);
  if (err) tool_error("cannot write %s: %s", o->path, strerror(err));
  forget_output(o);
  return err ? TOOL_USAGE_OR_IO : 0;
}

void tool_output_discard(ToolOutput *o) {
  if (!o->is_stdout) output_discard(&o->file);
  forget_output(o);
}

void csv_put_text(FILE *f, const char *s) {
  putc('"', f);
  // In runs up to each quote: one putc per character was most of the time
  // of a large table.
  while (s && *s) {
    size_t n = strcspn(s, "\"");
    fwrite(s, 1, n, f);
    s += n;
    if (*s == '"') {
      fputs("\"\"", f);
      s++;
    }
  }
  putc('"', f);
}

int format_shortest_real(char *buf, size_t n, double v) {
  // to_chars without a precision gives the shortest text that reads back exactly.
  std::to_chars_result r = std::to_chars(buf, buf + n - 1, v);
  *r.ptr = '\0';
  return (int)(r.ptr - buf);
}

void csv_put_real(FILE *f, double v) {
  char buf[SHORTEST_REAL_SIZE];
  int n = format_shortest_real(buf, sizeof buf, v);
  fwrite(buf, 1, (size_t)n, f);
}

void csv_put_separator(FILE *f) { putc(',', f); }

void csv_end_row(FILE *f) { fputs("\r\n", f); }

// UTF-8 sequences, for the programs that print or escape study texts.

static int cont(unsigned b) { return (b & 0xC0) == 0x80; } // a continuation byte

int utf8_sequence_length(const unsigned char *p) {
  unsigned c = p[0];
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(p[1]) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    return p[1] >= lo && p[1] <= hi && cont(p[2]) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return p[1] >= lo && p[1] <= hi && cont(p[2]) && cont(p[3]) ? 4 : 0;
  }
  return 0;
}

unsigned utf8_code_point(const unsigned char *p, int n) {
  if (n == 1) return p[0];
  unsigned c = p[0] & (0x7F >> n);
  for (int i = 1; i < n; i++) c = (c << 6) | (p[i] & 0x3F);
  return c;
}
