// Helpers shared by every folder: the one allocation point and the null-safe "%s".
#include <cstdlib>

#include "xml/xmlentity.h"

void *kpm_calloc(size_t count, size_t size) { return calloc(count, size); }

const char *str_or_null(const char *s) { return s ? s : "(null)"; }
