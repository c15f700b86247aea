// Near names: a banded edit distance, the near-twin rule, and the index of
// one- and two-deletion strings behind both searches.
#include <cstdlib>
#include <cstring>

#include "tools/common/tool.h"
#include "tools/common/similar.h"
#include "xml/common.h"

static inline unsigned char fold_byte(unsigned char c, int fold) { return fold ? (unsigned char)lower_ascii(c) : c; }

// The distances that matter end at 2; a cell holds at most this.
static const int FAR = 3;

int distance_up_to_2(const char *a, size_t n, const char *b, size_t m, int fold) {
  if (n > NEAR_NAME_MAX || m > NEAR_NAME_MAX) return FAR;
  if (n > m + 2 || m > n + 2) return FAR;
  // Only the cells within two of the diagonal can stay at 2 or less; the
  // cells just outside the band read as FAR.
  int prev[NEAR_NAME_MAX + 2], cur[NEAR_NAME_MAX + 2];
  for (size_t j = 0; j <= m; j++) prev[j] = j < (size_t)FAR ? (int)j : FAR;
  for (size_t i = 1; i <= n; i++) {
    size_t lo = i > 2 ? i - 2 : 1, hi = i + 2 < m ? i + 2 : m;
    cur[lo - 1] = lo == 1 ? (i < (size_t)FAR ? (int)i : FAR) : FAR;
    int row_best = cur[lo - 1];
    unsigned char x = fold_byte((unsigned char)a[i - 1], fold);
    for (size_t j = lo; j <= hi; j++) {
      int c = prev[j - 1] + (x != fold_byte((unsigned char)b[j - 1], fold));
      if (prev[j] + 1 < c) c = prev[j] + 1;
      if (cur[j - 1] + 1 < c) c = cur[j - 1] + 1;
      cur[j] = c < FAR ? c : FAR;
      if (cur[j] < row_best) row_best = cur[j];
    }
    if (hi + 1 <= m) cur[hi + 1] = FAR;
    if (row_best >= FAR) return FAR;
    memcpy(prev, cur, (m + 1) * sizeof(int));
  }
  return prev[m];
}

int same_but_case(const char *a, size_t n, const char *b, size_t m) {
  if (n != m) return 0;
  for (size_t i = 0; i < n; i++)
    if (fold_byte((unsigned char)a[i], 1) != fold_byte((unsigned char)b[i], 1)) return 0;
  return 1;
}

// Characters of a UTF-8 text: the bytes that do not continue a sequence.
static size_t characters(const char *s, size_t n) {
  size_t c = 0;
  for (size_t i = 0; i < n; i++) c += ((unsigned char)s[i] & 0xc0) != 0x80;
  return c;
}

// a and b are the same once their digits are left out and letters folded.
static int same_but_digits(const char *a, size_t n, const char *b, size_t m) {
  size_t i = 0, j = 0;
  for (;;) {
    while (i < n && a[i] >= '0' && a[i] <= '9') i++;
    while (j < m && b[j] >= '0' && b[j] <= '9') j++;
    if (i == n || j == m) return i == n && j == m;
    if (fold_byte((unsigned char)a[i], 1) != fold_byte((unsigned char)b[j], 1)) return 0;
    i++;
    j++;
  }
}

int near_twin(const char *a, size_t n, const char *b, size_t m) {
  if (n == m && memcmp(a, b, n) == 0) return TWIN_NONE;
  if (same_but_case(a, n, b, m)) return TWIN_CASE;
  if (characters(a, n) < TWIN_MIN_CHARACTERS || characters(b, m) < TWIN_MIN_CHARACTERS) return TWIN_NONE;
  if (same_but_digits(a, n, b, m)) return TWIN_NONE;
  return distance_up_to_2(a, n, b, m, 1) <= 2 ? TWIN_EDITS : TWIN_NONE;
}

// ---------------------------------------------------------------- the index

static int compare_bytes(const NearName *x, const NearName *y, int fold) {
  size_t n = x->length < y->length ? x->length : y->length;
  for (size_t i = 0; i < n; i++) {
    unsigned char a = fold_byte((unsigned char)x->name[i], fold), b = fold_byte((unsigned char)y->name[i], fold);
    if (a != b) return a < b ? -1 : 1;
  }
  if (x->length != y->length) return x->length < y->length ? -1 : 1;
  return x->id < y->id ? -1 : x->id > y->id;
}

static int compare_names(const void *a, const void *b) {
  return compare_bytes((const NearName *)a, (const NearName *)b, 0);
}

static int compare_folded(const void *a, const void *b) {
  return compare_bytes((const NearName *)a, (const NearName *)b, 1);
}

void near_index_build(NearIndex *x, const char *const *names, const size_t *lengths, size_t count, int fold) {
  memset(x, 0, sizeof *x);
  x->fold = fold;
  size_t cap = 0;
  x->sorted = (NearName *)tool_grow(nullptr, 0, &cap, (count ? count : 1) * sizeof(NearName));
  for (size_t i = 0; i < count; i++) {
    if (lengths[i] > NEAR_NAME_MAX) continue;
    NearName *e = &x->sorted[x->count++];
    e->name = names[i];
    e->length = lengths[i];
    e->id = (uint32_t)i;
  }
  qsort(x->sorted, x->count, sizeof(NearName), fold ? compare_folded : compare_names);
}

