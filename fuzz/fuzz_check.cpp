// kpm-check against kpm on arbitrary bytes as a study file: the checker must
// report at least one error exactly when kpm's reading stage refuses the file.
// The first byte is ignored (the seeds carry the debug byte of fuzz_study).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "study/study.h"
#include "tools/check/check.h"
#include "tools/common/tool.h"
#include "xml/xmlentity.h"

static char path[64];

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  snprintf(path, sizeof path, "/tmp/kpm-fuzz-check-%ld.xml", (long)getpid());
  set_calc_workers(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  FILE *f = fopen(path, "wb");
  if (!f) return 0;
  fwrite(data + 1, 1, size - 1, f);
  fclose(f);

  // kpm's own verdict, with kpm's reader as the program runs it.
  xml_positions = 0;
  LoadStudy z;
  int refused = tool_load_study(&z, path) != 0;
  release_study_memory();

  CheckResult r;
  if (check_study(path, &r) != 0) abort(); // the file was just written: it can be read
  int errors = r.errors > 0;
  for (long i = 0; i < r.count; i++)
    if (!r.d[i].message[0] || strchr(r.d[i].message, '\n') || r.d[i].line < 1 || r.d[i].column < 1) abort();
  free_check_result(&r);
  release_study_memory();
  if (refused != errors) {
    fprintf(stderr, "kpm %s the study, kpm-check found %s\n", refused ? "refused" : "accepted",
            errors ? "errors" : "none");
    abort();
  }
  return 0;
}
