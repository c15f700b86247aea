// The study model's allocators and the initialisation of the study record.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(__linux__)
#include <sched.h>
#endif

#include "study/study.h"
#include "xml/xmlentity.h"

// The model is never freed, and a large study holds millions of records and
// strings: they are cut one after another from the shared large blocks (see
// kpm_take_block), with no per-object bookkeeping, and cleared one by one as
// they are cut. A request too large for a block gets a heap block of its own.
static const size_t MODEL_ALIGN = 8; // enough for the records' pointers and doubles

struct ModelBlock {
  ModelBlock *next; // every block of the model, newest first
  int shared;       // 1: one of the shared large blocks; 0: a heap block of its own
};
static const size_t MODEL_BLOCK_HEADER = (sizeof(ModelBlock) + MODEL_ALIGN - 1) & ~(MODEL_ALIGN - 1);

static ModelBlock *model_blocks; // keeps every block reachable until exit

// Loads, load factors and everything else (texts, conditions, results) are
// cut from blocks of their own: the preparation, the calculation and the
// report walk the loads and their load factors once per pair, and find them
// close together rather than spread among the texts.
enum ModelStream { OTHER_STREAM, LOAD_STREAM, LOAD_FACTOR_STREAM, MODEL_STREAMS };

#ifdef KPM_PLAIN_HEAP
// One heap block per object, each linked behind a header so that
// release_study_memory still finds them all.
static void *stream_take(int, size_t size) {
  if (kpm_alloc_fails()) return nullptr;
  ModelBlock *b = (ModelBlock *)calloc(1, MODEL_BLOCK_HEADER + size);
  if (!b) return nullptr;
  b->shared = 0;
  b->next = model_blocks;
  model_blocks = b;
  return (char *)b + MODEL_BLOCK_HEADER;
}
#else
struct StreamCursor {
  char *free;  // next free byte of the stream's newest shared block
  size_t left; // bytes left there
};
static StreamCursor stream_cursor[MODEL_STREAMS];

static void *stream_take(int stream, size_t size) {
  if (kpm_alloc_fails()) return nullptr;
  StreamCursor *c = &stream_cursor[stream];
  size = (size + MODEL_ALIGN - 1) & ~(MODEL_ALIGN - 1);
  if (size > c->left) {
    bool own = size > KPM_BLOCK_SIZE / 4;
    size_t whole = own ? MODEL_BLOCK_HEADER + size : KPM_BLOCK_SIZE;
    ModelBlock *b = (ModelBlock *)(own ? calloc(1, whole) : kpm_take_block());
    if (!b) return nullptr;
    b->shared = !own;
    b->next = model_blocks;
    model_blocks = b;
    if (own) return (char *)b + MODEL_BLOCK_HEADER; // keep cutting the older block
    c->free = (char *)b + MODEL_BLOCK_HEADER;
    c->left = KPM_BLOCK_SIZE - MODEL_BLOCK_HEADER;
  }
  void *p = c->free;
  c->free += size;
  c->left -= size;
  memset(p, 0, size); // a shared block comes with what it last held
  return p;
}
#endif

void *model_take(size_t size) { return stream_take(OTHER_STREAM, size); }

void release_study_memory(void) {
  while (model_blocks) {
    ModelBlock *next = model_blocks->next;
    if (model_blocks->shared)
      kpm_give_block(model_blocks);
    else
      free(model_blocks);
    model_blocks = next;
  }
#ifndef KPM_PLAIN_HEAP
  memset(stream_cursor, 0, sizeof stream_cursor);
#endif
}

// One zero-filled record, or the allocator's own out-of-memory line and exit.
static void *alloc_record(int stream, size_t size, const char *message) {
  void *p = stream_take(stream, size);
  if (!p) kpm_out_of_memory(message);
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
  z->check = nullptr;
  z->xmlstream = nullptr;
  return 0;
}

OperationalCondition *alloc_OperationalCondition(void) {
  OperationalCondition *oc = (OperationalCondition *)alloc_record(
      OTHER_STREAM, sizeof(OperationalCondition), " *** ERROR: Out of memory in alloc_OperationalCondition()\n");
  oc->name = nullptr;
  oc->order = 0;
  oc->next = nullptr;
  return oc;
}

AmbientCondition *alloc_AmbientCondition(void) {
  AmbientCondition *ac = (AmbientCondition *)alloc_record(OTHER_STREAM, sizeof(AmbientCondition),
                                                          " *** ERROR: Out of memory in alloc_AmbientCondition()\n");
  ac->name = nullptr;
  ac->order = 0;
  ac->next = nullptr;
  return ac;
}

Load *alloc_Load(void) {
  Load *ld = (Load *)alloc_record(LOAD_STREAM, sizeof(Load), " *** ERROR: Out of memory in alloc_Load()\n");
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
  LoadFactor *lf = (LoadFactor *)alloc_record(LOAD_FACTOR_STREAM, sizeof(LoadFactor),
                                              " *** ERROR: Out of memory in alloc_LoadFactor()\n");
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
  Results *r = (Results *)alloc_record(OTHER_STREAM, sizeof(Results), " *** ERROR: Out of memory in alloc_Results()\n");
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

static int fixed_workers; // 0: as many as there are processors

void set_calc_workers(int n) { fixed_workers = n > 0 ? n : 0; }

int calc_workers(void) {
  int n = fixed_workers;
  if (n == 0) {
#if defined(__linux__)
    cpu_set_t cpus;
    n = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
#else
    n = 1; // no portable way to ask which processors the process may use
#endif
  }
  return n < 1 ? 1 : n > CALC_MAX_WORKERS ? CALC_MAX_WORKERS : n;
}
