// The command line and the study side's string copy.
#ifndef KPM_DRIVER_DRIVER_H
#define KPM_DRIVER_DRIVER_H

#include "study/study.h"

// Fills xmlfile, outfile and debug of z from the arguments. A second input
// path prints its line and ends the process with status 1.
void process_command_line(LoadStudy *z, int argc, char **argv);

// Heap copy of s (null for null). Out of memory: message, exit(1).
char *copystring(const char *s);

#endif
