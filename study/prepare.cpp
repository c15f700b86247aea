// PLACEHOLDER until the study preparation lands.
#include <cstdio>

#include "study/study.h"

int post_process_xml_file(LoadStudy *z) {
  if (!z->oc) {
    fprintf(stderr, " *** ERROR: No Operational Conditions defined\n");
    return 1;
  }
  return 0;
}
