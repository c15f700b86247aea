// The load calculation, the results report and the debug dump of the study.
// They read the prepared model and never the XML.
#ifndef KPM_CALC_CALC_H
#define KPM_CALC_CALC_H

#include <cstdio>

#include "calc/output_file.h" // how the report file is written: one rule with the companion programs' outputs
#include "study/study.h"

// Program version, written in the report header: KPM_VERSION, defined by the
// build from the project's version.
#ifndef KPM_VERSION
#error "KPM_VERSION is defined by the build (project(VERSION) in CMakeLists.txt)"
#endif
// Build date in the report header ("Mmm dd yyyy", day padded with a blank).
#define KPM_BUILD_DATE __DATE__
// kW: a load whose load-factor load is at or below this is idle under a pair,
// so it adds nothing to the totals and gets no operating factor.
const double KPM_RUNNING_THRESHOLD = 1e-5;

// Fills the figures of every Results record and of the load factors it holds.
// 0 on success; 1 for a null study or an empty results list (with its line).
int calc_kpm(LoadStudy *z);

// Writes the report to z->outfile, or to standard output when it is null.
// The file is written by the rule of output_open (calc/output_file.h): an
// existing report is replaced only once the new one is complete. A report
// file that cannot be opened, written or closed prints its line and ends the
// process with status 1, the previous report left as it was where it was
// replaced through a temporary file.
void print_results(LoadStudy *z);


#endif
