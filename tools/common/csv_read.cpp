// The CSV reader: one pass over the bytes, each copied once into the
// current record's texts.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/common/csv_read.h"
#include "tools/common/tool.h"
#include "xml/xmlentity.h"

static int read_more(CsvReader *r);

// The encoding of a list saved as UTF-16 or UTF-32, from its first bytes:
// a byte-order mark, or the NUL bytes of ASCII text in wide characters.
// Null for anything else.
static const char *wide_encoding(const unsigned char *b, size_t n) {
  if (n >= 4 && memcmp(b, "\xff\xfe\0\0", 4) == 0) return "UTF-32 (little-endian)";
  if (n >= 4 && memcmp(b, "\0\0\xfe\xff", 4) == 0) return "UTF-32 (big-endian)";
  if (n >= 2 && b[0] == 0xff && b[1] == 0xfe) return "UTF-16 (little-endian)";
  if (n >= 2 && b[0] == 0xfe && b[1] == 0xff) return "UTF-16 (big-endian)";
  if (n < 4) return nullptr;
  if (b[0] && !b[1] && !b[2] && !b[3]) return "UTF-32 (little-endian)";
  if (!b[0] && !b[1] && !b[2] && b[3]) return "UTF-32 (big-endian)";
  if (b[0] && !b[1] && b[2] && !b[3]) return "UTF-16 (little-endian)";
  if (!b[0] && b[1] && !b[2] && b[3]) return "UTF-16 (big-endian)";
  return nullptr;
}

void csv_open(CsvReader *r, FILE *in, CsvDiag *diag) {
  memset(r, 0, sizeof *r);
  r->in = in;
  r->diag = diag;
  r->separator = ',';
  r->buf = (unsigned char *)tool_grow(nullptr, 0, &r->cap, CSV_READ_CHUNK);
  r->text = (char *)tool_grow(nullptr, 0, &r->text_cap, 256);
  r->fields = (CsvField *)tool_grow(nullptr, 0, &r->fields_cap, 16 * sizeof(CsvField));
  r->fields_cap /= sizeof(CsvField);
  // The byte-order mark a spreadsheet may write before the first field.
  while (r->len < 4 && read_more(r)) {
  }
  if (r->len >= 3 && memcmp(r->buf, "\xef\xbb\xbf", 3) == 0) r->pos = 3;
  r->encoding = wide_encoding(r->buf, r->len);
  if (r->encoding) {
    csv_diag_error(diag, 1, 1, "the list is saved as %s text; save it as UTF-8 CSV", r->encoding);
    r->broken = 1;
  }
}

void csv_close(CsvReader *r) {
  free(r->buf);
  free(r->text);
  free(r->fields);
  memset(r, 0, sizeof *r);
}

// Reads more of the stream behind the bytes not yet parsed, keeping them.
// 0 when the stream has no more.
static int read_more(CsvReader *r) {
  if (r->at_end) return 0;
  if (r->pos > 0 && r->pos == r->len) {
    r->pos = r->len = 0;
  } else if (r->len == r->cap) {
    if (r->pos > r->cap / 2) {
      memmove(r->buf, r->buf + r->pos, r->len - r->pos);
      r->len -= r->pos;
      r->pos = 0;
    } else {
      r->buf = (unsigned char *)tool_grow(r->buf, r->len, &r->cap, r->cap * 2);
    }
  }
  size_t room = r->cap - r->len;
  if (room > CSV_READ_CHUNK) room = CSV_READ_CHUNK;
  size_t got = fread(r->buf + r->len, 1, room, r->in);
  if (got == 0) {
    if (ferror(r->in)) r->read_fail = 1;
    r->at_end = 1;
    return 0;
  }
  r->len += got;
  return 1;
}

// The next byte without taking it, or -1 at the end of the input.
static inline int peek(CsvReader *r) {
  if (r->pos == r->len && !read_more(r)) return -1;
  return r->buf[r->pos];
}

