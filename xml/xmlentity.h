// The XML reader: a small, forgiving reader that turns a byte stream into
// chains of XMLENTITY trees, records problems as status codes instead of
// stopping, and traces its steps on standard output while xml_verbose is set.
// It knows nothing of studies; the study side only walks the trees it builds.
#ifndef KPM_XML_XMLENTITY_H
#define KPM_XML_XMLENTITY_H

#include <cstddef>
#include <cstdio>

#include "xml/common.h" // the allocator and string helpers that every folder shares

// Item types (the `type` field).
enum {
  XML_UNKNOWN = 0, // "<!" declaration that is neither comment nor CDATA; also every attribute record
  XML_COMMENT = 1, // <!-- ... -->
  XML_CDATA = 2,   // <![CDATA[ ... ]]>
  XML_PI = 3,      // <? ... ?>
  XML_ELEMENT = 4  // element
};

// Status codes: the value behind every `errflag`.
enum {
  XML_OK = 0,        // read cleanly
  XML_EOF = 1,       // input ended inside an item
  XML_MALFORMED = 2, // malformed or unsupported markup
  XML_OVERRUN = 3,   // a text did not fit the working buffer (or nesting too deep)
  XML_ENDTAG = 4     // "</" was read; the end tag's name and ">" are left in the stream
};

// Size of each item's working buffer; it bounds every text the reader gathers.
const int XML_BUFFER_SIZE = 65536;
// Elements open at once; deeper start tags are cut off with XML_OVERRUN so
// that no input can exhaust the call stack.
const int XML_MAX_DEPTH = 1024;

// The positions (line and column, counting from 1; a column counts bytes)
// are recorded only while xml_positions is set, and are 0 otherwise. They sit
// in room the other fields leave, so that the record is no larger for them.
struct XMLENTITY {
  char *name;       // tag name, attribute name, or the fixed name of the item type; owned
  char *data;       // text content, attribute value or item text; owned, may be null
  int type;         // XML_UNKNOWN .. XML_ELEMENT
  int line;         // where the item's "<" stands (an attribute: its name's first character)
  XMLENTITY *child; // element: first child, the rest through `next`
  XMLENTITY *attr;  // element: first attribute, the rest through `next`
  XMLENTITY *next;  // next record of the list this one belongs to
  int errflag;      // status of a top-level item; 0 below the top level
  int column;       // with line
  int text_line;    // element: where the first character of its own text that is
  int text_column;  // not white space stands; 0 when it has none
};

// Position switch of the reader: 0 at start; while non-zero, the reader
// counts lines and columns, gives each record its position and keeps the
// first fault of a document (xml_first_fault). Reading is slower then: for
// checking tools, never for the program's own run.
extern int xml_positions;
void xml_positions_on(void);

// Where and why the reader gave an item a non-zero status. Positions count
// from 1, columns in bytes; offsets from 0.
enum {
  XML_FAULT_NONE = 0,
  XML_FAULT_EOF,               // the input ended inside the item that starts at `open`
  XML_FAULT_OVERRUN,           // the item's text (`what`) is longer than `limit`
  XML_FAULT_NESTING,           // more than `limit` elements open at once
  XML_FAULT_END_TAG,           // the end tag at `at` does not repeat the name of the element at `open`
  XML_FAULT_END_TAG_CLOSE,     // the end tag of the element at `open` holds `found` before its ">"
  XML_FAULT_DECLARATION,       // a "<!" declaration (DOCTYPE, ...): not supported
  XML_FAULT_EMPTY_DECLARATION, // "<!>"
  XML_FAULT_NOT_COMMENT,       // "<!-" not followed by "-"
  XML_FAULT_NOT_CDATA,         // "<![" not followed by "CDATA["
  XML_FAULT_NESTED_COMMENT     // a comment whose text holds "<!--"
};
// The kind of item a fault concerns (`what`).
enum { XML_ITEM_TAG, XML_ITEM_COMMENT, XML_ITEM_CDATA, XML_ITEM_PI, XML_ITEM_DECLARATION, XML_ITEM_CONTENT };

