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

#include "tools/common/diag.h"

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
