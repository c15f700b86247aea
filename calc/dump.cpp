// The debug listing of the prepared study; the caller flushes.
#include <cstdio>

#include "calc/calc.h"
#include "xml/common.h"

void print_study(FILE *stream, LoadStudy *z) {
  if (!stream || !z) return;
  fprintf(stream, "z->xmlfile = %s\n", str_or_null(z->xmlfile));
  fprintf(stream, "z->outfile = %s\n", str_or_null(z->outfile));
  fprintf(stream, "z->debug = %d\n", z->debug);
  fprintf(stream, "z->name = %s\n", str_or_null(z->name));

  fprintf(stream, "z->nbr_oc = %d\n", z->nbr_oc);
  for (OperationalCondition *oc = z->oc; oc; oc = oc->next)
    fprintf(stream, "oc->name = %s  oc->order = %d\n", str_or_null(oc->name), oc->order);

  fprintf(stream, "z->nbr_ac = %d\n", z->nbr_ac);
  for (AmbientCondition *ac = z->ac; ac; ac = ac->next)
    fprintf(stream, "ac->name = %s  ac->order = %d\n", str_or_null(ac->name), ac->order);

  fprintf(stream, "z->nbr_ld = %d\n", z->nbr_ld);
  for (Load *ld = z->ld; ld; ld = ld->next) {
    fprintf(stream, "ld->name = %s  ld->swbs = %s\n", str_or_null(ld->name), str_or_null(ld->swbs));
    fprintf(stream, "ld->connected_load = %f\n", ld->connected_load);
    fprintf(stream, "ld->peak_fraction = %f\n", ld->peak_fraction);
    fprintf(stream, "ld->power_factor = %f\n", ld->power_factor);
    // After a failed preparation a load factor may lack its linked conditions.
    for (LoadFactor *lf = ld->lf; lf; lf = lf->next)
      fprintf(stream, "lf->oc_name = %s  lf->oc->name = %s  lf->ac_name = %s lf->ac->name = %s loadfactor =%f\n",
              str_or_null(lf->oc_name), str_or_null(lf->oc ? lf->oc->name : nullptr), str_or_null(lf->ac_name),
              str_or_null(lf->ac ? lf->ac->name : nullptr), lf->loadfactor);
  }
}
