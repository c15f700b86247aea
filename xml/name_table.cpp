// The table of names that every folder looks names up in.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xml/common.h"

uint64_t name_hash(uint64_t h, const void *bytes, size_t n) {
  const unsigned char *p = (const unsigned char *)bytes;
  for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

// A block of key copies; the copies never move, so slots point at them.
struct NameKeys {
  NameKeys *next;
  size_t used, size; // bytes of the block after this header
};
static const size_t NAME_KEYS_BLOCK = 65536;

static void *take(const NameTable *t, size_t count, size_t size) {
  void *p = kpm_calloc(count, size);
  if (!p) kpm_out_of_memory(t->oom_line ? t->oom_line : " *** ERROR: Out of memory in a table of names\n");
  return p;
}

void name_table_init(NameTable *t, size_t expected, int copies, const char *oom_line) {
  memset(t, 0, sizeof *t);
  t->expected = expected;
  t->copies = copies;
  t->oom_line = oom_line;
}

void name_table_init_on(NameTable *t, NameSlot *room, size_t nbr_slots) {
  memset(t, 0, sizeof *t);
  memset(room, 0, nbr_slots * sizeof *room);
  t->slots = room;
  t->mask = nbr_slots - 1;
  t->limit = nbr_slots / 2;
}

static NameSlot *find_slot(const NameTable *t, const char *key, size_t length, uint32_t hash) {
  for (size_t i = (size_t)hash & t->mask;; i = (i + 1) & t->mask) {
    NameSlot *s = &t->slots[i];
    if (!s->key || (s->hash == hash && s->length == length && memcmp(s->key, key, length) == 0)) return s;
  }
}

static int find_hashed(const NameTable *t, const char *key, size_t length, uint32_t hash) {
  if (!t->slots) return -1;
  NameSlot *s = find_slot(t, key, length, hash);
  return s->key ? s->value : -1;
}

int name_table_find(const NameTable *t, const char *key, size_t length) {
  return find_hashed(t, key, length, (uint32_t)name_hash(NAME_HASH_START, key, length));
}

const char *name_table_key(const NameTable *t, const char *key, size_t length) {
  if (!t->slots) return nullptr;
  return find_slot(t, key, length, (uint32_t)name_hash(NAME_HASH_START, key, length))->key;
}

static void grow(NameTable *t) {
  size_t n = 16;
  while (n < 2 * (t->used + 1) || n < 2 * t->expected) n *= 2;
  NameSlot *old = t->slots;
  size_t old_n = old ? t->mask + 1 : 0;
  t->slots = (NameSlot *)take(t, n, sizeof(NameSlot));
  t->mask = n - 1;
  for (size_t i = 0; i < old_n; i++)
    if (old[i].key) *find_slot(t, old[i].key, old[i].length, old[i].hash) = old[i];
  free(old);
}

// A copy of key that stays where it is as long as the table.
static const char *copy_key(NameTable *t, const char *key, size_t length) {
  NameKeys *b = t->keys;
  if (!b || b->size - b->used < length + 1) {
    size_t size = length + 1 > NAME_KEYS_BLOCK ? length + 1 : NAME_KEYS_BLOCK;
    b = (NameKeys *)take(t, 1, sizeof(NameKeys) + size);
    b->size = size;
    b->next = t->keys;
    t->keys = b;
  }
  char *copy = (char *)(b + 1) + b->used;
  memcpy(copy, key, length);
  copy[length] = '\0';
  b->used += length + 1;
  return copy;
}

static int add_hashed(NameTable *t, const char *key, size_t length, uint32_t hash, int value) {
  if (!t->limit && (!t->slots || 2 * (t->used + 1) > t->mask + 1)) grow(t);
  NameSlot *s = find_slot(t, key, length, hash);
  if (s->key) return s->value;
  if (t->limit && t->used >= t->limit) return -1;
  s->key = t->copies ? copy_key(t, key, length) : key;
  s->length = length;
  s->hash = hash;
  s->value = value;
  t->used++;
  return -1;
}

int name_table_add(NameTable *t, const char *key, size_t length, int value) {
  return add_hashed(t, key, length, (uint32_t)name_hash(NAME_HASH_START, key, length), value);
}

// Fibonacci hashing: the address's bits spread over the high half of one product.
static uint32_t address_hash(const void *record) {
  return (uint32_t)(((uint64_t)(uintptr_t)record * 0x9E3779B97F4A7C15ull) >> 32);
}

int name_table_find_address(const NameTable *t, const void *record) {
  return find_hashed(t, (const char *)&record, sizeof record, address_hash(record));
}

int name_table_add_address(NameTable *t, const void *record, int value) {
  return add_hashed(t, (const char *)&record, sizeof record, address_hash(record), value);
}

void name_table_free(NameTable *t) {
  if (!t->limit) free(t->slots);
  for (NameKeys *b = t->keys; b;) {
    NameKeys *next = b->next;
    free(b);
    b = next;
  }
  memset(t, 0, sizeof *t);
}
