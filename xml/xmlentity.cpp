// XMLENTITY records: making, copying, releasing, lower-casing, finding and printing.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xml/xmlentity.h"

int xml_verbose = 0;

void xml_verbose_on(void) { xml_verbose = 1; }

void xml_verbose_off(void) { xml_verbose = 0; }

XMLENTITY *alloc_XMLENTITY(void) {
  XMLENTITY *e = (XMLENTITY *)kpm_calloc(1, sizeof(XMLENTITY));
  if (!e) {
    fprintf(stderr, " *** ERROR: Out of memory in alloc_XMLENTITY()\n");
    exit(1);
  }
  return e;
}

char *xmlcopystring(const char *s) {
  if (!s) return nullptr;
  size_t n = strlen(s);
  char *copy = (char *)kpm_calloc(n + 1, 1);
  if (!copy) {
    fprintf(stderr, " *** ERROR: Out of Memory in xmlcopystring()\n");
    exit(1);
  }
  memcpy(copy, s, n + 1);
  return copy;
}

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
    free(cur->name);
    free(cur->data);
    free(cur);
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