int csv_sniff_separator(CsvReader *r) {
  if (r->encoding) return ',';
  long count[3] = {0, 0, 0}; // comma, semicolon, tab
  size_t i = r->pos;
  int quoted = 0;
  int seen = 0; // the record has a byte other than a line end
  for (;;) {
    if (i == r->len) {
      // read_more may move the unread bytes to the front.
      size_t from = i - r->pos;
      if (!read_more(r)) break;
      i = r->pos + from;
    }
    unsigned char c = r->buf[i++];
    if (quoted) {
      if (c == '"') quoted = 0; // a doubled quote reopens at once
      continue;
    }
    if (c == '"') {
      quoted = 1;
    } else if (c == '\n' || c == '\r') {
      if (seen) break;
    } else {
      seen = 1;
      if (c == ',') count[0]++;
      if (c == ';') count[1]++;
      if (c == '\t') count[2]++;
    }
  }
  if (count[1] > count[0] && count[1] >= count[2]) return ';';
  if (count[2] > count[0] && count[2] > count[1]) return '\t';
  return ',';
}

static inline void append(CsvReader *r, const void *s, size_t n) {
  if (r->text_length + n + 1 > r->text_cap)
    r->text = (char *)tool_grow(r->text, r->text_length, &r->text_cap, r->text_length + n + 1);
  memcpy(r->text + r->text_length, s, n);
  r->text_length += n;
}

static void begin_field(CsvReader *r) {
  if (r->nbr_fields == r->fields_cap) {
    size_t bytes = r->fields_cap * sizeof(CsvField);
    r->fields = (CsvField *)tool_grow(r->fields, bytes, &bytes, bytes * 2);
    r->fields_cap = bytes / sizeof(CsvField);
  }
  CsvField *f = &r->fields[r->nbr_fields++];
  f->offset = r->text_length;
  f->length = 0;
  f->quoted = 0;
}

static void end_field(CsvReader *r) {
  CsvField *f = &r->fields[r->nbr_fields - 1];
  f->length = r->text_length - f->offset;
  append(r, "", 1); // the terminating NUL, not counted in the length
}

// Copies bytes up to the next separator, line end or quote (when stop_at_quote)
// into the field. Returns the byte that stopped it (not taken), or -1.
static int copy_run(CsvReader *r, int stop_at_quote) {
  for (;;) {
    if (r->pos == r->len && !read_more(r)) return -1;
    const unsigned char *p = r->buf + r->pos;
    const unsigned char *end = r->buf + r->len;
    const unsigned char *q = p;
    if (stop_at_quote) {
      while (q < end && *q != '"') q++;
    } else {
      int sep = r->separator;
      while (q < end && *q != sep && *q != '\n' && *q != '\r') q++;
    }
    append(r, p, (size_t)(q - p));
    r->pos += (size_t)(q - p);
    if (q < end) return *q;
  }
}

int csv_read_record(CsvReader *r) {
  if (r->broken) return 0;
  if (peek(r) < 0) return 0;
  r->row++;
  r->nbr_fields = 0;
  r->text_length = 0;
  for (;;) {
    begin_field(r);
    long column = (long)r->nbr_fields;
    int c = peek(r);
    if (c == '"') {
      r->pos++;
      r->fields[r->nbr_fields - 1].quoted = 1;
      for (;;) {
        c = copy_run(r, 1);
        if (c < 0) {
          csv_diag_error(r->diag, r->row, column, "the quoted cell is not closed before the end of the list");
          r->broken = 1;
          end_field(r);
          return 1;
        }
        r->pos++; // the quote
        if (peek(r) != '"') break;
        r->pos++;
        append(r, "\"", 1);
      }
      // Blanks after the closing quote are dropped; anything else is kept,
      // but it shows quoting gone wrong.
      for (c = peek(r); (c == ' ' || c == '\t') && c != r->separator; c = peek(r)) r->pos++;
      if (c >= 0 && c != r->separator && c != '\n' && c != '\r') {
        csv_diag_error(r->diag, r->row, column, "text after the closing quote of the cell");
        c = copy_run(r, 0);
      }
    } else {
      // A quote inside an unquoted cell is an ordinary character (12" pipe).
      c = copy_run(r, 0);
    }
    end_field(r);
    if (c < 0) return 1;
    r->pos++;
    if (c == r->separator) continue;
    if (c == '\r' && peek(r) == '\n') r->pos++;
    return 1;
  }
}

int csv_record_is_blank(const CsvReader *r) {
  for (size_t i = 0; i < r->nbr_fields; i++)
    if (r->fields[i].length) return 0;
  return 1;
}
