// The command line and the study side's string copy.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "xml/xmlentity.h"

char *copystring(const char *s) {
  if (!s) return nullptr;
  size_t n = strlen(s);
  char *copy = (char *)model_take(n + 1);
  if (!copy) kpm_out_of_memory(" *** ERROR: Out of memory in copystring\n");
  memcpy(copy, s, n + 1);
  return copy;
}

void process_command_line(LoadStudy *z, int argc, char **argv) {
  z->xmlfile = nullptr;
  z->outfile = nullptr;
  z->debug = 0;
  for (int i = 1; i < argc; i++) {
    char *arg = argv[i];
    if (arg[0] != '-') {
      if (z->xmlfile) {
        fprintf(stderr, " *** Error: Multiple input files specified (%s %s)\n", z->xmlfile, arg);
        exit(1);
      }
      z->xmlfile = arg;
      continue;
    }
    // Only the letter after the dash counts; the rest of -o is the path, as written.
    switch (tolower((unsigned char)arg[1])) {
    case 'o':
      // A later -o replaces an earlier one; the earlier copy is abandoned.
      z->outfile = copystring(arg + 2);
      break;
    case 'd':
      z->debug = 1;
      break;
    default:
      fprintf(stderr, " *** Warning: unknown command line option (%s)\n", arg);
      break;
    }
  }
}