struct XMLPOSITION {
  long line;
  long column;
  long offset;
};

struct XMLFAULT {
  int kind;          // XML_FAULT_NONE when the document had none
  int status;        // the status it gave: XML_EOF, XML_MALFORMED or XML_OVERRUN
  int what;          // XML_ITEM_...
  long limit;        // XML_FAULT_OVERRUN: the longest text accepted; XML_FAULT_NESTING: the cap
  XMLPOSITION at;    // where the reader found it
  XMLPOSITION open;  // where the item concerned starts (its "<")
  char element[128]; // the open element's name as written, cut to fit (end tags, content)
  int found;         // XML_FAULT_END_TAG_CLOSE: the byte found; EOF at the end of input
};

// The first fault of the document read last with xml_positions set, or one of
// kind XML_FAULT_NONE. A fault of an item that counts for nothing (an item left
// open at the very end, after the root) stays here although the document's
// status is 0: look at it only when the status is not 0.
const XMLFAULT *xml_first_fault(void);
// How many bytes of text stand directly inside the first top-level element
// of the document read last with xml_positions set, white space and NUL bytes
// included, as the reader's limit counts them; 0 when there is none.
long xml_root_text_length(void);

// Trace switch of the reader: 0 at start, traces on standard output when non-zero.
extern int xml_verbose;
void xml_verbose_on(void);
void xml_verbose_off(void);

// New zero-filled record (type XML_UNKNOWN). Out of memory: message, exit(1).
XMLENTITY *alloc_XMLENTITY(void);
// Heap copy of s, null for null. Out of memory: message, exit(1).
// Records and their strings share the reader's own blocks: release a string
// with xmlfreestring (or with its record through free_XMLENTITY), never free().
char *xmlcopystring(const char *s);
// The same for the first n bytes at s, whose length the caller knows already.
char *xmlcopytext(const char *s, size_t n);
// Releases a string made by xmlcopystring; null does nothing.
void xmlfreestring(char *s);
// Releases e, its strings, children, attributes and every record after it on its list.
void free_XMLENTITY(XMLENTITY *e);
// Lower-cases e->name and, when recurse is set, the names of all records below
// e through child lists. Attributes, data and e's own siblings are untouched.
void lowercase_XMLENTITY(XMLENTITY *e, int recurse);
// Lower-cases the ASCII letters of s in place; null does nothing.
void xmllowerstring(char *s);
// First direct child of e whose name equals name (case-sensitive), or null.
XMLENTITY *find_XMLENTITY(XMLENTITY *e, const char *name);
// Writes the tree below e (not its siblings) to stream (null: standard output),
// indented by depth blanks.
void print_XMLENTITY(FILE *stream, XMLENTITY *e, int depth);

// Reads the whole stream into the document chain; *errflag gets the latest
// non-zero status of the top-level items that yielded a record, else 0.
// Null arguments: message, null result, *errflag untouched.
XMLENTITY *readfile_XMLENTITY(FILE *stream, int *errflag);
// Called with each complete child of the document's first record, when that
// is an element, in document order while the rest is still being read.
// Non-zero takes the child: the reader then keeps no pointer to it, and the
// hook must release it. The child's status still counts for its element.
typedef int (*XML_CHILD_HOOK)(XMLENTITY *element, XMLENTITY *child, void *arg);
// As readfile_XMLENTITY, calling hook (when not null) as said above, so that a
// caller can take a large document apart while it is read.
XMLENTITY *readfile_each_XMLENTITY(FILE *stream, int *errflag, XML_CHILD_HOOK hook, void *arg);
// Reads one item whose "<" has just been consumed. Writes *errflag only when
// the item ends with a non-zero status. Null arguments or no memory: exit(1).
XMLENTITY *fget_XMLENTITY(FILE *stream, int *errflag);
// Splits a tag text into a new element record (type left 0) with its
// attributes. Writes NUL bytes into text. Null text gives null.
XMLENTITY *parsetag_XMLENTITY(char *text);
// Removes leading and trailing white space of s in place; null does nothing.
void xmltrimstring(char *s);

#endif
