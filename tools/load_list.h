// The load list: the spreadsheet layout that kpm-import reads and kpm-export
// writes. One row per load after a header row; the columns name, swbs,
// connected_load, peak_fraction and pf, and one column per pair of
// conditions headed OPERATIONAL/AMBIENT with the load's load factor under
// that pair. Here also what a study file can hold, so that both programs
// agree on it, and the import itself, so that tests and the fuzz target
// reach it without the command line.
#ifndef KPM_TOOLS_LOAD_LIST_H
#define KPM_TOOLS_LOAD_LIST_H

#include <cstddef>
#include <cstdio>

#include "tools/csv_read.h"

// What a header cell names.
enum {
  LIST_IGNORED = 0, // any other column (notes, cable, ...), or no header
  LIST_NAME,
  LIST_SWBS,
  LIST_CONNECTED_LOAD,
  LIST_PEAK_FRACTION,
  LIST_PF,
  LIST_PAIR // OPERATIONAL/AMBIENT
};
// The fixed columns' names as kpm-export writes them, by kind (LIST_NAME ..
// LIST_PF; index 0 unused).
extern const char *const LIST_COLUMN_NAMES[LIST_PAIR];

struct ListHeader {
  int kind;         // LIST_IGNORED .. LIST_PAIR
  const char *oc;   // LIST_PAIR: the operational condition, within the cell's text
  size_t oc_length; //   (trimmed; may be empty)
  const char *ac;   // LIST_PAIR: the ambient condition: everything after the first "/"
  size_t ac_length;
};
// Reads a header cell. Fixed columns match whatever their case, blanks,
// underscores and a trailing "(unit)"; any other cell holding "/" is a pair,
// split at its first "/", each name trimmed of white space but keeping its
// case. Returns h->kind.
int list_classify_header(const char *text, size_t length, ListHeader *h);

// The study file reader keeps the text of an element only up to this length,
// and a tag (such as an lf start tag with its two condition names) up to the second.
const size_t STUDY_TEXT_MAX = 65535;
const size_t STUDY_TAG_MAX = 65534;

// Whether kpm reads a text back exactly as written into an element
// (kpm decodes no entity and trims element texts).
enum {
  TEXT_OK = 0,
  TEXT_HAS_LT,    // "<" would open markup
  TEXT_HAS_NUL,   // a NUL byte would end the text
  TEXT_HAS_SPACE, // white space at either end would be trimmed away
  TEXT_TOO_LONG,  // longer than STUDY_TEXT_MAX
  TEXT_EMPTY      // only given when empty texts are refused (condition names)
};
int study_text_problem(const char *s, size_t length, int allow_empty);
// The reason for a problem, to follow the text in a message ("holds ...").
const char *study_text_reason(int problem);

// The start tag of a load factor under the pair (oc, ac), "<lf oc=... ac=...>",
// into a new heap string (free() it), that kpm reads back as exactly
// these two names; *length gets its length. Null when no tag can carry them,
// with *why set: a name holding ">", or holding a quote as well as white
// space (or beginning with one), or the two too long for one tag.
char *lf_start_tag(const char *oc, size_t oc_length, const char *ac, size_t ac_length, size_t *length,
                   const char **why);

// A table of byte strings, each with an int: lookups in constant time, so
// that nothing is quadratic in the number of columns or conditions.
struct NameEntry {
  size_t offset; // of the key in the table's own copy
  size_t length;
  size_t hash;
  int value; // -1: the slot is free
};
struct NameTable {
  NameEntry *slots;
  size_t nbr_slots; // a power of two
  size_t used;
  char *keys; // the keys, one after another
  size_t keys_length, keys_cap;
};
void name_table_init(NameTable *t);
// The value of key, or -1.
int name_table_find(const NameTable *t, const char *key, size_t length);
// Adds key with value (>= 0) unless it is there; returns the value it had, or -1 when added.
int name_table_add(NameTable *t, const char *key, size_t length, int value);
void name_table_free(NameTable *t);

// kpm-import's options.
struct ImportOptions {
  const char *name; // the study's name; null or "" writes none
  int separator;    // ',', ';' or '\t'; 0 to find it from the header row
};

// What an import found.
struct ImportCounts {
  long loads;
  long pairs;
  long operational;
  long ambient;
};

// Reads the load list in (diagnostics on diag, every problem in one pass)
// and, when it has none, writes the study file to out. Returns TOOL_DONE,
// TOOL_BAD_INPUT (errors reported, nothing written) or TOOL_USAGE_OR_IO (the
// stream could not be read; an error line on standard error). counts may be null.
int import_load_list(FILE *in, CsvDiag *diag, const ImportOptions *options, FILE *out, ImportCounts *counts);

#endif
