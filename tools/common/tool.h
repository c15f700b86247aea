// The shared layer of the companion programs (kpm-check, kpm-import,
// kpm-export, kpm-summary and those to come): who the program is, its
// options, help and exit statuses, its messages, memory, the study read as
// kpm reads it, inputs and outputs, and CSV as RFC 4180 writes it.
// Diagnostics at an input's places and the escaping of its texts are in
// tools/common/diag.h (included here), the CSV reader in
// tools/common/csv_read.h, names near one another in tools/common/similar.h.
//
// Each program is a folder beside this one (tools/check/, tools/lists/,
// tools/summary/, ...) with its main in kpm-NAME.cpp, which reads: its
// options (a table), the work, the exit status.
//
//   enum { OPT_OUTPUT = 1 };
//   static const ToolOption OPTIONS[] = {
//       {OPT_OUTPUT, 'o', "output", "FILE", 0, "write the list to FILE (default: standard output)"},
//   };
//   static const ToolProgram PROGRAM = {"kpm-export", "STUDY.xml", "Write the load list ...\n",
//                                       OPTIONS, sizeof OPTIONS / sizeof OPTIONS[0], nullptr};
//   int main(int argc, char **argv) {
//     ToolArgs a;
//     tool_start(&PROGRAM, &a, argc, argv);
//     for (int id; (id = tool_next_arg(&a)) != TOOL_ARGS_END;) {
//       if (id == TOOL_ARGS_STOP) return a.status; // --help, --version, or a usage error
//       if (id == OPT_OUTPUT) output = a.value;
//       if (id == TOOL_OPERAND) ...a.value...
//     }
//     ...
//     return tool_finish_stdout(status);
//   }
#ifndef KPM_TOOLS_COMMON_TOOL_H
#define KPM_TOOLS_COMMON_TOOL_H

#include <cstddef>
#include <cstdio>

#include "calc/output_file.h"
#include "study/study.h"
#include "tools/common/diag.h"

// ---------------------------------------------------------------- exit statuses

// The exit statuses that scripts branch on, the same in every program.
enum {
  TOOL_DONE = 0,      // done; warnings allowed
  TOOL_BAD_INPUT = 1, // the input has problems (a refused study, list errors, --werror warnings), each reported
  TOOL_TROUBLE = 2    // a usage error, or the system failed the run: a file that cannot be read or
                      // written, memory exhausted
  // The programs to come add theirs here, and their rows to TOOL_STATUSES:
  // kpm-size 3, a pair of conditions that the supply does not carry.
};

// What each status means, for the help and the manual pages. A row with a
// program's name words a status for that program alone; a row without one
// holds for every program that has no row of its own for the status. A
// program with a status of its own (kpm-size's 3) or another meaning of a
// common one (kpm-diff follows diff: 1 the revisions differ, 2 trouble) adds
// its rows here.
struct ToolStatus {
  int status;
  const char *program; // null: every program
  const char *meaning; // after the number in the help's "Exit status:" line
};
extern const ToolStatus TOOL_STATUSES[];
extern const size_t TOOL_NBR_STATUSES;
// The meaning of status for program (its own row, else the common one); null
// when the program has no such status.
const char *tool_status_meaning(const char *program, int status);

// ---------------------------------------------------------------- options

// One option of a program. --help (-h) and --version are every program's
// and are not in its table.
struct ToolOption {
  int id;                // what tool_next_arg returns for it: 1 or more, one per option
  char short_name;       // 'o' for -o, or 0
  const char *long_name; // "output" for --output, or null
  const char *value;     // the value's name in the help ("FILE"), or null when it takes none
  int value_optional;    // 1: the value may be left out; it is then given only as --name=VALUE
  const char *help;      // what it does, one line of the help (a "\n" starts a further line)
};

// A program as its help presents it.
struct ToolProgram {
  const char *name;     // "kpm-export": the program in every message
  const char *operands; // after "[OPTION]..." in the usage line: "STUDY.xml", "STUDY..."
  const char *about;    // what the program does: lines after the usage line, each ending in "\n"
  const ToolOption *options;
  size_t nbr_options;
  const char *notes; // lines after the options, each ending in "\n", longer ones wrapped (null: none)
};

// The command line as tool_next_arg walks it.
struct ToolArgs {
  const ToolProgram *program;
  int argc;
  char **argv;
  int next;          // the argument to look at next
  int options_done;  // after "--": every further argument is an operand
  const char *arg;   // the option as written (its name, "--output" or "-o") or the operand
  const char *value; // the option's value (null when it has none) or the operand
  int status;        // after TOOL_ARGS_STOP: the program's exit status
};

