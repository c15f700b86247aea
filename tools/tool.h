// What the companion programs (kpm-check, kpm-import, kpm-export,
// kpm-summary) share: their messages, the study read through kpm's own
// reader and preparation, output files that appear whole or not at all, and
// CSV as RFC 4180 writes it. Each program is one source file beside this.
#ifndef KPM_TOOLS_TOOL_H
#define KPM_TOOLS_TOOL_H

#include <cstddef>
#include <cstdio>

#include "study/study.h"

// Exit statuses that scripts can branch on.
enum {
  TOOL_DONE = 0,       // done; warnings allowed
  TOOL_BAD_INPUT = 1,  // the input has errors (each reported)
  TOOL_USAGE_OR_IO = 2 // a usage error, or a file that cannot be read or written
};

// Version of the suite, the same for every program and the report header.
extern const char *const TOOL_VERSION;

// Names the program in its messages ("kpm-import: error: ..."). Call first.
void tool_set_program(const char *name);
const char *tool_program(void);
// "PROGRAM: error: MESSAGE\n" on standard error, printf style.
void tool_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "PROGRAM: warning: MESSAGE\n" on standard error, printf style.
void tool_warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "PROGRAM VERSION\n" on standard output (--version).
void tool_print_version(void);
// The last lines of every program's --help: where to report problems.
void tool_print_help_end(void);
// Flushes standard output; a failed write is an error line and status 2.
// Returns status unless the flush failed.
int tool_finish_stdout(int status);

// Reads, maps and prepares the study file path into z exactly as kpm does,
// without its progress lines. 0 when the study is ready; otherwise kpm's own
// status, after kpm's own lines on standard error (the stage's line, then
// " *** Error in read_xml_file(%d)"). Call release_study_memory between studies.
int tool_load_study(LoadStudy *z, const char *path);

// 1 when both paths name one existing file, under any spelling or link.
int tool_same_file(const char *a, const char *b);

// An output that appears whole or not at all: a file is written to a
// temporary file beside it and renamed into place when complete; "-" (or
// null) is standard output; a device or pipe (/dev/null) is written in place.
struct ToolOutput {
  FILE *f;      // where to write
  char *path;   // the target; null for standard output
  char *temp;   // the temporary file, until committed
  int is_stdout;
};
// Opens path for writing. 0 on success; otherwise an error line and
// TOOL_USAGE_OR_IO. An output that is the same file as input (may be null)
// is refused, so that nothing the program reads is destroyed.
int tool_output_open(ToolOutput *o, const char *path, const char *input);
// Completes the output: flushes it, and renames a file into place. 0 on
// success; otherwise an error line, the target left as it was, and
// TOOL_USAGE_OR_IO.
int tool_output_commit(ToolOutput *o);
// Abandons the output: a temporary file is removed, the target left as it was.
void tool_output_discard(ToolOutput *o);

// CSV as RFC 4180: rows end with CRLF, fields are separated by commas.
// A text field, always quoted, embedded quotes doubled.
void csv_put_text(FILE *f, const char *s);
// A number with the fewest digits that read back to the same double.
void csv_put_real(FILE *f, double v);
// The separator before every field but the first of a row.
void csv_put_separator(FILE *f);
void csv_end_row(FILE *f);
// The fewest digits that read back (strtod) to v, into buf of size n
// (32 is always enough). Returns the length.
int format_shortest_real(char *buf, size_t n, double v);
const size_t SHORTEST_REAL_SIZE = 32;

// Length of the well-formed UTF-8 sequence at p (1 to 4), or 0 when p does
// not start one. The text ends at a NUL, which never continues a sequence.
int utf8_sequence_length(const unsigned char *p);
// Code point of a sequence of length n that utf8_sequence_length accepted.
unsigned utf8_code_point(const unsigned char *p, int n);

#endif
