// A streaming reader of CSV as RFC 4180 and spreadsheets write it: quoted
// fields with doubled quotes and line breaks inside, CRLF, LF or a lone CR
// at the end of a record, a UTF-8 byte-order mark, and a comma, semicolon or
// tab between fields. It reads one record at a time, in time linear in the
// input, and knows no limit on the length of a field or the number of fields
// but memory. Every field knows its place as a spreadsheet shows it: the
// record's number (the first record is 1) and the field's (the first is 1).
#ifndef KPM_TOOLS_COMMON_CSV_READ_H
#define KPM_TOOLS_COMMON_CSV_READ_H

#include <cstddef>
#include <cstdio>

// A heap block (kpm_calloc) of at least need bytes holding the first keep
// bytes of old, which is freed; *cap becomes its size. Sizes double, so that
// growing is linear. Out of memory: "PROGRAM: error: out of memory", exit 1.
void *csv_grow(void *old, size_t keep, size_t *cap, size_t need);

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

// One field of the current record: its text is record text + offset,
// length bytes, NUL-terminated (it may hold NUL bytes of its own).
struct CsvField {
  size_t offset;
  size_t length;
  int quoted; // 1: written between quotes (so "" is an empty text, not an absent one)
};

struct CsvReader {
  FILE *in;
  CsvDiag *diag;
  int separator; // ',', ';' or '\t'
  // Input not yet parsed: bytes pos .. len of buf.
  unsigned char *buf;
  size_t len, pos, cap;
  int at_end;    // the stream has no more bytes
  int read_fail; // the stream reported a read error
  // The current record.
  long row;   // its number; 0 before the first
  char *text; // the texts of its fields, one after another
  size_t text_length, text_cap;
  CsvField *fields;
  size_t nbr_fields, fields_cap;
  int broken; // an unclosed quote swallowed the rest of the input
  // A list in UTF-16 or UTF-32 (by its byte-order mark or its NUL bytes):
  // its encoding, reported as an error at 1:1; nothing of it is read.
  const char *encoding;
};

// Size of each read from the stream.
const size_t CSV_READ_CHUNK = 65536;

// Starts reading in; a UTF-8 byte-order mark at the start is skipped, and a
// list in UTF-16 or UTF-32 is refused (see encoding). The
// separator is a comma until csv_sniff_separator or the caller sets it.
// Out of memory: "PROGRAM: error: out of memory", exit 1 (also below).
void csv_open(CsvReader *r, FILE *in, CsvDiag *diag);
// Looks ahead at the first record that is not blank and returns the most
// frequent of comma, semicolon and tab outside quotes in it (a comma when it
// has none; a tie goes to the comma, then the semicolon). Reads nothing away.
int csv_sniff_separator(CsvReader *r);
// Reads the next record into r->fields; 1 when there is one, 0 at the end of
// the input. A record always has at least one field. Problems of quoting
// are reported as errors on r->diag with their place: a quoted field that is
// not closed before the end of the input (the rest of the input is then its
// text, and it ends the reading) and text after a closing quote (kept as
// part of the field).
int csv_read_record(CsvReader *r);
// The text of field i of the current record.
inline const char *csv_field_text(const CsvReader *r, size_t i) { return r->text + r->fields[i].offset; }
// 1 when every field of the current record is empty.
int csv_record_is_blank(const CsvReader *r);
// Releases the reader's memory (not the stream).
void csv_close(CsvReader *r);

#endif