// What tool_next_arg returns besides an option's id.
enum {
  TOOL_ARGS_END = 0,  // no argument is left
  TOOL_ARGS_STOP = -1, // the run ends with args->status: --help or --version answered (0), a usage error (2)
  TOOL_OPERAND = -2    // an operand, in value ("-" alone is one: standard input or output)
};

// Starts a program: names it in every message, turns memory exhausted
// anywhere (the library included) into its one message and status, and
// readies args for tool_next_arg. Call first.
void tool_start(const ToolProgram *program, ToolArgs *args, int argc, char **argv);
// The next argument: an option's id with its value (--name=VALUE or
// --name VALUE; -oVALUE or -o VALUE), TOOL_OPERAND, TOOL_ARGS_END, or
// TOOL_ARGS_STOP after -h/--help (the help on standard output), --version,
// or a usage error (an unknown option, a value missing or given to an option
// that takes none) reported as tool_usage_error does. "--" ends the options.
int tool_next_arg(ToolArgs *args);
// The one form of a usage error: "PROGRAM: error: MESSAGE" and
// "Try 'PROGRAM --help'." on standard error. Returns TOOL_TROUBLE.
int tool_usage_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The help, made from the program's table: the usage line, what it does,
// one line per option, the notes, the exit statuses (from TOOL_STATUSES) and
// where to report problems.
void tool_print_help(FILE *f, const ToolProgram *program);

// ---------------------------------------------------------------- messages

// Version of the suite, the same for every program and the report header.
extern const char *const TOOL_VERSION;

// The program's name, as tool_start set it.
const char *tool_program(void);
// "PROGRAM: error: MESSAGE\n" on standard error, printf style.
void tool_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "PROGRAM: warning: MESSAGE\n" on standard error, printf style.
void tool_warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Flushes standard output; a failed write is an error line and TOOL_TROUBLE.
// Returns status unless the flush failed.
int tool_finish_stdout(int status);

// ---------------------------------------------------------------- memory

// Memory exhausted, wherever it is found: "PROGRAM: error: out of memory" on
// standard error, and the process ends with TOOL_TROUBLE (temporary output
// files removed, targets left as they were).
[[noreturn]] void tool_out_of_memory(void);
// count * size zero-filled bytes (kpm_calloc, so that the allocation-failure
// build can fail it); never null.
void *tool_calloc(size_t count, size_t size);
// A block of at least need bytes holding the first keep bytes of old, which
// is freed; *cap becomes its size. Sizes double, so that growing is linear.
void *tool_grow(void *old, size_t keep, size_t *cap, size_t need);

// ---------------------------------------------------------------- inputs

// 0 when the program can read path ("-", standard input, always);
// otherwise "cannot read PATH: REASON" ("it is a folder") and TOOL_TROUBLE.
int tool_check_input(const char *path);

// Reads, maps and prepares the study file path ("-": standard input) into z
// exactly as kpm does, without its progress lines. TOOL_DONE when the study
// is ready; otherwise, after kpm's own lines on standard error (the stage's
// line, then " *** Error in read_xml_file(%d)"), TOOL_BAD_INPUT when kpm
// refuses the study, TOOL_TROUBLE when the file cannot be opened. Call
// release_study_memory between studies.
int tool_load_study(LoadStudy *z, const char *path);

// The path of a copy of standard input, made in TMPDIR on the first call
// and removed when the program ends: a study given as "-" is read from it,
// as often as needed. Null after an error line.
const char *tool_stdin_copy(void);

// ---------------------------------------------------------------- outputs

// 1 when both paths name one existing file, under any spelling or link; "-"
// as b is standard input, which counts only when it is a regular file.
int tool_same_file(const char *a, const char *b);
// 1 when two output paths lead to one place: one existing file under any
// spelling or link ("-" is standard output's file), or, for files that do
// not exist yet, one name in one folder.
int tool_same_output(const char *a, const char *b);
// 1 when path is "-" or names the file that standard output is.
int tool_output_is_stdout(const char *path);

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
// TOOL_TROUBLE: a folder, an existing file that the shell's ">" could not
// open ("cannot write FILE: Permission denied"), and an output that is the
// same file as input (may be null; "-" is standard input), so that nothing
// the program reads is destroyed.
int tool_output_open(ToolOutput *o, const char *path, const char *input);
// Completes the output: flushes it, and renames a file into place. 0 on
// success; otherwise an error line, the target left as it was, and
// TOOL_TROUBLE.
int tool_output_commit(ToolOutput *o);
// Abandons the output: a temporary file is removed, the target left as it was.
void tool_output_discard(ToolOutput *o);

// ---------------------------------------------------------------- CSV

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

#endif
