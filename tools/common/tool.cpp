// Shared by the companion programs: who the program is, its exit statuses,
// messages, memory, inputs and the study.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/common/tool.h"
#include "xml/common.h"

const char *const TOOL_VERSION = KPM_VERSION;

const ToolStatus TOOL_STATUSES[] = {
    {TOOL_DONE, nullptr, "done"},
    {TOOL_BAD_INPUT, nullptr, "the input has problems"},
    {TOOL_TROUBLE, nullptr, "a usage error, or the system failed the run (a file that cannot be read or written, "
                            "memory exhausted)"},
    {TOOL_DONE, "kpm-check", "no errors (warnings allowed)"},
    {TOOL_BAD_INPUT, "kpm-check", "at least one error, or with --werror a warning"},
    {TOOL_BAD_INPUT, "kpm-import", "the list has errors, or with --werror warnings"},
    {TOOL_BAD_INPUT, "kpm-export", "kpm refuses the study, or no list can hold it"},
    {TOOL_BAD_INPUT, "kpm-summary", "kpm refuses the study"},
};
const size_t TOOL_NBR_STATUSES = sizeof TOOL_STATUSES / sizeof TOOL_STATUSES[0];

const char *tool_status_meaning(const char *program, int status) {
  const char *common = nullptr;
  for (const ToolStatus &s : TOOL_STATUSES) {
    if (s.status != status) continue;
    if (!s.program) common = s.meaning;
    else if (strcmp(s.program, program) == 0) return s.meaning;
  }
  return common;
}

static const char *program_name = "kpm";

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

int tool_usage_error(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vmessage("error", format, ap);
  va_end(ap);
  fprintf(stderr, "Try '%s --help'.\n", program_name);
  return TOOL_TROUBLE;
}

int tool_finish_stdout(int status) {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    tool_error("cannot write to standard output: %s", strerror(errno ? errno : EIO));
    return TOOL_TROUBLE;
  }
  return status;
}

void tool_out_of_memory(void) {
  fprintf(stderr, "%s: error: out of memory\n", program_name);
  exit(TOOL_TROUBLE);
}

// The library's out-of-memory places end here in a companion program.
static void library_out_of_memory(void) { tool_out_of_memory(); }

void tool_start(const ToolProgram *program, ToolArgs *args, int argc, char **argv) {
  program_name = program->name;
  kpm_out_of_memory_hook = library_out_of_memory;
  memset(args, 0, sizeof *args);
  args->program = program;
  args->argc = argc;
  args->argv = argv;
  args->next = 1;
}

void *tool_calloc(size_t count, size_t size) {
  if (count == 0 || size == 0) count = size = 1; // calloc(0) may legally give null
  void *p = kpm_calloc(count, size);             // calloc refuses a product that overflows
  if (!p) tool_out_of_memory();
  return p;
}

void *tool_grow(void *old, size_t keep, size_t *cap, size_t need) {
  size_t n = *cap ? *cap : 64;
  while (n < need) {
    if (n > ((size_t)-1) / 4) tool_out_of_memory();
    n *= 2;
  }
  void *p = tool_calloc(n, 1);
  if (keep) memcpy(p, old, keep);
  free(old);
  *cap = n;
  return p;
}

int tool_check_input(const char *path) {
  if (strcmp(path, "-") == 0) return 0;
  struct stat st;
  if (stat(path, &st) != 0) {
    tool_error("cannot read %s: %s", path, strerror(errno));
    return TOOL_TROUBLE;
  }
  if (S_ISDIR(st.st_mode)) {
    tool_error("cannot read %s: it is a folder", path);
    return TOOL_TROUBLE;
  }
  FILE *probe = fopen(path, "r");
  if (!probe) {
    tool_error("cannot read %s: %s", path, strerror(errno));
    return TOOL_TROUBLE;
  }
  fclose(probe);
  return 0;
}

int tool_load_study(LoadStudy *z, const char *path) {
  memset(z, 0, sizeof *z);
  z->xmlfile = (char *)path;
  init_kpm(z);
  if (strcmp(path, "-") == 0) z->xmlstream = stdin;
  int status = read_study_file(z);
  if (status == 0) status = post_process_xml_file(z);
  if (status == 0) return TOOL_DONE;
  fprintf(stderr, " *** Error in read_xml_file(%d)\n", status);
  return status == 2 ? TOOL_TROUBLE : TOOL_BAD_INPUT; // 2: kpm cannot open the file
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

