// Names that are near one another: the edit distance when it is at most
// two, the rule for condition names that are near twins (one is likely a
// slip for the other), and an index that finds the names near a given one
// without comparing every pair, so that "did you mean" and the near-twin
// checks stay near-linear in the number of names.
#ifndef KPM_TOOLS_COMMON_SIMILAR_H
#define KPM_TOOLS_COMMON_SIMILAR_H

#include <cstddef>
#include <cstdint>

// Longest name (bytes) that is searched for one or two edits away: a slip
// in a longer name is left to the reader. Case alone is found at any length.
const size_t NEAR_NAME_MAX = 64;

// An ASCII letter in lower case; any other byte as it is.
inline char lower_ascii(unsigned char c) { return (char)(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); }

// The edit distance of a and b (insertions, deletions and substitutions of
// bytes), when at most 2; 3 when larger or when either is longer than
// NEAR_NAME_MAX. fold: ASCII letters compare without their case.
int distance_up_to_2(const char *a, size_t n, const char *b, size_t m, int fold);

// 1 when a and b are equal once ASCII letters are compared without case.
int same_but_case(const char *a, size_t n, const char *b, size_t m);

// How two different names of conditions of one kind are near twins.
enum {
  TWIN_NONE = 0,
  TWIN_CASE, // they differ in the case of ASCII letters only (Summer, summer)
  TWIN_EDITS // both have five characters or more and differ by one or two
             // edits that are not all of digits (Summer, Sumer; not Cruise 1, Cruise 2)
};
// Shortest names (characters) that TWIN_EDITS applies to: shorter ones
// (Max, Min) differ by a letter or two on purpose.
const size_t TWIN_MIN_CHARACTERS = 5;
int near_twin(const char *a, size_t n, const char *b, size_t m);

// An index of names that finds, for a name q, every indexed name within two
// edits of it, with its distance. The names are sorted by their bytes and
// searched as a trie: a prefix is followed only while it stays within two
// edits of a prefix of q, so a search visits the names near q and the
// prefixes they share, never all the names, and the index takes memory in
// proportion to the number of names.
struct NearName {
  const char *name;
  size_t length;
  uint32_t id;
};
struct NearFound {
  uint32_t id;
  int distance; // 0 to 2
};
struct NearIndex {
  NearName *sorted; // the names up to NEAR_NAME_MAX bytes, by their (folded) bytes
  size_t count;
  int fold; // letters without case
  NearFound *found; // what the last search found
  size_t nbr_found, found_cap;
  struct NearFrame *stack; // the search's prefixes still to follow
  size_t stack_cap;
};
// Indexes names[0 .. count) (not copied: they must outlive the index); the
// id of a name is its position. Out of memory: an error line, exit 1.
void near_index_build(NearIndex *x, const char *const *names, const size_t *lengths, size_t count, int fold);
// The names within two edits of q (none when q is longer than
// NEAR_NAME_MAX), each once, in no particular order; *count gets how many.
// Valid until the next search.
const NearFound *near_index_find(NearIndex *x, const char *q, size_t n, size_t *count);
void near_index_free(NearIndex *x);

// For each name (in the order given) that is a near twin of an earlier one,
// calls found with the two positions and the kind (TWIN_CASE before
// TWIN_EDITS, the earliest such name for each), once per later name.
void find_near_twins(const char *const *names, const size_t *lengths, size_t count,
                     void (*found)(void *context, size_t later, size_t earlier, int kind), void *context);

#endif
