// Helpers shared by every folder: the one allocation point and the null-safe "%s".
#include <cstdlib>

#include "xml/xmlentity.h"

#ifdef KPM_ALLOC_HOOK
// Test builds only: KPM_FAIL_ALLOC_AT=N in the environment makes the N-th
// allocation of the process fail, so that every out-of-memory path can be run.
static long alloc_count = 0;
static long alloc_fail_at = -1;

void *kpm_calloc(size_t count, size_t size) {
  if (alloc_fail_at < 0) {
    const char *at = getenv("KPM_FAIL_ALLOC_AT");
    alloc_fail_at = at ? atol(at) : 0;
  }
  if (++alloc_count == alloc_fail_at) return nullptr;
  return calloc(count, size);
}
#else
void *kpm_calloc(size_t count, size_t size) { return calloc(count, size); }
#endif

const char *str_or_null(const char *s) { return s ? s : "(null)"; }
