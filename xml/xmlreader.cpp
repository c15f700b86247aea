// The XML reader: byte stream to document chain, one item per fget_XMLENTITY call.
// It reads one byte at a time, never looks ahead and never pushes back, so
// whatever a failed item consumed is gone for its caller.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

#include "xml/xmlentity.h"

namespace {

// Every gathered text but a declaration keeps one byte for its terminator and
// overruns on the character read while the buffer is that full.
const int TEXT_FULL = XML_BUFFER_SIZE - 1;
// A declaration may fill the whole buffer: it overruns one character later.
const int DECL_FULL = XML_BUFFER_SIZE;
// "[CDATA[" after "<!": its length, and the characters still read after the "[".
const int CDATA_HEADER_LENGTH = 7;

// One working buffer per nesting level, kept between items: the limits are
// those of a fresh 65536-byte block, without its cost on every item.
// Level XML_MAX_DEPTH is the item read while XML_MAX_DEPTH elements are open.
char *work_buffers[XML_MAX_DEPTH + 1];
// Items being read right now: the level of the current fget_XMLENTITY call.
int open_items = 0;

// readfile_each_XMLENTITY: the hook, its argument, whether the next top-level
// element is the document's first record, and that element once it is read.
XML_CHILD_HOOK child_hook = nullptr;
void *child_hook_arg = nullptr;
bool hook_armed = false;
XMLENTITY *hooked_element = nullptr;

// Positions, while xml_positions is set: of the next byte to read, of the
// byte read last, and of the "<" of the item entered last.
long next_offset;     // bytes consumed so far
long next_line;       // line of the next byte
long next_line_start; // offset of the first byte of that line
XMLPOSITION last_byte;
XMLPOSITION item_start;
XMLFAULT first_fault;
long root_text_length; // -1 until the first top-level element is complete

void reset_positions(void) {
  next_offset = 0;
  next_line = 1;
  next_line_start = 0;
  memset(&last_byte, 0, sizeof last_byte);
  memset(&item_start, 0, sizeof item_start);
  memset(&first_fault, 0, sizeof first_fault);
  root_text_length = -1;
}

inline void count_byte(int c) {
  last_byte.offset = next_offset;
  last_byte.line = next_line;
  last_byte.column = next_offset - next_line_start + 1;
  next_offset++;
  if (c == '\n') {
    next_line++;
    next_line_start = next_offset;
  }
}

// Where the input ends: just after its last byte.
XMLPOSITION end_of_input(void) {
  XMLPOSITION p;
  p.offset = next_offset;
  p.line = next_line;
  p.column = next_offset - next_line_start + 1;
  return p;
}

inline int read_byte(FILE *stream) {
#if defined(_POSIX_VERSION)
  int c = getc_unlocked(stream);
#else
  int c = fgetc(stream);
#endif
  if (xml_positions && c != EOF) count_byte(c);
  return c;
}

int clamp_to_int(long v) { return v > 2147483647L ? 2147483647 : (int)v; }

void set_position(XMLENTITY *e, const XMLPOSITION *p) {
  e->line = clamp_to_int(p->line);
  e->column = clamp_to_int(p->column);
}

// Keeps the first fault of the document; element (may be null) is the
// element whose content or end tag it concerns.
void note_fault(int kind, int status, int what, long limit, const XMLPOSITION *at, const XMLPOSITION *open,
                const XMLENTITY *element) {
  if (!xml_positions || first_fault.kind != XML_FAULT_NONE) return;
  first_fault.kind = kind;
  first_fault.status = status;
  first_fault.what = what;
  first_fault.limit = limit;
  first_fault.at = *at;
  first_fault.open = *open;
  if (element) {
    snprintf(first_fault.element, sizeof first_fault.element, "%s", element->name);
    first_fault.open.line = element->line;
    first_fault.open.column = element->column;
  }
}

// A fault of the item entered last, found at the byte read last.
void note_item_fault(int kind, int status, int what, long limit) {
  if (!xml_positions) return;
  XMLPOSITION at = kind == XML_FAULT_EOF ? end_of_input() : last_byte;
  note_fault(kind, status, what, limit, &at, &item_start, nullptr);
}

// Returned by gather_buffered when the next byte is still to be read.
const int NO_BYTE = -2;

// Most of a document is tag and text bytes, each going one by one into the
// working buffer. This takes the bytes the stream already holds in one sweep,
// up to stop or until the text is TEXT_FULL long, exactly as reading them one
// at a time would (glibc's stream buffer, which getc_unlocked reads too).
// Returns stop when it was reached, consumed and not gathered; otherwise
// NO_BYTE, and read_byte takes the next byte as usual.
inline int gather_buffered(FILE *stream, char *buf, int *length, char stop) {
#if defined(__GLIBC__)
  if (xml_positions) return NO_BYTE; // each byte is counted
  char *p = stream->_IO_read_ptr;
  size_t n = (size_t)(stream->_IO_read_end - p);
  if (n > (size_t)(TEXT_FULL - *length)) n = (size_t)(TEXT_FULL - *length);
  if (n == 0) return NO_BYTE; // nothing buffered yet (p may be null), or the text is full
  char *found = (char *)memchr(p, stop, n);
  size_t taken = found ? (size_t)(found - p) : n;
  memcpy(buf + *length, p, taken);
  *length += (int)taken;
  stream->_IO_read_ptr = p + taken + (found ? 1 : 0);
  if (found) return (unsigned char)stop;
#else
  (void)stream;
  (void)buf;
  (void)length;
  (void)stop;
#endif
  return NO_BYTE;
}

// The first c in s, or its terminating NUL.
inline char *find_or_end(char *s, char c) {
#if defined(__GLIBC__)
  return strchrnul(s, c);
#else
  while (*s && *s != c) s++;
  return s;
#endif
}

// isspace in the default locale, which the program never changes.
inline bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char *take_buffer(int level) {
  if (!work_buffers[level]) {
    work_buffers[level] = (char *)kpm_calloc(XML_BUFFER_SIZE, 1);
    if (!work_buffers[level]) kpm_out_of_memory(" *** ERROR: Out of memory in fget_XMLENTITY() 1\n");
  }
  return work_buffers[level];
}

void release_buffers(void) {
  for (int i = 0; i <= XML_MAX_DEPTH; i++) {
    free(work_buffers[i]);
    work_buffers[i] = nullptr;
  }
}

XMLENTITY *make_item(int type, const char *name, const char *data) {
  XMLENTITY *e = alloc_XMLENTITY();
  e->type = type;
  e->name = xmlcopystring(name);
  e->data = xmlcopystring(data);
  if (xml_positions) set_position(e, &item_start);
  return e;
}

// "<!--" has been read.
XMLENTITY *read_comment(FILE *stream, int *errflag, char *buf) {
  if (xml_verbose) printf("{fget_XMLENTITY reading comment: *errflag = %d}\n", *errflag);
  int i = 0;
  for (;;) {
    int c = read_byte(stream);
    if (c == EOF) {
      *errflag = XML_EOF;
      note_item_fault(XML_FAULT_EOF, XML_EOF, XML_ITEM_COMMENT, 0);
      if (xml_verbose) printf("{Exiting fget_XMLENTITY unanticipated EOF: *errflag = %d}\n", *errflag);
      return nullptr;
    }
    if (i >= TEXT_FULL) {
      *errflag = XML_OVERRUN;
      note_item_fault(XML_FAULT_OVERRUN, XML_OVERRUN, XML_ITEM_COMMENT, TEXT_FULL - 3);
      if (xml_verbose) printf("{fget_XMLENTITY in comment, buffer overrun: *errflag = %d}\n", *errflag);
      return nullptr;
    }
    if (c == '>' && i >= 2 && buf[i - 1] == '-' && buf[i - 2] == '-') break;
    buf[i++] = (char)c;
  }
  buf[i - 2] = '\0';
  // Comments do not nest: the first "-->" ends the outer one, and whatever
  // the author meant to comment out after it would be read as markup.
  if (strstr(buf, "<!--")) {
    *errflag = XML_MALFORMED;
    note_item_fault(XML_FAULT_NESTED_COMMENT, XML_MALFORMED, XML_ITEM_COMMENT, 0);
    if (xml_verbose) printf("{fget_XMLENTITY in comment, comment within a comment: *errflag = %d}\n", *errflag);
    return nullptr;
  }
  XMLENTITY *e = make_item(XML_COMMENT, "COMMENT", buf);
  if (xml_verbose) printf("{fget_XMLENTITY in comment, comment done: *errflag = %d}\n{%s}\n", *errflag, e->data);
  return e;
}

// "<![" has been read.
XMLENTITY *read_cdata(FILE *stream, int *errflag, char *buf) {
  char header[CDATA_HEADER_LENGTH + 1] = "[";
  for (int k = 1; k < CDATA_HEADER_LENGTH; k++) {
    int c = read_byte(stream);
    if (c == EOF) {
      *errflag = XML_EOF;
      note_item_fault(XML_FAULT_EOF, XML_EOF, XML_ITEM_CDATA, 0);
      if (xml_verbose) printf("{Exiting fget_XMLENTITY unanticipated EOF: *errflag = %d}\n", *errflag);
      return nullptr;
    }
    header[k] = (char)c;
  }
  if (memcmp(header, "[CDATA[", CDATA_HEADER_LENGTH) != 0) {
    *errflag = XML_MALFORMED;
    note_item_fault(XML_FAULT_NOT_CDATA, XML_MALFORMED, XML_ITEM_CDATA, 0);
    if (xml_verbose) printf("{Exiting fget_XMLENTITY not CDATA (%s): *errflag = %d}\n", header, *errflag);
    return nullptr;
  }
  if (xml_verbose) printf("{Reading CDATA in fget_XMLENTITY: *errflag = %d}\n", *errflag);
  int i = 0;
  for (;;) {
    int c = read_byte(stream);
    if (c == EOF) {
      *errflag = XML_EOF;
      note_item_fault(XML_FAULT_EOF, XML_EOF, XML_ITEM_CDATA, 0);
      return nullptr;
    }
    if (i >= TEXT_FULL) {
      *errflag = XML_OVERRUN;
      note_item_fault(XML_FAULT_OVERRUN, XML_OVERRUN, XML_ITEM_CDATA, TEXT_FULL - 3);
      if (xml_verbose) printf("{Buffer overrun Reading CDATA in fget_XMLENTITY: *errflag = %d}\n", *errflag);
      return nullptr;
    }
    if (c == '>' && i >= 2 && buf[i - 1] == ']' && buf[i - 2] == ']') break;
    buf[i++] = (char)c;
  }
  buf[i - 2] = '\0';
  XMLENTITY *e = make_item(XML_CDATA, "CDATA", buf);
  if (xml_verbose) printf("{Done Reading CDATA in fget_XMLENTITY: *errflag = %d}\n", *errflag);
  return e;
}

// "<!" and the declaration's first character c (not EOF) have been read.
XMLENTITY *read_declaration(FILE *stream, int *errflag, char *buf, int c) {
  int i = 0;
  buf[i++] = (char)c;
  int open = 1; // the first character neither opens nor closes
  for (;;) {
    c = read_byte(stream);
    if (c == EOF) {
      *errflag = XML_EOF;
      note_item_fault(XML_FAULT_EOF, XML_EOF, XML_ITEM_DECLARATION, 0);
      if (xml_verbose) printf("{EOF Reading other command in fget_XMLENTITY: *errflag = %d}\n", *errflag);
      return nullptr;
    }
    if (i >= DECL_FULL) {
      *errflag = XML_OVERRUN;
      note_item_fault(XML_FAULT_OVERRUN, XML_OVERRUN, XML_ITEM_DECLARATION, DECL_FULL - 1);
      if (xml_verbose) printf("{Buffer overrun Reading other cmd in fget_XMLENTITY: *errflag = %d}\n", *errflag);
      return nullptr;
    }
    if (c == '<') open++;
    if (c == '>' && --open == 0) break;
    buf[i++] = (char)c;
  }
  buf[i] = '\0';
  XMLENTITY *e = make_item(XML_UNKNOWN, "UNKNOWN", buf);
  *errflag = XML_MALFORMED;
  note_item_fault(XML_FAULT_DECLARATION, XML_MALFORMED, XML_ITEM_DECLARATION, 0);
  if (xml_verbose) printf("{Done reading other command: *errflag = %d}\n", *errflag);
  return e;
}

// "<?" has been read.
XMLENTITY *read_pi(FILE *stream, int *errflag, char *buf) {
  int i = 0;
  for (;;) {
    int c = read_byte(stream);
    if (c == EOF) {
      *errflag = XML_EOF;
      note_item_fault(XML_FAULT_EOF, XML_EOF, XML_ITEM_PI, 0);
      if (xml_verbose) printf("{EOF Reading PI in fget_XMLENTITY: *errflag = %d}\n", *errflag);
      return nullptr;
    }
    if (i >= TEXT_FULL) {
      *errflag = XML_OVERRUN;
      note_item_fault(XML_FAULT_OVERRUN, XML_OVERRUN, XML_ITEM_PI, TEXT_FULL - 2);
      if (xml_verbose) printf("{Buffer overrun Reading PI in fget_XMLENTITY: *errflag = %d}\n", *errflag);
      return nullptr;
    }
    if (c == '>' && i >= 1 && buf[i - 1] == '?') break;
    buf[i++] = (char)c;
  }
  buf[i - 1] = '\0';
  xmltrimstring(buf);
  XMLENTITY *e = make_item(XML_PI, "PROCESSING INSTRUCTION", buf);
  if (xml_verbose) printf("{Done Reading PI in fget_XMLENTITY: *errflag = %d}\n", *errflag);
  return e;
}

// The gathered text of e ends the element's read; trimmed only when it closed
// properly. As xmltrimstring and xmlcopystring would, without their passes
// over the text: its length is known, up to a NUL byte it may hold.
void set_content(XMLENTITY *e, char *buf, int length, bool trim) {
  const char *nul = (const char *)memchr(buf, '\0', (size_t)length);
  if (nul) length = (int)(nul - buf);
  int start = 0;
  if (trim) {
    while (start < length && is_space((unsigned char)buf[start])) start++;
    while (length - start > 1 && is_space((unsigned char)buf[length - 1])) length--;
  }
  e->data = xmlcopytext(buf + start, (size_t)(length - start));
}

// The start tag of e has been read; reads its content and end tag.
void read_content(FILE *stream, int *errflag, char *buf, XMLENTITY *e) {
  XMLENTITY *last = nullptr; // tail of e's child list
  int i = 0;
  int c;
  for (;;) {
    c = gather_buffered(stream, buf, &i, '<');
    if (c == NO_BYTE) c = read_byte(stream);
    if (c == EOF) {
      *errflag = XML_EOF;
      if (xml_positions) {
        XMLPOSITION end = end_of_input();
        note_fault(XML_FAULT_EOF, XML_EOF, XML_ITEM_CONTENT, 0, &end, &end, e);
      }
      set_content(e, buf, i, false);
      if (xml_verbose) printf("{EOF in tag <%s> in fget_XMLENTITY: *errflag = %d}\n", e->name, *errflag);
      return;
    }
    if (c == '<') {
      int status = XML_OK;
      XMLENTITY *child = fget_XMLENTITY(stream, &status);
      if (child) {
        if (status != XML_OK) *errflag = status;
        if (xml_verbose)
          printf("{child tag <%s> to <%s> in fget_XMLENTITY: *errflag = %d}\n", child->name, e->name, *errflag);
        if (e == hooked_element && child_hook(e, child, child_hook_arg)) continue; // the hook took it
        if (last)
          last->next = child;
        else
          e->child = child;
        last = child;
        continue;
      }
      if (status == XML_ENDTAG) break;
      // A malformed or over-long item leaves its "<" in the text, and what it
      // consumed is lost; its status fails the element, or the rest of it
      // (a commented-out load, say) would pass for markup. An item cut off
      // by the end of input is left to the element, which ends there too.
      if (status == XML_MALFORMED || status == XML_OVERRUN) *errflag = status;
    }
    if (i >= TEXT_FULL) {
      // Returned like a cut-off element, so the parent sees the overrun.
      *errflag = XML_OVERRUN;
      if (xml_positions)
        note_fault(XML_FAULT_OVERRUN, XML_OVERRUN, XML_ITEM_CONTENT, TEXT_FULL, &last_byte, &last_byte, e);
      set_content(e, buf, i, false);
      return;
    }
    if (xml_positions && !e->text_line && !is_space(c)) {
      // A failed item's "<" stands where that item began.
      const XMLPOSITION *p = c == '<' ? &item_start : &last_byte;
      e->text_line = clamp_to_int(p->line);
      e->text_column = clamp_to_int(p->column);
    }
    buf[i++] = (char)c;
  }

  // "</" has been read: the end tag must repeat the name as written.
  const unsigned char *name = (const unsigned char *)e->name;
  int j = 0;
#if defined(__GLIBC__)
  if (!xml_positions && stream->_IO_read_ptr) {
    // The part of the name that the stream already holds is compared in
    // place, as reading it byte by byte below would; the loop takes the rest.
    const unsigned char *p = (const unsigned char *)stream->_IO_read_ptr;
    long held = (long)(stream->_IO_read_end - stream->_IO_read_ptr);
    while (name[j] && j < held && p[j] == name[j]) j++;
    stream->_IO_read_ptr += j;
  }
#endif
  for (; name[j]; j++) {
    c = read_byte(stream);
    if (c != name[j]) {
      *errflag = c == EOF ? XML_EOF : XML_MALFORMED;
      if (xml_positions) {
        // item_start is the "</" of this end tag.
        XMLPOSITION at = c == EOF ? end_of_input() : item_start;
        note_fault(c == EOF ? XML_FAULT_EOF : XML_FAULT_END_TAG, *errflag, XML_ITEM_CONTENT, 0, &at, &at, e);
      }
      set_content(e, buf, i, false);
      if (xml_verbose) printf("{wrong endtag (j=%d)to <%s> in fget_XMLENTITY: *errflag = %d}\n", j, e->name, *errflag);
      return;
    }
  }
  do c = read_byte(stream);
  while (c != EOF && is_space(c));
  if (c != '>') {
    *errflag = c == EOF ? XML_EOF : XML_MALFORMED;
    if (xml_positions) {
      XMLPOSITION at = c == EOF ? end_of_input() : last_byte;
      note_fault(c == EOF ? XML_FAULT_EOF : XML_FAULT_END_TAG_CLOSE, *errflag, XML_ITEM_CONTENT, 0, &at, &at, e);
      first_fault.found = c;
    }
    if (xml_verbose) printf("{improper end of tag <%s> in fget_XMLENTITY: *errflag = %d}\n", e->name, *errflag);
  }
  // The stored text is trimmed; the limit counts every byte gathered.
  if (xml_positions && open_items == 1 && root_text_length < 0) root_text_length = i;
  set_content(e, buf, i, true);
  if (xml_verbose) printf("{End of tag <%s> in fget_XMLENTITY: *errflag = %d}\n{%s}\n", e->name, *errflag, e->data);
}

// The tag text as read, while positions are kept: parsetag_XMLENTITY writes
// NUL bytes over some of its characters, line ends among them.
char tag_copy[XML_BUFFER_SIZE];

// Gives e the position of its "<", and each attribute the position of its
// name, from the index within the tag text that parsetag_XMLENTITY left in
// its column.
void place_element(XMLENTITY *e) {
  set_position(e, &item_start);
  long line = item_start.line, column = item_start.column + 1; // the tag text's first character
  int k = 0;
  for (XMLENTITY *a = e->attr; a; a = a->next) {
    for (; k < a->column; k++) {
      if (tag_copy[k] == '\n') {
        line++;
        column = 1;
      } else {
        column++;
      }
    }
    a->line = clamp_to_int(line);
    a->column = clamp_to_int(column);
  }
}

// The "<" and the tag's first character c (not EOF, "/", "!" or "?") have been read.
XMLENTITY *read_element(FILE *stream, int *errflag, char *buf, int c, int level) {
  int i = 0;
  buf[i++] = (char)c; // never taken for the closing ">"
  for (;;) {
    c = gather_buffered(stream, buf, &i, '>');
    if (c == NO_BYTE) c = read_byte(stream);
    if (c == EOF) {
      *errflag = XML_EOF;
      note_item_fault(XML_FAULT_EOF, XML_EOF, XML_ITEM_TAG, 0);
      return nullptr;
    }
    if (i >= TEXT_FULL) {
      *errflag = XML_OVERRUN;
      note_item_fault(XML_FAULT_OVERRUN, XML_OVERRUN, XML_ITEM_TAG, TEXT_FULL - 1);
      if (xml_verbose) printf("{Buffer overrun Reading tag in fget_XMLENTITY: *errflag = %d}\n", *errflag);
      return nullptr;
    }
    if (c == '>') break;
    buf[i++] = (char)c;
  }
  buf[i] = '\0';
  if (xml_positions) memcpy(tag_copy, buf, (size_t)i + 1); // parsetag writes into buf
  if (buf[i - 1] == '/') {
    buf[i - 1] = '\0';
    XMLENTITY *e = parsetag_XMLENTITY(buf);
    e->type = XML_ELEMENT;
    if (xml_positions) place_element(e);
    if (xml_verbose) printf("{Empty Element tag <%s> in fget_XMLENTITY: *errflag = %d}\n", e->name, *errflag);
    return e;
  }
  XMLENTITY *e = parsetag_XMLENTITY(buf);
  e->type = XML_ELEMENT;
  if (xml_positions) place_element(e);
  if (level == 0 && hook_armed) hooked_element = e;
  // The callers of this level are all open elements.
  if (level >= XML_MAX_DEPTH) {
    *errflag = XML_OVERRUN;
    if (xml_positions)
      note_fault(XML_FAULT_NESTING, XML_OVERRUN, XML_ITEM_TAG, XML_MAX_DEPTH, &item_start, &item_start, e);
    if (xml_verbose) printf("{Nesting too deep at tag <%s> in fget_XMLENTITY: *errflag = %d}\n", e->name, *errflag);
    return e;
  }
  if (xml_verbose) printf("{Start tag <%s> in fget_XMLENTITY: *errflag = %d}\n", e->name, *errflag);
  read_content(stream, errflag, buf, e);
  return e;
}

// Reads the item after "<" with the working buffer of its level.
XMLENTITY *read_item(FILE *stream, int *errflag, int level) {
  if (xml_verbose) printf("{Entering fget_XMLENTITY: *errflag = %d}\n", *errflag);
  if (xml_positions) item_start = last_byte; // the "<" that the caller consumed
  char *buf = take_buffer(level);
  int c = read_byte(stream);
  switch (c) {
  case EOF:
    *errflag = XML_EOF;
    note_item_fault(XML_FAULT_EOF, XML_EOF, XML_ITEM_TAG, 0);
    return nullptr;
  case '/':
    *errflag = XML_ENDTAG;
    if (xml_verbose) printf("{Exiting fget_XMLENTITY with endtag: *errflag = %d}\n", *errflag);
    return nullptr;
  case '?':
    return read_pi(stream, errflag, buf);
  case '!':
    break;
  default:
    return read_element(stream, errflag, buf, c, level);
  }

  c = read_byte(stream);
  if (c == '>') {
    *errflag = XML_MALFORMED;
    note_item_fault(XML_FAULT_EMPTY_DECLARATION, XML_MALFORMED, XML_ITEM_DECLARATION, 0);
    if (xml_verbose) printf("{Exiting fget_XMLENTITY empty tag: *errflag = %d}\n", *errflag);
    return nullptr;
  }
  if (c == '-') {
    if (read_byte(stream) != '-') {
      *errflag = XML_MALFORMED;
      note_item_fault(XML_FAULT_NOT_COMMENT, XML_MALFORMED, XML_ITEM_COMMENT, 0);
      if (xml_verbose) printf("{fget_XMLENTITY in comment, not quite a comment: *errflag = %d}\n", *errflag);
      return nullptr;
    }
    return read_comment(stream, errflag, buf);
  }
  if (c == '[') return read_cdata(stream, errflag, buf);
  if (c == EOF) {
    *errflag = XML_EOF;
    note_item_fault(XML_FAULT_EOF, XML_EOF, XML_ITEM_DECLARATION, 0);
    if (xml_verbose) printf("{EOF Reading other command in fget_XMLENTITY: *errflag = %d}\n", *errflag);
    return nullptr;
  }
  return read_declaration(stream, errflag, buf, c);
}

} // namespace

