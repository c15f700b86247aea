// The whole reading stage on arbitrary bytes as a study file: read, prepare,
// calculate and write the report to a throwaway stream. The first byte
// chooses the debug switch; the rest is the study file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "calc/calc.h"
#include "study/study.h"
#include "xml/xmlentity.h"

static char path[64];

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  snprintf(path, sizeof path, "/tmp/kpm-fuzz-study-%ld.xml", (long)getpid());
  if (!freopen("/dev/null", "w", stdout)) return 1;
  return 0;
}

// The program keeps its model until exit; the fuzzer runs many studies in one
// process, so it releases each one itself.
static void free_study(LoadStudy *z) {
  free(z->name);
  for (OperationalCondition *oc = z->oc, *next; oc; oc = next) {
    next = oc->next;
    free(oc->name);
    free(oc);
  }
  for (AmbientCondition *ac = z->ac, *next; ac; ac = next) {
    next = ac->next;
    free(ac->name);
    free(ac);
  }
  for (Load *ld = z->ld, *next; ld; ld = next) {
    next = ld->next;
    for (LoadFactor *lf = ld->lf, *lnext; lf; lf = lnext) {
      lnext = lf->next;
      free(lf->oc_name);
      free(lf->ac_name);
      free(lf);
    }
    free(ld->name);
    free(ld->swbs);
    free(ld);
  }
  for (Results *r = z->r, *next; r; r = next) {
    next = r->next;
    free(r->lfs);
    free(r);
  }
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
  z.outfile = strdup("/dev/null");
  init_kpm(&z);
  if (read_xml_file(&z) == 0 && calc_kpm(&z) == 0) print_results(&z);
  free(z.outfile);
  free_study(&z);
  return 0;
}
