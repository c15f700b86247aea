// XMLENTITY records: making, copying, releasing, lower-casing, finding and printing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xml/xmlentity.h"

int xml_verbose = 0;

// Where records and strings live. A study of a few hundred MB makes tens of
// millions of small records, built in document order and released in much the
// same order; one malloc each would cost more time and memory than the
// reading itself. So they are cut from blocks of KPM_BLOCK_SIZE bytes, aligned
// to that size so that any object finds its block by masking its address;
// each block counts its live objects and is given back when the last one is
// released (but for KPM_PLAIN_HEAP builds).
#ifdef KPM_PLAIN_HEAP
static void *xml_take(size_t size) {
  if (kpm_alloc_fails()) return nullptr;
  return malloc(size);
}

static void xml_release(void *p) { free(p); }
#else
// Objects are cut at this alignment, enough for a record's pointers.
static const size_t XML_ALIGN = 8;

struct XmlBlock {
  size_t live; // objects cut from the block and not yet released
  size_t used; // bytes cut so far, header included
  size_t size; // KPM_BLOCK_SIZE, or a whole number of them for a long text
};
static const size_t XML_BLOCK_HEADER = (sizeof(XmlBlock) + XML_ALIGN - 1) & ~(XML_ALIGN - 1);

static XmlBlock *current_block; // the block that new objects are cut from

// Emptied blocks kept back for the reader's own next ones. While the model is
// built on another thread, this keeps the reader off fresh memory, whose page
// faults would otherwise land on it; the rest goes back to the shared blocks.
static const int XML_SPARE_BLOCKS = 8;
static XmlBlock *spare_block[XML_SPARE_BLOCKS];
static int spare_blocks;

static XmlBlock *new_block(size_t size) {
  XmlBlock *b;
  if (size != KPM_BLOCK_SIZE)
    b = (XmlBlock *)aligned_alloc(KPM_BLOCK_SIZE, size);
  else if (spare_blocks > 0)
    b = spare_block[--spare_blocks];
  else
    b = (XmlBlock *)kpm_take_block();
  if (!b) return nullptr;
  b->live = 0;
  b->used = XML_BLOCK_HEADER;
  b->size = size;
  return b;
}

static void drop_block(XmlBlock *b) {
  if (b->size != KPM_BLOCK_SIZE)
    free(b);
  else if (spare_blocks < XML_SPARE_BLOCKS)
    spare_block[spare_blocks++] = b;
  else
    kpm_give_block(b);
}

static void *xml_take(size_t size) {
  if (kpm_alloc_fails()) return nullptr;
  size = (size + XML_ALIGN - 1) & ~(XML_ALIGN - 1);
  if (size > KPM_BLOCK_SIZE / 4) {
    // A long text gets a block of its own, a whole number of aligned blocks,
    // so that masking its address still finds the header.
    size_t whole = (XML_BLOCK_HEADER + size + KPM_BLOCK_SIZE - 1) & ~(KPM_BLOCK_SIZE - 1);
    XmlBlock *b = new_block(whole);
    if (!b) return nullptr;
    b->live = 1;
    return (char *)b + XML_BLOCK_HEADER;
  }
  if (!current_block || current_block->used + size > KPM_BLOCK_SIZE) {
    XmlBlock *b = new_block(KPM_BLOCK_SIZE);
    if (!b) return nullptr;
    if (current_block && current_block->live == 0) drop_block(current_block);
    current_block = b;
  }
  void *p = (char *)current_block + current_block->used;
  current_block->used += size;
  current_block->live++;
  return p;
}

static void xml_release(void *p) {
  if (!p) return;
  XmlBlock *b = (XmlBlock *)((uintptr_t)p & ~(uintptr_t)(KPM_BLOCK_SIZE - 1));
  if (--b->live > 0) return;
  if (b == current_block)
    b->used = XML_BLOCK_HEADER; // empty again: cut from its start
  else
    drop_block(b);
}
#endif

void xml_verbose_on(void) { xml_verbose = 1; }

void xml_verbose_off(void) { xml_verbose = 0; }