XMLENTITY *fget_XMLENTITY(FILE *stream, int *errflag) {
  if (!errflag) {
    fprintf(stderr, " *** ERROR: NULL errflag pointer in fget_XMLENTITY()\n");
    exit(1);
  }
  if (!stream) {
    fprintf(stderr, " *** ERROR: NULL File Pointer in fget_XMLENTITY()\n");
    exit(1);
  }
  // Only the reader's own calls nest, and read_element stops them at XML_MAX_DEPTH.
  int level = open_items;
  open_items++;
  XMLENTITY *e = read_item(stream, errflag, level);
  open_items--;
  return e;
}

XMLENTITY *readfile_XMLENTITY(FILE *stream, int *errflag) {
  return readfile_each_XMLENTITY(stream, errflag, nullptr, nullptr);
}

XMLENTITY *readfile_each_XMLENTITY(FILE *stream, int *errflag, XML_CHILD_HOOK hook, void *arg) {
  if (!stream || !errflag) {
    fprintf(stderr, " *** ERROR: NULL Pointers on entry to readfile_XMLENTITY\n");
    return nullptr;
  }
  if (xml_verbose) printf("[Entering readfile_XMLENTITY: *errflag = %d\n", *errflag);
  *errflag = XML_OK;
  reset_positions();
  XMLENTITY *first = nullptr;
  XMLENTITY *last = nullptr;
  for (;;) {
    int c;
    do c = read_byte(stream);
    while (c != EOF && c != '<');
    if (c == EOF) break;
    int status = XML_OK;
    child_hook = hook;
    child_hook_arg = arg;
    hook_armed = hook && !first;
    XMLENTITY *e = fget_XMLENTITY(stream, &status);
    hook_armed = false;
    hooked_element = nullptr;
    if (xml_verbose) printf("[return from fget_XMLENTITY  err = %d]\n", status);
    if (!e) {
      // A failed item leaves no record; a malformed or over-long one still
      // fails the document. Stray end tags and items cut off by the end of
      // input leave nothing behind.
      if (status == XML_MALFORMED || status == XML_OVERRUN) *errflag = status;
      continue;
    }
    if (last)
      last->next = e;
    else
      first = e;
    last = e;
    e->errflag = status;
    if (status != XML_OK) *errflag = status;
    if (xml_verbose) printf("[*errflag = %d]\n", *errflag);
  }
  if (xml_verbose) printf("[Exiting readfile_XMLENTITY: *errflag = %d]\n", *errflag);
  release_buffers(); // up to XML_MAX_DEPTH + 1 blocks: not kept after the document
  return first;
}

