// Test-only kpm: KPM_WORKERS=N in the environment fixes the number of threads
// that map, calculate and format the study (1: everything on one thread), so
// that whole runs can be compared across thread counts on any machine. The
// rest is kpm's own main, compiled under another name. Never installed.
#include <cstdlib>

#include "study/study.h"

int kpm_main(int argc, char **argv);

int main(int argc, char **argv) {
  const char *workers = getenv("KPM_WORKERS");
  if (workers) set_calc_workers(atoi(workers));
  return kpm_main(argc, argv);
}
