// CSV as RFC 4180 writes it, and numbers that read back exactly.
#include <charconv>
#include <cstdio>
#include <cstring>

#include "tools/common/tool.h"

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

