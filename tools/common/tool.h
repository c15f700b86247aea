// What the companion programs (kpm-check, kpm-import, kpm-export,
// kpm-summary) share: their messages, the study read through kpm's own
// reader and preparation, standard input as "-", output files that appear
// whole or not at all, and CSV as RFC 4180 writes it. Each program is one
// source file beside this.
#ifndef KPM_TOOLS_COMMON_TOOL_H
#define KPM_TOOLS_COMMON_TOOL_H

#include <cstddef>
#include <cstdio>

#include "calc/output_file.h"
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

// 1 when both paths name one existing file, under any spelling or link; "-"
// as b is standard input, which counts only when it is a regular file.
int tool_same_file(const char *a, const char *b);
// 1 when two output paths lead to one place: one existing file under any
// spelling or link ("-" is standard output's file), or, for files that do
// not exist yet, one name in one folder.
int tool_same_output(const char *a, const char *b);
// 1 when path is "-" or names the file that standard output is.
int tool_output_is_stdout(const char *path);

// The path of a copy of standard input, made in TMPDIR on the first call
// and removed when the program ends: a study given as "-" is read from it,
// as often as needed. Null after an error line.
const char *tool_stdin_copy(void);

// An output by the one rule of calc/output_file.h: it appears whole or not
// at all. "-" (or null) is standard output, and so is a path to standard
// output's own file (/dev/stdout, or the file it is sent to).
struct ToolOutput {
  FILE *f;          // where to write
  char *path;       // the target as given; null for standard output
  const char *temp; // the temporary file the output goes to until committed; null when written directly
  int is_stdout;
  OutputFile file;
};
// Opens path for writing. 0 on success; otherwise an error line and
// TOOL_USAGE_OR_IO: a folder, an existing file that the shell's ">" could not
// open ("cannot write FILE: Permission denied"), and an output that is the
// same file as input (may be null; "-" is standard input), so that nothing
// the program reads is destroyed.
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
