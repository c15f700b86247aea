// XMLENTITY records: making, copying, releasing, lower-casing, finding and printing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#include "xml/xmlentity.h"

int xml_verbose = 0;

// Where records and strings live. A study of a few hundred MB makes tens of
// millions of small records, built in document order and released in much the
// same order; one malloc each would cost more time and memory than the
// reading itself. So they are cut from blocks of KPM_BLOCK_SIZE bytes, aligned
// to that size so that any object finds its block by masking its address;
// each block counts its live objects and is given back when the last one is
// released (but for KPM_PLAIN_HEAP builds). Objects are only ever cut on the
// reading thread, but the study reader may release them on another one.
#ifdef KPM_PLAIN_HEAP
static void *xml_take(size_t size) {
  if (kpm_alloc_fails()) return nullptr;
  return malloc(size);
}

struct ReleaseRun {};
static void release_in_run(ReleaseRun *, void *p) { free(p); }
static void end_run(ReleaseRun *) {}
#else
// Objects are cut at this alignment, enough for a record's pointers.
static const size_t XML_ALIGN = 8;

struct XmlBlock {
  size_t live; // objects not yet released, plus CUTTING while it is the current block; atomic
  size_t size; // KPM_BLOCK_SIZE, or a whole number of them for a long text
};
static const size_t XML_BLOCK_HEADER = (sizeof(XmlBlock) + XML_ALIGN - 1) & ~(XML_ALIGN - 1);
// Counted into live while objects are cut from the block: no release can take
// it to zero then, and the reader needs no atomic operation per object.
static const size_t CUTTING = (size_t)1 << 62;

static XmlBlock *current_block; // the block that new objects are cut from
static size_t current_used;     // its bytes cut so far, header included
static size_t current_cut;      // its objects cut so far

// Emptied blocks kept back for the reader's own next ones. While the model is
// built on another thread, this keeps the reader off fresh memory, whose page
// faults would otherwise land on it; the rest goes back to the shared blocks.
static const int XML_SPARE_BLOCKS = 8;
static XmlBlock *spare_block[XML_SPARE_BLOCKS];
static int spare_blocks;
static pthread_mutex_t spare_lock = PTHREAD_MUTEX_INITIALIZER;

static XmlBlock *new_block(size_t size) {
  XmlBlock *b = nullptr;
  if (size != KPM_BLOCK_SIZE) {
    b = (XmlBlock *)aligned_alloc(KPM_BLOCK_SIZE, size);
  } else {
    pthread_mutex_lock(&spare_lock);
    if (spare_blocks > 0) b = spare_block[--spare_blocks];
    pthread_mutex_unlock(&spare_lock);
    if (!b) b = (XmlBlock *)kpm_take_block();
  }
  if (b) b->size = size;
  return b;
}

static void drop_block(XmlBlock *b) {
  if (b->size != KPM_BLOCK_SIZE) {
    free(b);
    return;
  }
  pthread_mutex_lock(&spare_lock);
  bool kept = spare_blocks < XML_SPARE_BLOCKS;
  if (kept) spare_block[spare_blocks++] = b;
  pthread_mutex_unlock(&spare_lock);
  if (!kept) kpm_give_block(b);
}

// Takes n objects' worth off b's count, and gives b back when none is left.
static void release_from_block(XmlBlock *b, size_t n) {
  if (__atomic_sub_fetch(&b->live, n, __ATOMIC_ACQ_REL) == 0) drop_block(b);
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
  if (!current_block || current_used + size > KPM_BLOCK_SIZE) {
    XmlBlock *b = new_block(KPM_BLOCK_SIZE);
    if (!b) return nullptr;
    b->live = CUTTING;
    if (current_block) release_from_block(current_block, CUTTING - current_cut);
    current_block = b;
    current_used = XML_BLOCK_HEADER;
    current_cut = 0;
  }
  void *p = (char *)current_block + current_used;
  current_used += size;
  current_cut++;
  return p;
}

// Releases are counted per block and applied when the next object lies in
// another block: one atomic operation per run of neighbours.
struct ReleaseRun {
  XmlBlock *block;
  size_t count;
};

static void end_run(ReleaseRun *r) {
  if (r->block) release_from_block(r->block, r->count);
  r->block = nullptr;
  r->count = 0;
}

static void release_in_run(ReleaseRun *r, void *p) {
  if (!p) return;
  XmlBlock *b = (XmlBlock *)((uintptr_t)p & ~(uintptr_t)(KPM_BLOCK_SIZE - 1));
  if (b != r->block) {
    end_run(r);
    r->block = b;
  }
  r->count++;
}
#endif

void xml_verbose_on(void) { xml_verbose = 1; }

void xml_verbose_off(void) { xml_verbose = 0; }

int xml_positions = 0;

void xml_positions_on(void) { xml_positions = 1; }

XMLENTITY *alloc_XMLENTITY(void) {
  XMLENTITY *e = (XMLENTITY *)xml_take(sizeof(XMLENTITY));
  if (!e) kpm_out_of_memory(" *** ERROR: Out of memory in alloc_XMLENTITY()\n");
  memset(e, 0, sizeof *e);
  return e;
}

char *xmlcopytext(const char *s, size_t n) {
  char *copy = (char *)xml_take(n + 1);
  if (!copy) kpm_out_of_memory(" *** ERROR: Out of Memory in xmlcopystring()\n");
  // Names and values are mostly a few bytes: two overlapping fixed-size moves
  // copy them without a library call.
  if (n >= 8 && n <= 16) {
    memcpy(copy, s, 8);
    memcpy(copy + n - 8, s + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    memcpy(copy, s, 4);
    memcpy(copy + n - 4, s + n - 4, 4);
  } else if (n < 4) {
    if (n > 0) copy[0] = s[0];
    if (n > 1) copy[1] = s[1];
    if (n > 2) copy[2] = s[2];
  } else {
    memcpy(copy, s, n);
  }
  copy[n] = '\0';
  return copy;
}

char *xmlcopystring(const char *s) { return s ? xmlcopytext(s, strlen(s)) : nullptr; }

void xmlfreestring(char *s) {
  ReleaseRun run = {};
  release_in_run(&run, s);
  end_run(&run);
}

// Fully iterative: the child and attribute lists of each record are spliced in
// front of the records still to release, so neither depth nor length can
// exhaust the stack. Each list is walked once to find its tail: linear overall.
void free_XMLENTITY(XMLENTITY *e) {
  ReleaseRun run = {};
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
    release_in_run(&run, cur->name);
    release_in_run(&run, cur->data);
    release_in_run(&run, cur);
  }
  end_run(&run);
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
