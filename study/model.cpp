// The study model's allocators and the initialisation of the study record.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "study/study.h"
#include "xml/xmlentity.h"

// One zero-filled block, or the allocator's own out-of-memory line and exit.
static void *alloc_record(size_t size, const char *message) {
  void *p = kpm_calloc(1, size);
  if (!p) {
    fputs(message, stderr);
    exit(1);
  }
  return p;
}

int init_kpm(LoadStudy *z) {
  if (!z) return 1;
  z->name = nullptr;
  z->oc = nullptr;
  z->nbr_oc = 0;
  z->ac = nullptr;
  z->nbr_ac = 0;
  z->ld = nullptr;
  z->nbr_ld = 0;
  z->r = nullptr;
  return 0;
}

OperationalCondition *alloc_OperationalCondition(void) {
  OperationalCondition *oc =
      (OperationalCondition *)alloc_record(sizeof(OperationalCondition), " *** ERROR: Out of memory in alloc_OperationalCondition()\n");
  oc->name = nullptr;
  oc->order = 0;
  oc->next = nullptr;
  return oc;
}

AmbientCondition *alloc_AmbientCondition(void) {
  AmbientCondition *ac = (AmbientCondition *)alloc_record(sizeof(AmbientCondition), " *** ERROR: Out of memory in alloc_AmbientCondition()\n");
  ac->name = nullptr;
  ac->order = 0;
  ac->next = nullptr;
  return ac;
}

Load *alloc_Load(void) {
  Load *ld = (Load *)alloc_record(sizeof(Load), " *** ERROR: Out of memory in alloc_Load()\n");
  ld->name = nullptr;
  ld->swbs = nullptr;
  ld->connected_load = 0.0;
  ld->peak_fraction = 1.0;
  ld->power_factor = 1.0;
  ld->lf = nullptr;
  ld->next = nullptr;
  return ld;
}

LoadFactor *alloc_LoadFactor(void) {
  LoadFactor *lf = (LoadFactor *)alloc_record(sizeof(LoadFactor), " *** ERROR: Out of memory in alloc_LoadFactor()\n");
  lf->ld = nullptr;
  lf->oc_name = nullptr;
  lf->oc = nullptr;
  lf->ac_name = nullptr;
  lf->ac = nullptr;
  lf->loadfactor = -1.0;
  lf->lf_load = 0.0;
  lf->kpm = -1.0;
  lf->kpm_load = 0.0;
  lf->next = nullptr;
  return lf;
}

Results *alloc_Results(void) {
  Results *r = (Results *)alloc_record(sizeof(Results), " *** ERROR: Out of memory in alloc_Results()\n");
  r->oc = nullptr;
  r->ac = nullptr;
  r->total_connected_load = 0.0;
  r->total_lf_load = 0.0;
  r->total_operating_load = 0.0;
  r->total_lf = 0.0;
  r->total_kpm = 0.0;
  r->lfs = nullptr;
  r->nbr_lf = 0;
  r->next = nullptr;
  return r;
}

void lowerstring(char *s) {
  if (!s) return;
  for (; *s; s++) *s = (char)tolower((unsigned char)*s);
}
