// Helpers of the XML reader tests: streams from strings, and trees as short strings.
#ifndef KPM_TESTS_XML_XML_TEST_SUPPORT_H
#define KPM_TESTS_XML_XML_TEST_SUPPORT_H

#include <cstdio>
#include <string>

#include "xml/xmlentity.h"

namespace xmltest {

// A stream that reads exactly the bytes of text (NUL bytes included).
// buffer: the stream's buffer size, up to 128 bytes; 0 for the library's own
// choice. One stream with a small buffer at a time.
inline FILE *open_text(const std::string &text, size_t buffer = 0) {
  static char small_buffer[128];
  FILE *f = tmpfile();
  if (!f) return nullptr;
  if (buffer) setvbuf(f, small_buffer, _IOFBF, buffer < sizeof small_buffer ? buffer : sizeof small_buffer);
  fwrite(text.data(), 1, text.size(), f);
  rewind(f);
  return f;
}

// Everything left in the stream; closes it.
inline std::string rest_of(FILE *f) {
  std::string out;
  int c;
  while ((c = fgetc(f)) != EOF) out += (char)c;
  fclose(f);
  return out;
}

inline std::string attrs_of(const XMLENTITY *e) {
  std::string out;
  for (const XMLENTITY *a = e->attr; a; a = a->next) {
    if (!out.empty()) out += ";";
    out += a->name ? a->name : "(null)";
    if (a->data) out += std::string("=") + a->data;
  }
  return out;
}

// A list as "name<attrs>{data}[children], next...": parts that are null or empty are left out.
inline std::string describe(const XMLENTITY *e) {
  std::string out;
  for (; e; e = e->next) {
    if (!out.empty()) out += ", ";
    out += e->name ? e->name : "(null)";
    if (e->attr) out += "<" + attrs_of(e) + ">";
    if (e->data) out += std::string("{") + e->data + "}";
    if (e->child) out += "[" + describe(e->child) + "]";
  }
  return out;
}

inline std::string repeat(const std::string &s, int n) {
  std::string out;
  out.reserve(s.size() * (size_t)n);
  for (int i = 0; i < n; i++) out += s;
  return out;
}

} // namespace xmltest

#endif
