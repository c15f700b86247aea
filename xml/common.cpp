// Helpers shared by every folder: the one allocation point, out of memory and
// the null-safe "%s".
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sys/mman.h>

#include "xml/common.h"

#ifdef KPM_ALLOC_HOOK
// Test builds only: KPM_FAIL_ALLOC_AT=N in the environment makes the N-th
// allocation of the process fail, so that every out-of-memory path can be run.
static long alloc_count = 0;
static long alloc_fail_at = -1;

int kpm_alloc_fails(void) {
  if (alloc_fail_at < 0) {
    const char *at = getenv("KPM_FAIL_ALLOC_AT");
    alloc_fail_at = at ? atol(at) : 0;
  }
  return ++alloc_count == alloc_fail_at;
}
#else
int kpm_alloc_fails(void) { return 0; }
#endif

void *kpm_calloc(size_t count, size_t size) {
  if (kpm_alloc_fails()) return nullptr;
  return calloc(count, size);
}

struct FreeBlock {
  FreeBlock *next;
};
static FreeBlock *free_blocks; // blocks given back, for the next taker
// The reader and the model may take blocks on two threads at once.
static pthread_mutex_t free_blocks_lock = PTHREAD_MUTEX_INITIALIZER;

// Fresh blocks taken before their pages are mapped in advance: a small study
// uses only part of its first few blocks.
static const int BLOCKS_BEFORE_POPULATING = 8;
static int fresh_blocks; // taken from the system so far

void *kpm_take_block(void) {
  pthread_mutex_lock(&free_blocks_lock);
  FreeBlock *b = free_blocks;
  if (b) free_blocks = b->next;
  bool populate = !b && ++fresh_blocks > BLOCKS_BEFORE_POPULATING;
  pthread_mutex_unlock(&free_blocks_lock);
  if (b) return b;
  // No huge-page advice: on a machine whose memory is fragmented by the page
  // cache, assembling huge pages stalled whole runs for seconds.
  void *fresh = aligned_alloc(KPM_BLOCK_SIZE, KPM_BLOCK_SIZE);
#ifdef MADV_POPULATE_WRITE
  // A fresh block of a large study is filled from end to end: its pages are
  // mapped in one call rather than one page fault each. Kernels without it
  // fault them as usual.
  if (fresh && populate) madvise(fresh, KPM_BLOCK_SIZE, MADV_POPULATE_WRITE);
#else
  (void)populate;
#endif
  return fresh;
}

void kpm_give_block(void *block) {
  FreeBlock *b = (FreeBlock *)block;
  pthread_mutex_lock(&free_blocks_lock);
  b->next = free_blocks;
  free_blocks = b;
  pthread_mutex_unlock(&free_blocks_lock);
}

const char *str_or_null(const char *s) { return s ? s : "(null)"; }

KpmOutOfMemoryHook kpm_out_of_memory_hook = nullptr;

void kpm_out_of_memory(const char *line) {
  if (kpm_out_of_memory_hook) kpm_out_of_memory_hook();
  fputs(line, stderr);
  exit(1);
}
