// PLACEHOLDER until the load calculation lands.
#include <cstdio>

#include "calc/calc.h"

int calc_kpm(LoadStudy *z) {
  if (!z) return 1;
  if (!z->r) {
    fprintf(stderr, " *** ERROR: no results to calculate\n");
    return 1;
  }
  return 0;
}
