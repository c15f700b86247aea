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
#include "tools/tool.h"
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
  int status = read_study_file(z);
  if (status == 0) status = post_process_xml_file(z);
  if (status != 0) fprintf(stderr, " *** Error in read_xml_file(%d)\n", status);
  return status;
}

int tool_same_file(const char *a, const char *b) {
  struct stat sa, sb;
  if (!a || !b || stat(a, &sa) != 0 || stat(b, &sb) != 0) return 0;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
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

// Temporary files not yet renamed into place or removed. A program that
// exits half-way (out of memory deep in the reader or the summary) leaves
// none behind: they are removed at exit. A program has a few outputs at most.
static const int MAX_PENDING_TEMPS = 16;
static char *pending_temp[MAX_PENDING_TEMPS];

static void remove_pending_temps(void) {
  for (int i = 0; i < MAX_PENDING_TEMPS; i++)
    if (pending_temp[i]) unlink(pending_temp[i]);
}

static void note_pending_temp(char *temp) {
  static int registered;
  if (!registered) registered = atexit(remove_pending_temps) == 0;
  for (int i = 0; i < MAX_PENDING_TEMPS; i++)
    if (!pending_temp[i]) {
      pending_temp[i] = temp;
      return;
    }
}

static void forget_pending_temp(const char *temp) {
  for (int i = 0; i < MAX_PENDING_TEMPS; i++)
    if (temp && pending_temp[i] == temp) pending_temp[i] = nullptr;
}

int tool_output_open(ToolOutput *o, const char *path, const char *input) {
  memset(o, 0, sizeof *o);
  if (!path || strcmp(path, "-") == 0) {
    o->f = stdout;
    o->is_stdout = 1;
    return 0;
  }
  if (input && tool_same_file(path, input)) {
    tool_error("%s: the output is the input file; refusing to overwrite it", path);
    return TOOL_USAGE_OR_IO;
  }
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    tool_error("%s: is a folder", path);
    return TOOL_USAGE_OR_IO;
  }
  // A device or a pipe (/dev/null, /dev/stdout, a FIFO) is written in place:
  // a file renamed over it would replace the device itself.
  if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    o->f = fopen(path, "w");
    if (!o->f) {
      tool_error("cannot write %s: %s", path, strerror(errno));
      return TOOL_USAGE_OR_IO;
    }
    o->path = copy_text(path);
    return 0;
  }
  // The temporary file lies beside the target, so that the rename stays on
  // one file system and is atomic.
  const char *suffix = ".tmpXXXXXX";
  size_t n = strlen(path);
  char *temp = (char *)kpm_calloc(n + strlen(suffix) + 1, 1);
  if (!temp) {
    tool_error("out of memory");
    exit(TOOL_BAD_INPUT);
  }
  memcpy(temp, path, n);
  strcpy(temp + n, suffix);
  int fd = mkstemp(temp);
  if (fd < 0) {
    tool_error("cannot write %s: %s", path, strerror(errno));
    free(temp);
    return TOOL_USAGE_OR_IO;
  }
  note_pending_temp(temp);
  // An existing target keeps its permissions; a new one gets the usual ones.
  mode_t mode;
  if (stat(path, &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  o->f = fdopen(fd, "w");
  if (!o->f) {
    tool_error("cannot write %s: %s", path, strerror(errno));
    close(fd);
    unlink(temp);
    forget_pending_temp(temp);
    free(temp);
    return TOOL_USAGE_OR_IO;
  }
  o->path = copy_text(path);
  o->temp = temp;
  return 0;
}

static void forget_output(ToolOutput *o) {
  forget_pending_temp(o->temp);
  free(o->path);
  free(o->temp);
  memset(o, 0, sizeof *o);
}

int tool_output_commit(ToolOutput *o) {
  if (o->is_stdout) {
    int failed = fflush(stdout) != 0 || ferror(stdout);
    memset(o, 0, sizeof *o);
    if (failed) {
      tool_error("cannot write to standard output: %s", strerror(errno ? errno : EIO));
      return TOOL_USAGE_OR_IO;
    }
    return 0;
  }
  if (!o->f) return TOOL_USAGE_OR_IO;
  errno = 0;
  int failed = fflush(o->f) != 0 || ferror(o->f);
  int saved = errno;
  if (fclose(o->f) != 0 && !failed) {
    failed = 1;
    saved = errno;
  }
  o->f = nullptr;
  if (!failed && o->temp && rename(o->temp, o->path) != 0) {
    failed = 1;
    saved = errno;
  }
  if (failed) {
    tool_error("cannot write %s: %s", o->path, strerror(saved ? saved : EIO));
    if (o->temp) unlink(o->temp);
    forget_output(o);
    return TOOL_USAGE_OR_IO;
  }
  forget_output(o);
  return 0;
}

void tool_output_discard(ToolOutput *o) {
  if (o->is_stdout) {
    memset(o, 0, sizeof *o);
    return;
  }
  if (o->f) fclose(o->f);
  if (o->temp) unlink(o->temp);
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