XMLENTITY *alloc_XMLENTITY(void) {
  XMLENTITY *e = (XMLENTITY *)xml_take(sizeof(XMLENTITY));
  if (!e) {
    fprintf(stderr, " *** ERROR: Out of memory in alloc_XMLENTITY()\n");
    exit(1);
  }
  memset(e, 0, sizeof *e);
  return e;
}

char *xmlcopytext(const char *s, size_t n) {
  char *copy = (char *)xml_take(n + 1);
  if (!copy) {
    fprintf(stderr, " *** ERROR: Out of Memory in xmlcopystring()\n");
    exit(1);
  }
  memcpy(copy, s, n);
  copy[n] = '\0';
  return copy;
}

char *xmlcopystring(const char *s) { return s ? xmlcopytext(s, strlen(s)) : nullptr; }

void xmlfreestring(char *s) { xml_release(s); }

// Fully iterative: the child and attribute lists of each record are spliced in
// front of the records still to release, so neither depth nor length can
// exhaust the stack. Each list is walked once to find its tail: linear overall.
void free_XMLENTITY(XMLENTITY *e) {
  XMLENTITY *pending = e;
  while (pending) {
    XMLENTITY *cur = pending;
    pending = cur->next;
    XMLENTITY *lists[2] = {cur->attr, cur->child};
    for (XMLENTITY *list : lists) {
      if (!list) continue;
      XMLENTITY *tail = list;
      while (tail->next) tail = tail->next;
      tail->next = pending;
      pending = list;
    }
    xml_release(cur->name);
    xml_release(cur->data);
    xml_release(cur);
  }
}

void xmllowerstring(char *s) {
  if (!s) return;
  // Same as tolower in the default locale, which the program never changes.
  for (; *s; s++)
    if (*s >= 'A' && *s <= 'Z') *s = (char)(*s - 'A' + 'a');
}

// Recursion is over child depth only, which the reader caps at XML_MAX_DEPTH.
void lowercase_XMLENTITY(XMLENTITY *e, int recurse) {
  if (!e) return;
  xmllowerstring(e->name);
  if (!recurse) return;
  for (XMLENTITY *c = e->child; c; c = c->next) lowercase_XMLENTITY(c, recurse);
}

XMLENTITY *find_XMLENTITY(XMLENTITY *e, const char *name) {
  if (!e || !name) return nullptr;
  for (XMLENTITY *c = e->child; c; c = c->next)
    if (c->name && strcmp(c->name, name) == 0) return c;
  return nullptr;
}

// Recursion is over child depth only, which the reader caps at XML_MAX_DEPTH.
void print_XMLENTITY(FILE *stream, XMLENTITY *e, int depth) {
  if (!e) return;
  if (!stream) stream = stdout;
  if (depth < 0) depth = 0;
  switch (e->type) {
  case XML_ELEMENT:
    fprintf(stream, "%*s<%s", depth, "", str_or_null(e->name));
    for (XMLENTITY *a = e->attr; a; a = a->next) {
      if (!a->name) continue;
      fprintf(stream, " %s", a->name);
      if (a->data) fprintf(stream, "=\"%s\"", a->data);
    }
    fprintf(stream, ">[ENTITY_DATA errflag = %d]\n", e->errflag);
    if (e->data) fprintf(stream, "%*s{%s}\n", depth, "", e->data);
    for (XMLENTITY *c = e->child; c; c = c->next) print_XMLENTITY(stream, c, depth + 1);
    fprintf(stream, "%*s</%s>\n", depth, "", str_or_null(e->name));
    break;
  case XML_PI:
    fprintf(stream, "%*s<?%s?>\n", depth, "", str_or_null(e->data));
    break;
  case XML_CDATA:
    fprintf(stream, "%*s<![CDATA[%s]]>\n", depth, "", str_or_null(e->data));
    break;
  case XML_COMMENT:
    fprintf(stream, "%*s<!-- %s -->\n", depth, "", str_or_null(e->data));
    break;
  default: // declarations and attribute records print nothing
    break;
  }
}