// A prefix to follow: the names sorted[lo, hi) share their first depth
// bytes, the last of them byte; the row of the prefix without it is
// rows[depth - 1].
struct NearFrame {
  size_t lo, hi, depth;
  unsigned char byte;
};

void near_index_free(NearIndex *x) {
  free(x->sorted);
  free(x->found);
  free(x->stack);
  memset(x, 0, sizeof *x);
}

static void push_frame(NearIndex *x, size_t *top, size_t lo, size_t hi, size_t depth, unsigned char byte) {
  if ((*top + 1) * sizeof(NearFrame) > x->stack_cap)
    x->stack = (NearFrame *)tool_grow(x->stack, *top * sizeof(NearFrame), &x->stack_cap, (*top + 1) * sizeof(NearFrame));
  NearFrame *f = &x->stack[(*top)++];
  f->lo = lo;
  f->hi = hi;
  f->depth = depth;
  f->byte = byte;
}

// Pushes the prefixes one byte longer than the one that sorted[lo, hi)
// share (depth bytes), skipping the names that end there, which come first.
static void push_children(NearIndex *x, size_t *top, size_t lo, size_t hi, size_t depth) {
  while (lo < hi && x->sorted[lo].length == depth) lo++;
  while (lo < hi) {
    unsigned char c = fold_byte((unsigned char)x->sorted[lo].name[depth], x->fold);
    // The bytes at depth rise along the range: the first past c ends its part.
    size_t a = lo + 1, b = hi;
    while (a < b) {
      size_t mid = a + (b - a) / 2;
      if (fold_byte((unsigned char)x->sorted[mid].name[depth], x->fold) <= c)
        a = mid + 1;
      else
        b = mid;
    }
    push_frame(x, top, lo, a, depth + 1, c);
    lo = a;
  }
}

const NearFound *near_index_find(NearIndex *x, const char *q, size_t n, size_t *count) {
  x->nbr_found = 0;
  *count = 0;
  if (n > NEAR_NAME_MAX || !x->count) return x->found;
  // rows[d][j]: the distance of a prefix of d bytes to the first j bytes of
  // q, FAR when more than 2; only j within two of d can be less.
  int rows[NEAR_NAME_MAX + 3][NEAR_NAME_MAX + 1];
  for (size_t j = 0; j <= n; j++) rows[0][j] = j < (size_t)FAR ? (int)j : FAR;
  size_t top = 0;
  // The names equal to a prefix of nothing: the empty ones, at the start.
  size_t lo = 0;
  while (lo < x->count && x->sorted[lo].length == 0) {
    if (rows[0][n] < FAR) {
      if ((x->nbr_found + 1) * sizeof(NearFound) > x->found_cap)
        x->found = (NearFound *)tool_grow(x->found, x->nbr_found * sizeof(NearFound), &x->found_cap,
                                         (x->nbr_found + 1) * sizeof(NearFound));
      x->found[x->nbr_found].id = x->sorted[lo].id;
      x->found[x->nbr_found++].distance = rows[0][n];
    }
    lo++;
  }
  push_children(x, &top, lo, x->count, 0);
  while (top > 0) {
    NearFrame f = x->stack[--top];
    const int *prev = rows[f.depth - 1];
    int *row = rows[f.depth];
    size_t d = f.depth;
    for (size_t j = 0; j <= n; j++) row[j] = FAR;
    row[0] = d < (size_t)FAR ? (int)d : FAR;
    int best = row[0];
    size_t from = d > 2 ? d - 2 : 1, to = d + 2 < n ? d + 2 : n;
    unsigned char c = f.byte;
    for (size_t j = from; j <= to; j++) {
      int v = prev[j - 1] + (c != fold_byte((unsigned char)q[j - 1], x->fold));
      if (prev[j] + 1 < v) v = prev[j] + 1;
      if (row[j - 1] + 1 < v) v = row[j - 1] + 1;
      row[j] = v < FAR ? v : FAR;
      if (row[j] < best) best = row[j];
    }
    if (best >= FAR) continue; // no longer name can come back within two edits
    size_t i = f.lo;
    for (; i < f.hi && x->sorted[i].length == d; i++) {
      if (row[n] >= FAR) continue;
      if ((x->nbr_found + 1) * sizeof(NearFound) > x->found_cap)
        x->found = (NearFound *)tool_grow(x->found, x->nbr_found * sizeof(NearFound), &x->found_cap,
                                         (x->nbr_found + 1) * sizeof(NearFound));
      x->found[x->nbr_found].id = x->sorted[i].id;
      x->found[x->nbr_found++].distance = row[n];
    }
    if (d < n + 2) push_children(x, &top, i, f.hi, d);
  }
  *count = x->nbr_found;
  return x->found;
}

