// Helpers that every folder shares: the one allocation point, what happens
// when memory runs out, the null-safe "%s", and a table of names. They know
// nothing of XML or of studies; they live beside the XML reader because it is
// the lowest layer.
#ifndef KPM_XML_COMMON_H
#define KPM_XML_COMMON_H

#include <cstddef>
#include <cstdint>

// Under AddressSanitizer every record and string is a heap block of its own,
// instead of a piece of a larger block, so that the sanitizer sees each one's bounds.
#if defined(__SANITIZE_ADDRESS__)
#define KPM_PLAIN_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KPM_PLAIN_HEAP 1
#endif
#endif

// Every heap block of the program is taken here (zero-filled, like calloc),
// so that tests can make a chosen allocation fail. Returns null on failure.
void *kpm_calloc(size_t count, size_t size);
// Allocators with blocks of their own ask this first: non-zero when the
// current allocation is to fail (only ever in the allocation-failure test build).
int kpm_alloc_fails(void);

// Large blocks for the reader's records and the study model: KPM_BLOCK_SIZE
// bytes aligned to KPM_BLOCK_SIZE. A block
// given back is kept for the next taker rather than returned to the system,
// so the model of a large study grows into the memory its XML tree leaves,
// already paged in. A block comes with whatever it last held.
const size_t KPM_BLOCK_SIZE = (size_t)2 << 20;
void *kpm_take_block(void); // null when memory is exhausted
void kpm_give_block(void *block);

// Text for a possibly-null string given to "%s": "(null)" for null.
// Always use it: a compiler may turn printf("%s\n", p) into puts(p), which
// does not survive a null pointer.
const char *str_or_null(const char *s);

// Memory exhausted: every place of the library where an allocation fails
// ends here. Without a hook (kpm's own run) the place's own line is printed
// on standard error and the process ends with status 1, as kpm always has.
// A companion program sets the hook at its start: the hook prints the
// program's one message and ends the process with the program's status.
typedef void (*KpmOutOfMemoryHook)(void);
extern KpmOutOfMemoryHook kpm_out_of_memory_hook;
// line: the place's whole line (" *** ERROR: Out of memory in alloc_Load()\n").
[[noreturn]] void kpm_out_of_memory(const char *line);

// ---------------------------------------------------------------- names

// FNV-1a over n bytes, going on from h: start from NAME_HASH_START, and
// chain calls to hash several pieces as one.
const uint64_t NAME_HASH_START = 14695981039346656037ull;
uint64_t name_hash(uint64_t h, const void *bytes, size_t n);

// A table of names (byte strings of any bytes, NUL included) with an int
// each: adding and finding in constant time, so that nothing that looks
// names up is quadratic. Open addressing, at most half full.
struct NameSlot {
  const char *key; // null: a free slot
  size_t length;   // bytes of key
  uint32_t hash;   // the low bits of its hash, which place it
  int value;
};
struct NameKeys; // the blocks that hold a table's own copies of its keys
struct NameTable {
  NameSlot *slots; // null until the first name is added
  size_t mask;     // slots - 1, a power of two
  size_t used;
  size_t expected; // names foreseen: the first slots are sized for them
  size_t limit;    // a table on room of its own: the most names it takes; 0: it grows
  int copies;      // 1: the table keeps copies of the keys; 0: the keys outlive the table
  NameKeys *keys;
  const char *oom_line; // the owner's out-of-memory line (kpm_out_of_memory)
};
// A table that takes its memory as it grows. expected: names foreseen (0
// when unknown). copies: 1 when the keys given may go before the table.
// When memory runs out, kpm_out_of_memory(oom_line); null: a line of its own.
void name_table_init(NameTable *t, size_t expected, int copies, const char *oom_line);
// A table on room of its own (nbr_slots a power of two), which it never
// leaves: it takes at most nbr_slots / 2 names and allocates nothing. Keys
// are not copied.
void name_table_init_on(NameTable *t, NameSlot *room, size_t nbr_slots);
// The value of key, or -1.
int name_table_find(const NameTable *t, const char *key, size_t length);
// Adds key with value (>= 0) unless it is there. The value it had, or -1:
// added (or, in a table on room of its own that is full, left out).
int name_table_add(NameTable *t, const char *key, size_t length, int value);
// The table's own key equal to key (its copy, or the key first added), or null.
const char *name_table_key(const NameTable *t, const char *key, size_t length);
// Releases what the table took (not room given to name_table_init_on).
void name_table_free(NameTable *t);
// Records as keys, by their address, with a hash of their own that costs one
// multiplication (the programs look records up millions of times): a table
// holds addresses or names, never both, and copies its keys.
int name_table_find_address(const NameTable *t, const void *record);
int name_table_add_address(NameTable *t, const void *record, int value);

#endif
