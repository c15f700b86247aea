// Entry point: reads the command line, then runs the stages once, in order.
#include <cstdio>
#include <cstdlib>

#include "calc/calc.h"
#include "driver/driver.h"
#include "study/study.h"
#include "xml/xmlentity.h"

int main(int argc, char **argv) {
  // The model is never freed: the process exit releases it. Static storage
  // keeps it reachable until then, so leak checkers can tell it from a leak.
  static LoadStudy study;
  LoadStudy *z = &study;

  process_command_line(z, argc, argv);

  printf("Iniitalizing ...\n");
  fflush(stdout);
  if (init_kpm(z) != 0) {
    fprintf(stderr, " *** Error in init_kpm()\n");
    exit(1);
  }

  printf("Reading XML FIle %s\n", str_or_null(z->xmlfile));
  fflush(stdout);
  int status = read_xml_file(z);
  if (status != 0) {
    fprintf(stderr, " *** Error in read_xml_file(%d)\n", status);
    exit(1);
  }

  printf("Calculating Results\n");
  fflush(stdout);
  if (calc_kpm(z) != 0) {
    fprintf(stderr, " *** Error in calc_kpm()\n");
    exit(1);
  }

  printf("Printing Results\n");
  fflush(stdout);
  print_results(z);

  printf("Done\n");
  // A report or progress line that never reached standard output is a failed run.
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, " *** ERROR: Unable to write to standard output\n");
    exit(1);
  }
  return 0;
}