// ---------------------------------------------------------------- near twins
//
// Two names whose only differences are digits are never near twins; so the
// search for one or two edits runs in two steps. First the names are put
// into groups by their spelling without digits and case ("Cruise 1",
// "cruise 2": "cruise "), and the groups searched for groups near them.
// Then only the names of groups that have a near group are searched among
// themselves: a list of a thousand numbered conditions ("Zone 1" ...) costs
// no search at all.

void find_near_twins(const char *const *names, const size_t *lengths, size_t count,
                     void (*found)(void *context, size_t later, size_t earlier, int kind), void *context) {
  if (count < 2) return;
  // Each name without case, and without case and digits: its group's key.
  size_t total = 0;
  for (size_t i = 0; i < count; i++) total += lengths[i];
  char *folded = (char *)tool_calloc(total + 1, 1);
  char *stripped = (char *)tool_calloc(total + 1, 1);
  size_t *folded_at = (size_t *)tool_calloc(count, sizeof(size_t));
  size_t *key_at = (size_t *)tool_calloc(count, sizeof(size_t));
  size_t *key_length = (size_t *)tool_calloc(count, sizeof(size_t));
  size_t o = 0, k = 0;
  for (size_t i = 0; i < count; i++) {
    folded_at[i] = o;
    key_at[i] = k;
    for (size_t b = 0; b < lengths[i]; b++) {
      char c = lower_ascii((unsigned char)names[i][b]);
      folded[o++] = c;
      if (c < '0' || c > '9') stripped[k++] = c;
    }
    key_length[i] = k - key_at[i];
  }

  // The groups, each known by its first name.
  size_t *group = (size_t *)tool_calloc(count, sizeof(size_t));
  size_t *first_of_group = (size_t *)tool_calloc(count, sizeof(size_t));
  size_t nbr_groups = 0;
  NameTable set; // a group's key -> the group
  name_table_init(&set, count, 0, nullptr);
  for (size_t i = 0; i < count; i++) {
    int g = name_table_add(&set, stripped + key_at[i], key_length[i], (int)nbr_groups);
    if (g < 0) {
      g = (int)nbr_groups;
      first_of_group[nbr_groups++] = i;
    }
    group[i] = (size_t)g;
  }
  name_table_free(&set);

  // The groups that have a near group.
  const char **text = (const char **)tool_calloc(count, sizeof(char *));
  size_t *text_length = (size_t *)tool_calloc(count, sizeof(size_t));
  char *active = (char *)tool_calloc(nbr_groups, 1);
  for (size_t g = 0; g < nbr_groups; g++) {
    text[g] = stripped + key_at[first_of_group[g]];
    text_length[g] = key_length[first_of_group[g]];
  }
  NearIndex x;
  near_index_build(&x, text, text_length, nbr_groups, 0);
  for (size_t g = 0; g < nbr_groups; g++) {
    size_t n = 0;
    const NearFound *near = near_index_find(&x, text[g], text_length[g], &n);
    for (size_t f = 0; f < n; f++)
      if (near[f].id != g) active[g] = active[near[f].id] = 1;
  }
  near_index_free(&x);

  // The names of those groups, searched among themselves; each later name
  // gets its nearest earlier twin in another group (the first of the nearest).
  size_t *name_of = (size_t *)tool_calloc(count, sizeof(size_t));
  size_t nbr_active = 0;
  for (size_t i = 0; i < count; i++) {
    if (!active[group[i]]) continue;
    text[nbr_active] = names[i];
    text_length[nbr_active] = lengths[i];
    name_of[nbr_active++] = i;
  }
  near_index_build(&x, text, text_length, nbr_active, 1);
  name_table_init(&set, count, 0, nullptr); // a name without case -> the first name of that spelling
  for (size_t i = 0; i < count; i++) {
    int first = name_table_add(&set, folded + folded_at[i], lengths[i], (int)i);
    if (first >= 0 && near_twin(names[i], lengths[i], names[first], lengths[first]) == TWIN_CASE) {
      found(context, i, (size_t)first, TWIN_CASE);
      continue;
    }
    if (!active[group[i]]) continue;
    size_t n = 0;
    const NearFound *near = near_index_find(&x, names[i], lengths[i], &n);
    size_t best = count;
    int best_distance = FAR;
    for (size_t m = 0; m < n; m++) {
      size_t j = name_of[near[m].id];
      int d = near[m].distance;
      if (j >= i || group[j] == group[i] || d > best_distance || (d == best_distance && j > best)) continue;
      if (near_twin(names[i], lengths[i], names[j], lengths[j]) != TWIN_EDITS) continue;
      best = j;
      best_distance = d;
    }
    if (best < count) found(context, i, best, TWIN_EDITS);
  }
  near_index_free(&x);
  free(folded);
  free(stripped);
  free(folded_at);
  free(key_at);
  free(key_length);
  free(group);
  free(first_of_group);
  name_table_free(&set);
  free(text);
  free(text_length);
  free(active);
  free(name_of);
}
