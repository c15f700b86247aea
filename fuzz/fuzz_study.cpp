// The whole reading stage on arbitrary bytes as a study file: read, prepare,
// calculate and write the report to a throwaway stream. The first byte
// chooses the debug switch; the rest is the study file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "calc/calc.h"
#include "driver/driver.h"
#include "study/study.h"
#include "xml/xmlentity.h"

static char path[64];

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  snprintf(path, sizeof path, "/tmp/kpm-fuzz-study-%ld.xml", (long)getpid());
  if (!freopen("/dev/null", "w", stdout)) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  FILE *f = fopen(path, "wb");
  if (!f) return 0;
  fwrite(data + 1, 1, size - 1, f);
  fclose(f);

  xml_verbose_off();
  LoadStudy z;
  memset(&z, 0, sizeof z);
  z.xmlfile = path;
  z.debug = data[0] & 1;
  z.outfile = copystring("/dev/null");
  init_kpm(&z);
  if (read_xml_file(&z) == 0 && calc_kpm(&z) == 0) print_results(&z);
  // The program keeps its model until exit; here many studies share a process.
  release_study_memory();
  return 0;
}
