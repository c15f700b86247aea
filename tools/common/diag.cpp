// Diagnostics and escaping: the lines of an input's problems, how a text of
// an input is shown in them, JSON texts, UTF-8.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/common/tool.h"

void csv_diag_init(CsvDiag *d, const char *file, FILE *stream) {
  memset(d, 0, sizeof *d);
  d->file = file;
  d->stream = stream;
}

static void diag_line(CsvDiag *d, const char *kind, const char *tail, long row, long column, const char *format,
                      va_list ap) {
  if (!d->stream) return;
  if (!d->held) {
    fprintf(d->stream, "%s:%ld:%ld: %s: ", d->file, row, column, kind);
    vfprintf(d->stream, format, ap);
    fprintf(d->stream, "%s\n", tail);
    return;
  }
  va_list copy;
  va_copy(copy, ap);
  int head = snprintf(nullptr, 0, "%s:%ld:%ld: %s: ", d->file, row, column, kind);
  int body = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  size_t n = (size_t)head + (size_t)body + strlen(tail) + 1;
  if (d->held_length + n + 1 > d->held_text_cap)
    d->held_text = (char *)tool_grow(d->held_text, d->held_length, &d->held_text_cap, d->held_length + n + 1);
  char *o = d->held_text + d->held_length;
  snprintf(o, (size_t)head + 1, "%s:%ld:%ld: %s: ", d->file, row, column, kind);
  vsnprintf(o + head, (size_t)body + 1, format, ap);
  snprintf(o + head + body, strlen(tail) + 2, "%s\n", tail);
  if ((d->nbr_held + 1) * sizeof(CsvHeldLine) > d->held_cap)
    d->held_lines = (CsvHeldLine *)tool_grow(d->held_lines, d->nbr_held * sizeof(CsvHeldLine), &d->held_cap,
                                            (d->nbr_held + 1) * sizeof(CsvHeldLine));
  CsvHeldLine *l = &d->held_lines[d->nbr_held++];
  l->row = row;
  l->column = column;
  l->offset = d->held_length;
  l->length = n;
  d->held_length += n;
}

void csv_diag_error(CsvDiag *d, long row, long column, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  diag_line(d, "error", "", row, column, format, ap);
  va_end(ap);
  d->errors++;
}

void csv_diag_warning(CsvDiag *d, long row, long column, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  diag_line(d, d->werror ? "error" : "warning", d->werror ? " [--werror]" : "", row, column, format, ap);
  va_end(ap);
  if (d->werror)
    d->errors++;
  else
    d->warnings++;
}

void csv_diag_note(CsvDiag *d, long row, long column, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  diag_line(d, "note", "", row, column, format, ap);
  va_end(ap);
  d->notes++;
}

void csv_diag_hold(CsvDiag *d) { d->held = 1; }

// The lines' order: by place, then as found (their offsets rise as they come).
static int compare_held(const void *a, const void *b) {
  const CsvHeldLine *x = (const CsvHeldLine *)a, *y = (const CsvHeldLine *)b;
  if (x->row != y->row) return x->row < y->row ? -1 : 1;
  if (x->column != y->column) return x->column < y->column ? -1 : 1;
  return (x->offset > y->offset) - (x->offset < y->offset);
}

void csv_diag_release(CsvDiag *d) {
  if (d->nbr_held) {
    qsort(d->held_lines, d->nbr_held, sizeof(CsvHeldLine), compare_held);
    for (size_t i = 0; i < d->nbr_held; i++)
      fwrite(d->held_text + d->held_lines[i].offset, 1, d->held_lines[i].length, d->stream);
  }
  free(d->held_lines);
  free(d->held_text);
  d->held_lines = nullptr;
  d->held_text = nullptr;
  d->nbr_held = d->held_cap = d->held_length = d->held_text_cap = 0;
  d->held = 0;
}

// Bytes of a cell shown in a message before it is cut short: enough to
// recognise it, never a 10 MB line.
static const size_t DIAG_TEXT_SHOWN = 40;

// Code points that a terminal does not show as they are: they reorder the
// text around them, break its line or are invisible.
static int is_hidden_code_point(unsigned c) {
  return (c >= 0x80 && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 ||
         c == 0x2029 || c == 0xfeff;
}

size_t diag_shown_char(const char *s, size_t length, char *out, size_t *written) {
  unsigned char c = (unsigned char)s[0];
  if (c == '\n' || c == '\r' || c == '\t') {
    out[0] = '\\';
    out[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
    *written = 2;
    return 1;
  }
  if (c < 0x20 || c == 0x7f) {
    *written = (size_t)snprintf(out, DIAG_CHAR_MAX + 1, "\\x%02x", c);
    return 1;
  }
  if (c < 0x80) {
    out[0] = (char)c;
    *written = 1;
    return 1;
  }
  // A sequence is judged on the bytes of the text only, never past its end.
  unsigned char seq[5] = {0, 0, 0, 0, 0};
  memcpy(seq, s, length < 4 ? length : 4);
  int n = utf8_sequence_length(seq);
  if (n == 0) {
    *written = (size_t)snprintf(out, DIAG_CHAR_MAX + 1, "\\x%02x", c);
    return 1;
  }
  unsigned code = utf8_code_point(seq, n);
  if (is_hidden_code_point(code)) {
    *written = (size_t)snprintf(out, DIAG_CHAR_MAX + 1, "\\u%04x", code);
  } else {
    memcpy(out, s, (size_t)n);
    *written = (size_t)n;
  }
  return (size_t)n;
}

const char *csv_diag_text(char *buf, size_t n, const char *s, size_t length) {
  size_t o = 0;
  size_t i = 0;
  while (i < length && o + DIAG_CHAR_MAX + 4 < n) {
    char one[DIAG_CHAR_MAX + 1];
    size_t w = 0;
    size_t took = diag_shown_char(s + i, length - i, one, &w);
    if (i + took > DIAG_TEXT_SHOWN) break;
    memcpy(buf + o, one, w);
    o += w;
    i += took;
  }
  if (i < length) {
    memcpy(buf + o, "...", 3);
    o += 3;
  }
  buf[o] = '\0';
  return buf;
}

void json_put_text(FILE *f, const char *s) {
  putc('"', f);
  for (; *s; s++) {
    unsigned char c = (unsigned char)*s;
    if (c == '"' || c == '\\')
      fprintf(f, "\\%c", c);
    else if (c == '\n')
      fputs("\\n", f);
    else if (c == '\t')
      fputs("\\t", f);
    else if (c == '\r')
      fputs("\\r", f);
    else if (c < 0x20 || c == 0x7f)
      fprintf(f, "\\u%04x", c);
    else if (c < 0x80)
      putc(c, f);
    else {
      // JSON is UTF-8: a byte outside a well-formed sequence becomes U+FFFD.
      int n = utf8_sequence_length((const unsigned char *)s);
      if (n == 0)
        fputs("\\ufffd", f);
      else
        fwrite(s, 1, (size_t)n, f);
      if (n > 1) s += n - 1;
    }
  }
  putc('"', f);
}

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
