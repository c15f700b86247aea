// The load list: the spreadsheet layout that kpm-import reads and kpm-export
// writes. One row per load (or per run of alike loads, with a quantity)
// after a header row; the columns name, swbs, connected_load, peak_fraction,
// pf and quantity, and one column per pair of conditions headed
// OPERATIONAL/AMBIENT with the load's load factor under that pair (or
// OPERATIONAL/* under every ambient condition of the list). Here also what a study file can hold, so that both programs
// agree on it, and the import itself, so that tests and the fuzz target
// reach it without the command line.
#ifndef KPM_TOOLS_LISTS_LOAD_LIST_H
#define KPM_TOOLS_LISTS_LOAD_LIST_H

#include <cstddef>
#include <cstdio>

#include "tools/common/csv_read.h"
#include "xml/xmlentity.h"

// What a header cell names.
enum {
  LIST_IGNORED = 0, // any other column (notes, cable, ...), or no header
  LIST_NAME,
  LIST_SWBS,
  LIST_CONNECTED_LOAD,
  LIST_PEAK_FRACTION,
  LIST_PF,
  LIST_QUANTITY, // how many alike loads the row stands for
  LIST_PAIR      // OPERATIONAL/AMBIENT, or OPERATIONAL/* for every ambient condition
};
// The fixed columns' names as kpm-export writes them and messages name
// them, by kind (LIST_NAME .. LIST_QUANTITY; index 0 unused).
extern const char *const LIST_COLUMN_NAMES[LIST_PAIR];

// The header names that a fixed column is found by, one table for the
// import, its messages and the documentation: matched whatever their case,
// blanks and underscores, with a unit in parentheses or brackets after them.
// Where a list has several name columns, the one earliest in this table is
// the name and the others are ignored.
struct ListHeaderName {
  int kind;
  const char *key;   // lower case, without blanks or underscores
  const char *shown; // as messages write it
};
extern const ListHeaderName LIST_HEADER_NAMES[];
extern const size_t LIST_NBR_HEADER_NAMES;

struct ListHeader {
  int kind;         // LIST_IGNORED .. LIST_PAIR
  int rank;         // a fixed column: the place of its name in LIST_HEADER_NAMES
  const char *unit; // the unit in parentheses or brackets at the end, within the cell's
  size_t unit_length; //   text (trimmed); null when there is none
  int shift;          // the power of ten that the unit makes of a cell: -3 for W, 3 for MW, -2 for %
  int percent;        // the unit is %: every cell is a percentage
  const char *unit_error; // the unit is one the column cannot take: why (null when it can)
  const char *oc;   // LIST_PAIR: the operational condition, within the cell's text
  size_t oc_length; //   (trimmed; may be empty)
  const char *ac;   // LIST_PAIR: the ambient condition: everything after the first "/"
  size_t ac_length; //   but a unit (trimmed)
  int all_ambient;  // LIST_PAIR: the ambient condition is "*": every one that the list names
};
// Reads a header cell into h; returns h->kind. A fixed column is a name of
// LIST_HEADER_NAMES; a name or swbs column whose unit is a unit of measure
// ("Load (kW)") is not one. Any other cell holding "/" is a pair, split at
// its first "/", each name trimmed of white space but keeping its case; a
// "(%)" at the end makes its cells percentages, and a unit of measure there
// is a unit_error. Units: W, kW and MW for the connected load; none, "-" or
// "%" for a fraction (and "kW/kVA" for the power factor); none, "-" or a
// word for pieces for the quantity.
int list_classify_header(const char *text, size_t length, ListHeader *h);
// The key that a header cell is matched by (lower case, without blanks,
// underscores, a final "." or a unit), into buf of size n; null when it
// does not fit.
const char *list_header_key(const char *text, size_t length, char *buf, size_t n);

// How the text of a number cell reads.
enum {
  NUMBER_OK,
  NUMBER_EMPTY, // only blanks
  NUMBER_BAD,   // not a number with the decimal mark given
  NUMBER_HUGE   // a number too large for a double
};
// Reads the text of a number cell (blanks at its ends are trimmed) with
// mark ('.' or ',') as its decimal mark: digits before it may be grouped by
// threes with the other mark, a blank or a no-break space (one kind in a
// cell, a first group of 1 to 3 digits not starting with 0); an exponent
// (e3) is taken when no grouping is; a "%" at the end (blanks allowed before
// it) makes it a percentage. The decimal point is moved in the text by
// shift places (and by -2 more for a percentage), so that the one rounding
// to a double is that of the exact decimal. *percent (may be null) says
// whether the cell had a "%".
int list_read_number(const char *s, size_t n, int mark, int shift, double *v, int *percent);
// What the text of a number cell says of the list's decimal mark.
enum {
  MARKS_ALIKE,      // it reads the same with either mark (12, 1 500, 80%)
  MARKS_POINT,      // it reads only with a decimal point (0.9, 12.75, 1,500.5, 1.500.000 is not)
  MARKS_COMMA,      // it reads only with a decimal comma (0,9, 12,75, 1.500,5, 1.500.000)
  MARKS_DIFFERENTLY, // it reads as two numbers (1.500: 1500 or 1.5)
  MARKS_NEITHER     // it is no number either way
};
int list_number_marks(const char *s, size_t n);

// The study file reader keeps the text of an element only up to this length,
// and a tag (such as an lf start tag with its two condition names) up to the
// second: what its working buffer holds, less the NUL (and a tag's "/").
const size_t STUDY_TEXT_MAX = (size_t)XML_BUFFER_SIZE - 1;
const size_t STUDY_TAG_MAX = (size_t)XML_BUFFER_SIZE - 2;

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

// kpm-import's options.
struct ImportOptions {
  const char *name;  // the study's name; null or "" writes none
  int separator;     // ',', ';' or '\t'; 0 to find it from the header row
  int decimal_mark;  // '.' or ',' (--decimal-point, --decimal-comma); 0 to settle it from the list
};

// Most loads that one row may stand for: more is surely a slip (an item
// number in the quantity column).
const long LIST_QUANTITY_MAX = 100000;

// The name of copy k of n of a load named name ("Pump (2 of 3)"), the form
// in which kpm-import writes the loads of a row with a quantity and
// kpm-export finds them again. Into a new heap string (free() it).
char *list_copy_name(const char *name, size_t length, long k, long n, size_t *result_length);
// When name is "NAME (k of n)" with 1 <= k <= n and n >= 2, written as
// list_copy_name writes it: 1 with *name_length (NAME's length), *k and *n.
int list_parse_copy_name(const char *name, size_t length, size_t *name_length, long *k, long *n);

// What an import found.
struct ImportCounts {
  long loads;
  long pairs;
  long operational;
  long ambient;
};

// Reads the load list in (diagnostics on diag, every problem in one pass,
// in the order of their places) and, when it has none, writes the study
// file to out. Returns TOOL_DONE,
// TOOL_BAD_INPUT (errors reported, nothing written) or TOOL_TROUBLE (the
// stream could not be read; an error line on standard error). counts may be null.
int import_load_list(FILE *in, CsvDiag *diag, const ImportOptions *options, FILE *out, ImportCounts *counts);

#endif
