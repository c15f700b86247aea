// PLACEHOLDER until the study dump lands.
#include "calc/calc.h"

void print_study(FILE *stream, LoadStudy *z) {
  (void)stream;
  (void)z;
}
