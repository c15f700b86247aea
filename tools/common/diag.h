// Diagnostics and escaping, for every companion program: the places of an
// input's problems ("FILE:ROW:COLUMN: error: MESSAGE"), the one rule by which
// a text from an input is shown in a message, JSON texts, and UTF-8.
#ifndef KPM_TOOLS_COMMON_DIAG_H
#define KPM_TOOLS_COMMON_DIAG_H

#include <cstddef>
#include <cstdio>

// A diagnostic kept back until its input is read (csv_diag_hold).
struct CsvHeldLine {
  long row, column;
  size_t offset, length; // of its line in CsvDiag::held_text
};

// Where the diagnostics of one input go, "FILE:ROW:COLUMN: error: MESSAGE",
// and how many there were.
struct CsvDiag {
  const char *file; // the input's name in messages
  FILE *stream;     // where the lines go (standard error in the programs)
  long errors;
  long warnings;
  long notes;
  int werror; // a warning is an error: "error: ... [--werror]", counted as one
  // While held: the lines, written in the order of their places by csv_diag_release.
  int held;
  CsvHeldLine *held_lines;
  size_t nbr_held, held_cap;
  char *held_text;
  size_t held_length, held_text_cap;
};

void csv_diag_init(CsvDiag *d, const char *file, FILE *stream);
// One line "FILE:ROW:COLUMN: error: MESSAGE" (printf style); counts it.
void csv_diag_error(CsvDiag *d, long row, long column, const char *format, ...) __attribute__((format(printf, 4, 5)));
// The same with "warning" (an error with werror).
void csv_diag_warning(CsvDiag *d, long row, long column, const char *format, ...) __attribute__((format(printf, 4, 5)));
// The same with "note": what was done with the input, which needs no change.
void csv_diag_note(CsvDiag *d, long row, long column, const char *format, ...) __attribute__((format(printf, 4, 5)));
// From now on the lines are kept (and counted) instead of written, for a
// reader that finds problems in more than one pass over its input.
void csv_diag_hold(CsvDiag *d);
// Writes the kept lines sorted by row, then column (lines of one place in
// the order in which they were found), and writes the next ones at once.
void csv_diag_release(CsvDiag *d);
// A cell's text as messages show it, into buf of size n: at most 40 bytes
// (then "..."), never cut inside a character, each character as
// diag_shown_char shows it. Returns buf.
const char *csv_diag_text(char *buf, size_t n, const char *s, size_t length);
const size_t CSV_DIAG_TEXT_SIZE = 200;

// One character of a text from an input as every diagnostic shows it, so
// that a message can neither play tricks on a terminal nor hide what the
// text holds: the bytes of a well-formed UTF-8 character stay as they are
// (a dash, a euro sign, a phi); line breaks and tabs become \n, \r and
// \t; other C0 control bytes and DEL become \xNN; the C1 controls (U+0080
// to U+009F), the bidirectional overrides and isolates (U+202A to U+202E,
// U+2066 to U+2069), the line and paragraph separators (U+2028, U+2029) and
// the byte-order mark (U+FEFF) become \uNNNN; a byte that belongs to no
// well-formed sequence becomes \xNN. Writes at most DIAG_CHAR_MAX bytes
// into out (room for one more, which may get a NUL) and sets *written;
// returns the bytes of s it takes (1 to 4; length is at least 1).
const size_t DIAG_CHAR_MAX = 6;
size_t diag_shown_char(const char *s, size_t length, char *out, size_t *written);

// A text as a JSON string, quotes included: quotes, backslashes and control
// characters escaped, a byte outside a well-formed UTF-8 sequence as U+FFFD.
void json_put_text(FILE *f, const char *s);

// Length of the well-formed UTF-8 sequence at p (1 to 4), or 0 when p does
// not start one. The text ends at a NUL, which never continues a sequence.
int utf8_sequence_length(const unsigned char *p);
// Code point of a sequence of length n that utf8_sequence_length accepted.
unsigned utf8_code_point(const unsigned char *p, int n);

#endif
