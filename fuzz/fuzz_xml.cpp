// The XML reader on arbitrary bytes: read, lower-case, print and release.
// The first byte chooses whether the reader traces; the rest is the document.
#include <cstdint>
#include <cstdio>

#include "xml/xmlentity.h"

static FILE *sink;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  sink = fopen("/dev/null", "w");
  // The traces go to standard output; keep the fuzzer's console readable.
  if (!freopen("/dev/null", "w", stdout)) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1)
    xml_verbose_on();
  else
    xml_verbose_off();
  data++;
  size--;
  FILE *in = size ? fmemopen((void *)data, size, "r") : fopen("/dev/null", "r");
  if (!in) return 0;
  int err = 0;
  XMLENTITY *doc = readfile_XMLENTITY(in, &err);
  fclose(in);
  if (err < XML_OK || err > XML_OVERRUN) __builtin_trap();
  lowercase_XMLENTITY(doc, 1);
  for (XMLENTITY *e = doc; e; e = e->next) print_XMLENTITY(sink, e, 0);
  free_XMLENTITY(doc);
  return 0;
}
