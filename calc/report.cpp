// The results report: a header, then one block per pair of conditions.
#include <cstdio>
#include <cstdlib>

#include "calc/calc.h"
#include "xml/xmlentity.h"

// Room for any double in "%f": 309 integer digits, sign, point, 6 decimals, NUL.
static const int REAL_TEXT_SIZE = 320;

// The one place that turns a figure into report text ("%f": fixed, six decimals).
static const char *format_real(char *buf, double v) {
  snprintf(buf, REAL_TEXT_SIZE, "%f", v);
  return buf;
}

static void print_block(FILE *out, Results *rs) {
  char a[REAL_TEXT_SIZE], b[REAL_TEXT_SIZE], c[REAL_TEXT_SIZE], d[REAL_TEXT_SIZE], e[REAL_TEXT_SIZE],
      f[REAL_TEXT_SIZE];
  fprintf(out, "\n\"Operational_Condition\",\"%s\"\n", str_or_null(rs->oc ? rs->oc->name : nullptr));
  fprintf(out, "\"Ambient_Condition\",\"%s\"\n", str_or_null(rs->ac ? rs->ac->name : nullptr));
  fprintf(out, "\"Total_Connected_Load_KW\",%s\n", format_real(a, rs->total_connected_load));
  fprintf(out, "\"Total_Load_Factor_Load_KW\",%s\n", format_real(a, rs->total_lf_load));
  fprintf(out, "\"Zonal_Total_Operating_Load_KW\",%s\n", format_real(a, rs->total_operating_load));
  fprintf(out, "\"Total_lf\",%s\n", format_real(a, rs->total_lf));
  fprintf(out, "\"Total_kpm\",%s\n", format_real(a, rs->total_kpm));
  for (int i = 0; i < rs->nbr_lf; i++) {
    LoadFactor *lf = rs->lfs[i];
    Load *ld = lf->ld;
    fprintf(out, "\"SWBS\",\"%s\",\"%s\",\"Connected_Load_KW\",%s,\"Peak_fraction\",%s,\"LF\",%s,%s,\"KPM\",%s,%s\n",
            str_or_null(ld->swbs), str_or_null(ld->name), format_real(a, ld->connected_load),
            format_real(b, ld->peak_fraction), format_real(c, lf->loadfactor), format_real(d, lf->lf_load),
            format_real(e, lf->kpm), format_real(f, lf->kpm_load));
  }
}

void print_results(LoadStudy *z) {
  if (!z) exit(1);

  FILE *out = stdout;
  if (z->outfile) {
    out = fopen(z->outfile, "w");
    if (!out) {
      fprintf(stderr, " *** ERROR: Unable to write to output file %s\n", z->outfile);
      exit(1);
    }
    if (z->debug) {
      printf("z->outfile = %s\n", z->outfile);
      fflush(stdout);
    }
  } else if (z->debug) {
    printf("out = stdout\n");
    fflush(stdout);
  }

  fprintf(out, "\"kpm\",\"Version\",\"%s\",\"%s\"\n", KPM_VERSION, KPM_BUILD_DATE);
  fprintf(out, "\"%s\"\n", str_or_null(z->name));
  fprintf(out, "\"%s\"\n", str_or_null(z->xmlfile));
  if (z->outfile)
    fprintf(out, "\"%s\"\n", z->outfile);
  else
    fprintf(out, "\"stdout\"\n");

  if (z->debug && !z->r) {
    printf("z->r is NULL Pointer\n");
    fflush(stdout);
  }

  for (Results *rs = z->r; rs; rs = rs->next) print_block(out, rs);

  // Standard output is checked by main at the end of the run; a report file
  // that was cut short must not pass for a finished one.
  if (out != stdout) {
    int failed = ferror(out);
    if (fclose(out) != 0) failed = 1;
    if (failed) {
      fprintf(stderr, " *** ERROR: Unable to write to output file %s\n", z->outfile);
      exit(1);
    }
  }
}
