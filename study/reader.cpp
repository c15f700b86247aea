// PLACEHOLDER until the study file reader lands: only names the missing file.
#include <cstdio>

#include "study/study.h"

int read_xml_file(LoadStudy *z) {
  if (!z) {
    fprintf(stderr, " *** ERROR: Null pointer in read_xml_FILE (-1)\n");
    return -1;
  }
  if (!z->xmlfile) {
    fprintf(stderr, " *** ERROR: input xml file not specified on command line (1)\n");
    return 1;
  }
  FILE *f = fopen(z->xmlfile, "r");
  if (!f) {
    fprintf(stderr, " *** ERROR: unable to open input xml file (%s) (2)\n", z->xmlfile);
    return 2;
  }
  fclose(f);
  printf("Preparing input for calculations\n");
  return post_process_xml_file(z);
}
