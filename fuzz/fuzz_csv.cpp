// The load-list import on arbitrary bytes: the CSV reader and every check of
// the list. A list that is refused has at least one error line; a list that
// is taken gives a study that kpm's own reader and preparation accept, with
// one load per copy of a row. The first byte chooses the separator (found
// from the header, or given) and the decimal mark (settled from the list, or
// given); the rest is the list.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "study/study.h"
#include "tools/lists/load_list.h"
#include "tools/common/tool.h"

static char path[64];
static FILE *diag_sink;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  snprintf(path, sizeof path, "/tmp/kpm-fuzz-csv-%ld.xml", (long)getpid());
  diag_sink = fopen("/dev/null", "w");
  static const ToolProgram program = {"fuzz_csv", "", "", nullptr, 0, nullptr};
  static ToolArgs args;
  tool_start(&program, &args, 0, nullptr);
  return diag_sink ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  static const int separators[4] = {0, ',', ';', '\t'};
  static const int marks[4] = {0, ',', '.', 0};
  ImportOptions options = {data[0] & 4 ? "" : "Fuzz", separators[data[0] & 3], marks[(data[0] >> 3) & 3]};
  FILE *in = size > 1 ? fmemopen((void *)(data + 1), size - 1, "rb") : fopen("/dev/null", "rb");
  FILE *out = fopen(path, "wb");
  if (!in || !out) abort();
  CsvDiag diag;
  csv_diag_init(&diag, "fuzz.csv", diag_sink);
  ImportCounts counts;
  int status = import_load_list(in, &diag, &options, out, &counts);
  fclose(in);
  if (fclose(out) != 0) abort();
  if (status != 0) {
    if (diag.errors == 0) abort(); // refused without saying why
    return 0;
  }
  if (diag.errors != 0) abort(); // errors, yet a study
  LoadStudy z;
  if (tool_load_study(&z, path) != 0) abort(); // a study that kpm refuses
  if (z.nbr_ld != counts.loads || z.nbr_oc != counts.operational || z.nbr_ac != counts.ambient) abort();
  release_study_memory();
  return 0;
}