const XMLFAULT *xml_first_fault(void) { return &first_fault; }

long xml_root_text_length(void) { return root_text_length < 0 ? 0 : root_text_length; }

XMLENTITY *parsetag_XMLENTITY(char *text) {
  if (!text) return nullptr;
  char *p = text;
  while (is_space((unsigned char)*p)) p++;
  char *name = p;
  while (*p && !is_space((unsigned char)*p)) p++;
  XMLENTITY *e = alloc_XMLENTITY();
  e->name = xmlcopytext(name, (size_t)(p - name));
  if (*p) *p++ = '\0';

  XMLENTITY *last = nullptr; // tail of e's attribute list
  for (;;) {
    while (is_space((unsigned char)*p)) p++;
    if (!*p) break;
    char *attr_name = p;
    p = find_or_end(p, '=');
    bool has_value = *p == '=';
    char *end = p;
    while (end > attr_name && is_space((unsigned char)end[-1])) end--;
    *end = '\0';
    XMLENTITY *a = alloc_XMLENTITY();
    a->name = xmlcopytext(attr_name, (size_t)(end - attr_name));
    if (xml_positions) a->column = (int)(attr_name - text); // the reader turns it into a position
    if (last)
      last->next = a;
    else
      e->attr = a;
    last = a;
    if (!has_value) break;

    p++;
    while (is_space((unsigned char)*p)) p++;
    if (!*p) break;
    char *value;
    if (*p == '"') {
      value = ++p;
      p = find_or_end(p, '"');
    } else {
      value = p;
      while (*p && !is_space((unsigned char)*p)) p++;
    }
    bool ended = *p == '\0';
    *p = '\0';
    a->data = xmlcopytext(value, (size_t)(p - value));
    if (ended) break;
    p++;
  }
  return e;
}

void xmltrimstring(char *s) {
  if (!s) return;
  char *p = s;
  while (is_space((unsigned char)*p)) p++;
  size_t n = strlen(p);
  if (p != s) memmove(s, p, n + 1);
  while (n > 1 && is_space((unsigned char)s[n - 1])) s[--n] = '\0';
}
